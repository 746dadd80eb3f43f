// The rest of the operating-system layer on Windows: the command line, the
// watcher threads, the own executable's path and the detection process.
// Every call that takes or gives text is the wide one, so that no name
// depends on the process code page; the text is UTF-8 on this side.
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

#include "command_line.h"
#include "long_paths.h"
#include "monitor.h"
#include "os.h"
#include "wide_text.h"

namespace {

DWORD WINAPI watcher_thread(LPVOID directory) {
    return static_cast<DWORD>(monitor_directory(static_cast<const char *>(directory)));
}

// A start can fail for a moment (Wine reports an internal error about once
// in 4,000 starts). A detector that never started scanned nothing, so its
// start is tried again; one that ran is never run twice.
const int START_ATTEMPTS = 3;

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

bool os_start_watcher(const char *directory) {
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, const_cast<char *>(directory), 0,
                                 nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

bool os_own_executable(char *buffer, size_t capacity) {
    wchar_t wide[LONG_PATH_UNITS];
    DWORD length = GetModuleFileNameW(nullptr, wide, LONG_PATH_UNITS);
    // A full buffer means the path was cut.
    return length != 0 && length < LONG_PATH_UNITS && wide_to_utf8(wide, buffer, capacity);
}

bool os_run_detection(const char *executable, const char *path, unsigned) {
    // Started directly, never through cmd.exe, so no name can expand a
    // variable or run a command; the path arrives as the one argument.
    char command[COMMAND_BUFFER_SIZE];
    // UTF-8 takes at least as many bytes as UTF-16 takes units, so what fits
    // the one fits the other.
    wchar_t wide_command[COMMAND_BUFFER_SIZE];
    wchar_t wide_executable[LONG_PATH_UNITS];
    if (!build_command_line(command, sizeof command, executable, path) ||
        !utf8_to_wide(executable, wide_executable, LONG_PATH_UNITS)) {
        return false;
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // Handles inherited so the detector shares the monitor's console and
    // standard streams.
    bool started = false;
    for (int attempt = 0; !started && attempt < START_ATTEMPTS; attempt++) {
        // Converted for each attempt: a start may write into the command line.
        if (!utf8_to_wide(command, wide_command, COMMAND_BUFFER_SIZE)) return false;
        started = CreateProcessW(wide_executable, wide_command, nullptr, nullptr, TRUE, 0,
                                 nullptr, nullptr, &startup, &process);
    }
    if (!started) return false;
    CloseHandle(process.hThread);
    DWORD status = 1;
    bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return ended && status == 0;
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
