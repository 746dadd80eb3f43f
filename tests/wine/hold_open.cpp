// Test fixture, run under Wine: holds a file open the way another program
// would, then runs a program on it and ends with that program's status.
//   hold_open read|none FILE PROGRAM
// read: the file is held for reading, writing and deleting and shares
// reading, so the program can open it only if it shares writing and
// deleting itself. none: it shares nothing, so no program can open it.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4) {
        fprintf(stderr, "usage: hold_open read|none FILE PROGRAM\n");
        return 100;
    }
    DWORD share = wcscmp(argv[1], L"read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE held = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE | DELETE, share, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "hold_open: cannot open the file (error %lu)\n", GetLastError());
        return 101;
    }
    static wchar_t command[32768];
    _snwprintf(command, 32767, L"\"%ls\" \"%ls\"", argv[3], argv[2]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[3], command, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "hold_open: cannot start the program (error %lu)\n", GetLastError());
        return 102;
    }
    DWORD status = 103;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(held);
    return static_cast<int>(status);
}
