// Watching one folder tree on Windows: the field's folder, its waits
// (notify_reader.cpp), what each batch asks for (change_records.cpp) and the
// walks (tree_rescan.cpp) that find the files no record names: after an
// overflow, in a folder moved in or renamed, and in the field's folder when
// it comes back or another takes its name.
//
// The field stays honest: the handle follows the folder, not the path the
// user gave, so the field is opened again at least every CHECK_INTERVAL_MS
// (waits time out for it) and compared by identity. When it names nothing,
// or nothing reachable, the watch waits for it and tries again; the same
// folder back is caught up on, another folder is watched from the start.
//
// Times: the drained moment is when the wait before the one being handled
// was issued. Every change made before it came in a batch that has been
// handed on whole, its detections ended: the kernel gathers changes between
// waits and returns them to the next one at once.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capacities.h"
#include "change_records.h"
#include "folder_identity.h"
#include "long_paths.h"
#include "notify_reader.h"
#include "os.h"
#include "tree_rescan.h"
#include "watch_retry.h"
#include "wide_text.h"

namespace {

// How often the field is looked up again while the waits go on, and while
// it names nothing.
const DWORD CHECK_INTERVAL_MS = 1000;
// Rescans after an overflow come no closer than this: a server that answers
// every wait with "enumerate the directory" would keep the watcher walking.
const ULONGLONG RESCAN_INTERVAL_MS = 5000;

enum field_state {
    FIELD_WATCHED,
    FIELD_GONE,        // the field names no folder that can be opened
    FIELD_UNREACHABLE, // a network fault; tried again with back-off
};

} // namespace

struct os_watch {
    // Paths are reported under the field as written, or, for a
    // drive-relative field, under the folder it was resolved to.
    const char *shown;
    char resolved[PATH_CAPACITY];
    // The field's exact path; names are put after it, at path_units, and
    // taken away again.
    wchar_t path[LONG_PATH_UNITS];
    size_t path_units;
    wchar_t long_path[LONG_PATH_UNITS];
    folder_identity identity;
    notify_reader reader;
    field_state state;
    unsigned attempts;
    ULONGLONG next_try;   // tick count of the next try while not watched
    ULONGLONG next_check; // tick count of the next look at the field
    ULONGLONG last_rescan;
    // FILETIME ticks: the last wait's issue, the drained moment, and from
    // when a walk due at the next issue reports (catch_up).
    uint64_t last_issue;
    uint64_t drained_since;
    uint64_t away_since;
    bool catch_up;
    uint64_t catch_up_since;
    // Where the records of the wait being handled go.
    record_fn on_record;
    void *context;
    notify_scratch scratch;
    rescan_state rescan;
};

namespace {

uint64_t now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

void hand_line(os_watch *watch, record_kind kind, const char *detail) {
    watch_record record = {kind, "", detail};
    watch->on_record(watch->context, &record);
}

// Puts a record's name after the field's path; the end of the result, or 0
// when it is longer than any path the platform takes.
size_t put_name(os_watch *watch, const unsigned char *name, size_t units) {
    wchar_t *end = watch->path + watch->path_units;
    size_t room = LONG_PATH_UNITS - watch->path_units;
    bool separator = end[-1] != L'\\';
    if ((separator ? 1 : 0) + units >= room) return 0;
    if (separator) *end++ = L'\\';
    memcpy(end, name, units * sizeof(wchar_t));
    end[units] = L'\0';
    return static_cast<size_t>(end + units - watch->path);
}

void take_name_away(os_watch *watch) { watch->path[watch->path_units] = L'\0'; }

entry_kind kind_of(void *context, const unsigned char *name, size_t units) {
    os_watch *watch = static_cast<os_watch *>(context);
    if (!put_name(watch, name, units)) return ENTRY_GONE;
    // The entry itself: a link is not followed to what it names.
    DWORD attributes = GetFileAttributesW(watch->path);
    take_name_away(watch);
    return attributes == INVALID_FILE_ATTRIBUTES ? ENTRY_GONE : kind_of_attributes(attributes, 0);
}

size_t long_name(void *context, const unsigned char *name, size_t units, unsigned char *out) {
    os_watch *watch = static_cast<os_watch *>(context);
    if (!put_name(watch, name, units)) return 0;
    DWORD length = GetLongPathNameW(watch->path, watch->long_path, LONG_PATH_UNITS);
    take_name_away(watch);
    if (length == 0 || length >= LONG_PATH_UNITS) return 0;
    const wchar_t *below = name_below(watch->path, watch->long_path);
    if (!below) return 0;
    size_t long_units = wcslen(below);
    memcpy(out, below, long_units * sizeof(wchar_t));
    return long_units;
}

void *open_listing(void *, const path_unit *path, bool follow, unsigned long *error) {
    // The entry as it is now: a folder that became a link since it was
    // listed is not followed.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE folder = CreateFileW(path, FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (folder != INVALID_HANDLE_VALUE) return folder;
    *error = GetLastError();
    return nullptr;
}

static_assert(offsetof(FILE_FULL_DIR_INFO, CreationTime) == LISTING_CREATION_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, LastWriteTime) == LISTING_LAST_WRITE_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, ChangeTime) == LISTING_CHANGE_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, FileAttributes) == LISTING_ATTRIBUTES &&
                  offsetof(FILE_FULL_DIR_INFO, FileNameLength) == LISTING_NAME_BYTES &&
                  offsetof(FILE_FULL_DIR_INFO, EaSize) == LISTING_REPARSE_TAG &&
                  offsetof(FILE_FULL_DIR_INFO, FileName) == LISTING_HEADER_SIZE,
              "the rescan reads listings as the platform lays them out");

