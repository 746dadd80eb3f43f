// The rest of the operating-system layer on Windows: the command line, the
// watcher threads, the own executable's path and the output streams.
// Every call that takes or gives text is the wide one, so that no name
// depends on the process code page; the text is UTF-8 on this side.
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

#include "long_paths.h"
#include "os.h"
#include "wide_text.h"

namespace {

// What a watcher thread runs: handed to the thread, which frees it.
struct watcher_start {
    watcher_fn watch;
    const char *directory;
};

DWORD WINAPI watcher_thread(LPVOID context) {
    watcher_start start = *static_cast<watcher_start *>(context);
    free(context);
    return static_cast<DWORD>(start.watch(start.directory));
}

} // namespace

char **os_arguments(int *argc, char **argv) {
    // The C runtime's argv is in the legacy code page wherever the process
    // has no UTF-8 one, and a name outside it arrives as question marks.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return argv;
    // One block for the whole vector, kept for the life of the process:
    // the watchers use their fields until it ends.
    size_t bytes = (static_cast<size_t>(count) + 1) * sizeof(char *);
    for (int i = 0; i < count; i++) {
        bytes += static_cast<size_t>(
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr));
    }
    char **utf8 = static_cast<char **>(malloc(bytes));
    if (utf8) {
        char *text = reinterpret_cast<char *>(utf8 + count + 1);
        char *end = reinterpret_cast<char *>(utf8) + bytes;
        for (int i = 0; i < count; i++) {
            // An unpaired surrogate becomes U+FFFD: such a field names
            // nothing that can be opened, and its watcher says so.
            utf8[i] = text;
            text += WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text,
                                        static_cast<int>(end - text), nullptr, nullptr);
        }
        utf8[count] = nullptr;
        *argc = count;
    }
    LocalFree(wide);
    return utf8 ? utf8 : argv;
}

bool os_start_watcher(watcher_fn watch, const char *directory) {
    watcher_start *start = static_cast<watcher_start *>(malloc(sizeof(watcher_start)));
    if (!start) return false;
    *start = watcher_start{watch, directory};
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, start, 0, nullptr);
    if (!thread) {
        free(start);
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool os_own_executable(char *buffer, size_t capacity) {
    wchar_t wide[LONG_PATH_UNITS];
    DWORD length = GetModuleFileNameW(nullptr, wide, LONG_PATH_UNITS);
    // A full buffer means the path was cut.
    return length != 0 && length < LONG_PATH_UNITS && wide_to_utf8(wide, buffer, capacity);
}

void os_wait_for_watchers() {
    for (;;) Sleep(INFINITE);
}

void os_write_output(output_stream stream, const char *text, size_t length) {
    // Straight to the handle: the C runtime's text mode would split a long
    // line into several writes. Lines are far below 4 GiB.
    HANDLE handle = GetStdHandle(stream == OUTPUT_ERROR ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr) ||
            written == 0) {
            return;
        }
        text += written;
        length -= written;
    }
}

// A Windows service is told nothing this way, and a console run has no one
// waiting to be told.
void os_watchers_started() {}
