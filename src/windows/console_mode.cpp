// The console the monitor runs in: UTF-8 output, QuickEdit off while it runs
// (a click in the window would stop all output, and with it every watcher at
// its next line), and both given back as they were when the monitor ends.
#include <windows.h>

#include <stdlib.h>

#include "os.h"

namespace {

// The console's own input, also when standard input is redirected: QuickEdit
// belongs to the window. Invalid without a console.
HANDLE input = INVALID_HANDLE_VALUE;
DWORD saved_mode;
// 0 without a console.
UINT saved_output_code_page;

void restore_console() {
    if (input != INVALID_HANDLE_VALUE) SetConsoleMode(input, saved_mode);
    if (saved_output_code_page != 0) SetConsoleOutputCP(saved_output_code_page);
}

// Ctrl+C, Ctrl+Break, the window closed: the default handler, which comes
// next, ends the process without running atexit.
BOOL WINAPI on_console_event(DWORD) {
    restore_console();
    return FALSE;
}

} // namespace

void os_init() {
    input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (input != INVALID_HANDLE_VALUE && !GetConsoleMode(input, &saved_mode)) {
        CloseHandle(input);
        input = INVALID_HANDLE_VALUE;
    }
    if (input != INVALID_HANDLE_VALUE) {
        SetConsoleMode(input, (saved_mode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS);
    }
    saved_output_code_page = GetConsoleOutputCP();
    // Names are printed as UTF-8; the console must show them as such.
    SetConsoleOutputCP(CP_UTF8);
    atexit(restore_console);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
