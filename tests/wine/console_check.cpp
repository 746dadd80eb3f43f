// Test fixture, run under Wine in a console: starts a program in the same
// console, sees the console while it runs, ends it with "q" typed into the
// console or with Ctrl+C, and sees the console again once it has ended.
//   console_check q|ctrl-c PROGRAM ARGUMENT
// Prints three lines, "before", "running" and "after", each with the input
// mode and the output code page, the last with the program's exit status.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <wchar.h>

namespace {

const DWORD TIMEOUT_MS = 30000;

HANDLE input;

void show(const char *when, DWORD status = 0) {
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    printf("%s mode=%lx code_page=%u status=%lx\n", when, mode, GetConsoleOutputCP(), status);
    fflush(stdout);
}

void type(const wchar_t *text) {
    for (const wchar_t *c = text; *c; c++) {
        INPUT_RECORD keys[2] = {};
        for (int i = 0; i < 2; i++) {
            keys[i].EventType = KEY_EVENT;
            keys[i].Event.KeyEvent.bKeyDown = i == 0;
            keys[i].Event.KeyEvent.wRepeatCount = 1;
            keys[i].Event.KeyEvent.uChar.UnicodeChar = *c;
            keys[i].Event.KeyEvent.wVirtualKeyCode = *c == L'\r' ? VK_RETURN : 0;
        }
        DWORD written;
        WriteConsoleInputW(input, keys, 2, &written);
    }
}

// Waits, bounded, until the program has turned QuickEdit off and set the
// output code page to UTF-8.
bool wait_running(HANDLE process) {
    for (DWORD waited = 0; waited < TIMEOUT_MS; waited += 10) {
        DWORD mode = 0;
        if (GetConsoleMode(input, &mode) && !(mode & ENABLE_QUICK_EDIT_MODE) &&
            GetConsoleOutputCP() == CP_UTF8) {
            return true;
        }
        if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) return false;
    }
    return false;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4) {
        fprintf(stderr, "usage: console_check q|ctrl-c PROGRAM ARGUMENT\n");
        return 100;
    }
    input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    // A known state to compare with: QuickEdit on, output in code page 437.
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    SetConsoleMode(input, mode | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS);
    SetConsoleOutputCP(437);
    show("before");
    static wchar_t command[32768];
    _snwprintf(command, 32767, L"\"%ls\" \"%ls\"", argv[2], argv[3]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[2], command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fprintf(stderr, "console_check: cannot start the program (error %lu)\n", GetLastError());
        return 101;
    }
    bool running = wait_running(process.hProcess);
    show(running ? "running" : "never-running");
    if (wcscmp(argv[1], L"ctrl-c") == 0) {
        // This fixture stays; the program gets the event.
        SetConsoleCtrlHandler(nullptr, TRUE);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    } else {
        type(L"q\r");
    }
    DWORD status = 102;
    if (WaitForSingleObject(process.hProcess, TIMEOUT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 103);
        WaitForSingleObject(process.hProcess, TIMEOUT_MS);
    }
    GetExitCodeProcess(process.hProcess, &status);
    show("after", status);
    return 0;
}
