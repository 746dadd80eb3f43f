// Watching one folder tree on Windows: the field's folder, its waits
// (notify_reader.cpp), what each batch asks for (change_records.cpp,
// watch_batches.cpp) and the walks (tree_rescan.cpp) that find the files no
// record names: after an overflow, in a folder moved in or renamed, and in
// the field's folder when it comes back or another takes its name. Waits
// time out so that the field is looked at (watched_field.cpp) at least every
// CHECK_INTERVAL_MS, whether or not anything changes inside.
//
// Times: the drained moment is when the wait before the one being handled
// was issued. Every change made before it came in a batch that has been
// handed on whole, its detections ended: the kernel gathers changes between
// waits and returns them to the next one at once.
#include <windows.h>

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "watch_state.h"
#include "wide_text.h"

namespace {

// The time now, in FILETIME ticks, as file times are.
uint64_t now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

int end_watch(os_watch *watch, DWORD error) {
    if (watch->reader.directory != INVALID_HANDLE_VALUE) CloseHandle(watch->reader.directory);
    CloseHandle(watch->reader.event);
    free(watch);
    // The watcher takes 0 for success; a failure must never look like one.
    return error != 0 ? static_cast<int>(error) : -1;
}

// Milliseconds until the next look at the field.
DWORD until_check(const os_watch *watch) {
    ULONGLONG tick = GetTickCount64();
    return tick >= watch->next_check ? 0 : static_cast<DWORD>(watch->next_check - tick);
}

} // namespace

os_watch *os_watch_open(const char *directory) {
    os_watch *watch = static_cast<os_watch *>(calloc(1, sizeof(os_watch)));
    if (!watch) return nullptr;
    watch->reader.directory = INVALID_HANDLE_VALUE;
    wchar_t wide[LONG_PATH_UNITS];
    bool resolved = utf8_to_wide(directory, wide, LONG_PATH_UNITS) &&
                    exact_path_now(wide, watch->path, LONG_PATH_UNITS);
    watch->shown = directory;
    if (resolved && path_form_of(wide) == PATH_DRIVE_RELATIVE) {
        // C:dir names the drive's current folder only at start: what is
        // watched, and reported, is the folder it named then. Shown without
        // the \\?\ the exact path puts before the drive.
        resolved = wide_to_utf8(watch->path + 4, watch->resolved, sizeof watch->resolved);
        watch->shown = watch->resolved;
    }
    watch->path_units = wcslen(watch->path);
    if (!resolved || start_watching(watch) != 0) {
        if (watch->reader.event) CloseHandle(watch->reader.event);
        free(watch);
        return nullptr;
    }
    return watch;
}

const char *os_watch_directory(const os_watch *watch) { return watch->shown; }

int os_watch_wait(os_watch *watch, record_fn on_record, void *context) {
    watch->on_record = on_record;
    watch->context = context;
    for (;;) {
        if (watch->state != FIELD_WATCHED) {
            try_again(watch);
            continue;
        }
        if (!watch->reader.pending) {
            // Read before the wait is issued: every change made before then
            // comes with this wait or an earlier one.
            uint64_t issued = now();
            DWORD error = reader_issue(&watch->reader);
            if (error) {
                if (!wait_failed(watch, error)) return end_watch(watch, error);
                continue;
            }
            watch->drained_since = watch->last_issue ? watch->last_issue : issued;
            watch->last_issue = issued;
            if (watch->catch_up) {
                watch->catch_up = false;
                walk(watch, watch->path_units, "", watch->catch_up_since);
                return 0;
            }
        }
        DWORD length = 0, error = 0;
        reader_outcome got = reader_wait(&watch->reader, until_check(watch), &length, &error);
        if (got == READER_IDLE) {
            check_field(watch);
            continue;
        }
        // An overflow reported as a failure instead of as 0 bytes (Wine does
        // this); the handle still works, so it is the same loss.
        if (got == READER_FAILED && error != ERROR_NOTIFY_ENUM_DIR) {
            if (!wait_failed(watch, error)) return end_watch(watch, error);
            continue;
        }
        hand_batch(watch, length);
        if (until_check(watch) == 0) check_field(watch);
        return 0;
    }
}
