// The operating-system layer on Windows: ReadDirectoryChangesW, CreateThread,
// CreateProcess. The manifest sets the process code page to UTF-8, so every
// narrow string here, paths and command line alike, is UTF-8.
#include <windows.h>

#include <stdlib.h>

#include "change_records.h"
#include "command_line.h"
#include "monitor.h"
#include "os.h"

struct os_watch {
    HANDLE directory;
    notify_scratch scratch;
    // The platform writes DWORD fields into the change buffer.
    alignas(DWORD) unsigned char changes[NOTIFY_BUFFER_SIZE];
};

namespace {

// File names and last-write times; directories are followed, not reported.
const DWORD NOTIFY_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD WINAPI watcher_thread(LPVOID directory) {
    return static_cast<DWORD>(monitor_directory(static_cast<const char *>(directory)));
}

void close_watch(os_watch *watch) {
    CloseHandle(watch->directory);
    free(watch);
}

} // namespace

os_watch *os_watch_open(const char *directory) {
    HANDLE handle = CreateFileA(directory, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    os_watch *watch = static_cast<os_watch *>(malloc(sizeof(os_watch)));
    if (!watch) {
        CloseHandle(handle);
        return nullptr;
    }
    watch->directory = handle;
    return watch;
}

int os_watch_wait(os_watch *watch, record_fn on_record, void *context) {
    DWORD length = 0;
    if (!ReadDirectoryChangesW(watch->directory, watch->changes, sizeof watch->changes, TRUE,
                               NOTIFY_FILTER, &length, nullptr, nullptr)) {
        DWORD error = GetLastError();
        if (error == ERROR_NOTIFY_ENUM_DIR) {
            // An overflow reported as a failure instead of as 0 bytes (Wine
            // does this); the handle still works, so it is the same loss.
            notify_walk(watch->changes, 0, &watch->scratch, on_record, context);
            return 0;
        }
        close_watch(watch);
        // The watcher takes 0 for success; a failure must never look like one.
        return error != 0 ? static_cast<int>(error) : -1;
    }
    notify_walk(watch->changes, length, &watch->scratch, on_record, context);
    return 0;
}

bool os_start_watcher(const char *directory) {
    HANDLE thread = CreateThread(nullptr, 0, watcher_thread, const_cast<char *>(directory), 0,
                                 nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

bool os_own_executable(char *buffer, size_t capacity) {
    DWORD size = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    // A full buffer means the path was cut.
    return length != 0 && length < size;
}

bool os_run_detection(const char *executable, const char *path) {
    // Started directly, never through cmd.exe, so no name can expand a
    // variable or run a command; the path arrives as the one argument.
    char command[COMMAND_BUFFER_SIZE];
    if (!build_command_line(command, sizeof command, executable, path)) return false;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // Handles inherited so the detector shares the monitor's console and
    // standard streams.
    if (!CreateProcessA(executable, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    DWORD status = 1;
    bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return ended && status == 0;
}

void os_init() {
    // Names are printed as UTF-8; the console must show them as such.
    SetConsoleOutputCP(CP_UTF8);
}

void os_wait_forever() {
    for (;;) Sleep(INFINITE);
}
