// What a watch hands its watcher: the records of each batch, through the
// notify walk's seam (what a record names, its long name, the folders to
// walk), and the walks of folders no record describes file by file.
#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "watch_state.h"

namespace {

// Rescans after an overflow come no closer than this: a server that answers
// every wait with "enumerate the directory" would keep the watcher walking.
const ULONGLONG RESCAN_INTERVAL_MS = 5000;

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

} // namespace

void hand_line(os_watch *watch, record_kind kind, const char *detail) {
    watch_record record = {kind, "", detail};
    watch->on_record(watch->context, &record);
}

void walk(os_watch *watch, size_t units, const char *relative, uint64_t since) {
    rescan_tree(&watch->rescan, watch->path, units, LONG_PATH_UNITS, relative, since, FOLDERS,
                watch->on_record, watch->context);
    take_name_away(watch);
}

void hand_records(os_watch *watch, DWORD length) {
    notify_seam seam = {kind_of, long_name, walk_folder, watch};
    notify_walk(watch->reader.changes, length, watch->reader.layout, &watch->scratch, seam,
                watch->on_record, watch->context);
}

void hand_batch(os_watch *watch, DWORD length) {
    hand_records(watch, length);
    if (length != 0) return;
    ULONGLONG since_last = GetTickCount64() - watch->last_rescan;
    if (watch->last_rescan != 0 && since_last < RESCAN_INTERVAL_MS) {
        // The platform gathers changes meanwhile, for the next wait.
        Sleep(static_cast<DWORD>(RESCAN_INTERVAL_MS - since_last));
    }
    walk(watch, watch->path_units, "", watch->drained_since);
    watch->last_rescan = GetTickCount64();
}