listing_result list_folder(void *, void *folder, unsigned char *buffer, size_t size,
                           unsigned long *error) {
    if (GetFileInformationByHandleEx(folder, FileFullDirectoryInfo, buffer,
                                     static_cast<DWORD>(size))) {
        return LISTING_MORE;
    }
    *error = GetLastError();
    return *error == ERROR_NO_MORE_FILES ? LISTING_END : LISTING_FAILED;
}

void close_listing(void *, void *folder) { CloseHandle(folder); }

const rescan_folders FOLDERS = {open_listing, list_folder, close_listing, nullptr};

// Walks the field's folder (relative "") or a folder below it that path
// names up to units, for files changed since then (0: all of them).
void walk(os_watch *watch, size_t units, const char *relative, uint64_t since) {
    rescan_tree(&watch->rescan, watch->path, units, LONG_PATH_UNITS, relative, since, FOLDERS,
                watch->on_record, watch->context);
    take_name_away(watch);
}

void walk_folder(void *context, const unsigned char *name, size_t units, const char *relative,
                 bool whole) {
    os_watch *watch = static_cast<os_watch *>(context);
    size_t end = put_name(watch, name, units);
    if (!end) {
        watch_record record = {RECORD_UNWATCHED, relative, "not rescanned, path too long"};
        watch->on_record(watch->context, &record);
        return;
    }
    walk(watch, end, relative, whole ? 0 : watch->drained_since);
}

// Hands on a batch of length bytes of records, and after an overflow what
// its records would have named.
void hand_batch(os_watch *watch, DWORD length) {
    notify_seam seam = {kind_of, long_name, walk_folder, watch};
    notify_walk(watch->reader.changes, length, watch->reader.layout, &watch->scratch, seam,
                watch->on_record, watch->context);
    if (length != 0) return;
    ULONGLONG since_last = GetTickCount64() - watch->last_rescan;
    if (watch->last_rescan != 0 && since_last < RESCAN_INTERVAL_MS) {
        // The platform gathers changes meanwhile, for the next wait.
        Sleep(static_cast<DWORD>(RESCAN_INTERVAL_MS - since_last));
    }
    walk(watch, watch->path_units, "", watch->drained_since);
    watch->last_rescan = GetTickCount64();
}

