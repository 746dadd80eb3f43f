// Watching one folder tree on Windows: ReadDirectoryChangesW on a handle to
// the watched folder, its records walked in change_records.cpp.
#include <windows.h>

#include <stdlib.h>

#include "change_records.h"
#include "long_paths.h"
#include "os.h"
#include "wide_text.h"

struct os_watch {
    HANDLE directory;
    // The platform writes DWORD fields into the change buffer.
    alignas(DWORD) unsigned char changes[NOTIFY_BUFFER_SIZE];
    notify_scratch scratch;
};

namespace {

// File names and last-write times; directories are followed, not reported.
const DWORD NOTIFY_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

void close_watch(os_watch *watch) {
    CloseHandle(watch->directory);
    free(watch);
}

} // namespace

os_watch *os_watch_open(const char *directory) {
    os_watch *watch = static_cast<os_watch *>(malloc(sizeof(os_watch)));
    if (!watch) return nullptr;
    wchar_t wide[LONG_PATH_UNITS];
    wchar_t path[LONG_PATH_UNITS];
    watch->directory = INVALID_HANDLE_VALUE;
    if (utf8_to_wide(directory, wide, LONG_PATH_UNITS) &&
        extended_path(wide, path, LONG_PATH_UNITS)) {
        watch->directory = CreateFileW(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
    if (watch->directory == INVALID_HANDLE_VALUE) {
        free(watch);
        return nullptr;
    }
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
