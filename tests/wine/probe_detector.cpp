// Test fixture, installed as the detection executable: what a detector sees
// and what happens to what it starts. PROBE_MODE says which:
//   handles: exits 3 when it holds the handle whose value LEAKED_HANDLE names
//     open on the file LEAKED_FILE names (its parent's parent opened it
//     inheritable), else 0; prints a line through its standard output first.
//   hang: starts itself again as "probe_detector linger FILE" (FILE from
//     PROBE_FILE), which holds FILE open, sharing nothing, forever; then
//     never ends either.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

int probe_handles() {
    printf("probe: standard output works\n");
    fflush(stdout);
    const wchar_t *value = _wgetenv(L"LEAKED_HANDLE");
    const wchar_t *name = _wgetenv(L"LEAKED_FILE");
    if (!value || !name) return 100;
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 101;
    HANDLE leaked = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(_wtoi64(value)));
    return same_file(leaked, file) ? 3 : 0;
}

int hang() {
    const wchar_t *file = _wgetenv(L"PROBE_FILE");
    if (!file) return 100;
    static wchar_t self[32768], command[32768];
    GetModuleFileNameW(nullptr, self, 32768);
    _snwprintf(command, 32767, L"\"%ls\" linger \"%ls\"", self, file);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(self, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 101;
    }
    Sleep(INFINITE);
    return 0;
}

int hold_forever(const wchar_t *file) {
    HANDLE held = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0,
                              nullptr);
    if (held == INVALID_HANDLE_VALUE) return 102;
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 3 && wcscmp(argv[1], L"linger") == 0) return hold_forever(argv[2]);
    const wchar_t *mode = _wgetenv(L"PROBE_MODE");
    if (mode && wcscmp(mode, L"handles") == 0) return probe_handles();
    if (mode && wcscmp(mode, L"hang") == 0) return hang();
    return 104;
}