// Opens the field by its path, as the watch did, for its identity. 0, or
// why it cannot be.
DWORD look_at_field(const os_watch *watch, folder_identity *identity) {
    HANDLE field = CreateFileW(watch->path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (field == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD error = read_identity(field, identity) ? 0 : GetLastError();
    CloseHandle(field);
    return error;
}

// Opens the waits on the folder the field names now, which becomes the
// watched one. 0, or why not.
DWORD start_watching(os_watch *watch) {
    DWORD error = reader_open(&watch->reader, watch->path);
    if (!error && !read_identity(reader_handle(&watch->reader), &watch->identity)) {
        error = GetLastError();
        DWORD none;
        reader_close(&watch->reader, &none);
    }
    watch->state = FIELD_WATCHED;
    watch->last_issue = 0;
    watch->next_check = GetTickCount64() + CHECK_INTERVAL_MS;
    return error;
}

void went_away(os_watch *watch, DWORD error);

// The field names the folder again (since: what changed from then is
// reported), or another folder (since 0: all of it).
void watch_again(os_watch *watch, uint64_t since) {
    DWORD error = start_watching(watch);
    if (error) {
        went_away(watch, error);
        return;
    }
    // Once the first wait is issued, so that nothing falls between.
    watch->catch_up = true;
    watch->catch_up_since = since;
}

// The field cannot be watched now, for error: one line, then tries again.
void went_away(os_watch *watch, DWORD error) {
    watch->away_since = watch->drained_since;
    watch->attempts = 0;
    if (is_transient_network_error(error)) {
        char why[48];
        snprintf(why, sizeof why, "Windows error %lu", error);
        hand_line(watch, RECORD_FIELD_UNREACHABLE, why);
        watch->state = FIELD_UNREACHABLE;
        watch->next_try = GetTickCount64() + retry_delay_ms(0);
    } else {
        hand_line(watch, RECORD_FIELD_GONE, "");
        watch->state = FIELD_GONE;
        watch->next_try = GetTickCount64() + CHECK_INTERVAL_MS;
    }
}

// The field no longer names the watched folder: the waits end, and what
// they gathered before is handed on, then the field's state.
void field_changed(os_watch *watch, DWORD error) {
    DWORD length;
    reader_close(&watch->reader, &length);
    if (length) {
        notify_seam seam = {kind_of, long_name, walk_folder, watch};
        notify_walk(watch->reader.changes, length, watch->reader.layout, &watch->scratch, seam,
                    watch->on_record, watch->context);
    }
    if (error) {
        went_away(watch, error);
    } else {
        hand_line(watch, RECORD_FIELD_REPLACED, "");
        watch_again(watch, 0);
    }
}

// Looks at the field; false when it no longer names the watched folder.
bool check_field(os_watch *watch) {
    watch->next_check = GetTickCount64() + CHECK_INTERVAL_MS;
    folder_identity identity;
    DWORD error = look_at_field(watch, &identity);
    if (!error && same_folder(identity, watch->identity)) return true;
    field_changed(watch, error);
    return false;
}

// A wait failed: a network fault is waited out; a field that no longer
// names the watched folder is handled as when a look finds it so. False
// when the watch itself failed.
bool wait_failed(os_watch *watch, DWORD error) {
    if (!is_transient_network_error(error)) return !check_field(watch);
    DWORD none;
    reader_close(&watch->reader, &none);
    went_away(watch, error);
    return true;
}

// Tries the field again once it is time.
void try_again(os_watch *watch) {
    ULONGLONG tick = GetTickCount64();
    if (tick < watch->next_try) Sleep(static_cast<DWORD>(watch->next_try - tick));
    folder_identity identity;
    DWORD error = look_at_field(watch, &identity);
    if (!error) {
        bool same = same_folder(identity, watch->identity);
        hand_line(watch, same ? RECORD_FIELD_BACK : RECORD_FIELD_REPLACED, "");
        watch_again(watch, same ? watch->away_since : 0);
        return;
    }
    if (is_transient_network_error(error)) {
        // The outage goes on: no new line.
        watch->state = FIELD_UNREACHABLE;
        watch->next_try = GetTickCount64() + retry_delay_ms(++watch->attempts);
        return;
    }
    if (watch->state == FIELD_UNREACHABLE) hand_line(watch, RECORD_FIELD_GONE, "");
    watch->state = FIELD_GONE;
    watch->next_try = GetTickCount64() + CHECK_INTERVAL_MS;
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
            DWORD error = reader_issue(&watch->reader);
            if (error) {
                if (!wait_failed(watch, error)) return end_watch(watch, error);
                continue;
            }
            uint64_t issued = now();
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
