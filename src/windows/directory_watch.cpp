// Watching one folder tree on Windows: ReadDirectoryChangesW on a handle to
// the watched folder, its records walked in change_records.cpp. The handle
// follows the folder itself, not the path the user gave: when the folder is
// renamed, moved or deleted, the waits go on (a deleted one's may return
// empty batches), so each batch is checked against the path first. A wait
// whose records were dropped is followed by a rescan (tree_rescan.cpp) of
// what changed since the wait before it returned.
#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "change_records.h"
#include "long_paths.h"
#include "os.h"
#include "tree_rescan.h"
#include "wide_text.h"

namespace {

// What tells one folder from another: the volume and the file index on it.
// A handle's final path is no help: it keeps the old name after a rename.
struct folder_identity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
};

} // namespace

struct os_watch {
    HANDLE directory;
    folder_identity identity;
    // The field's extended-length form; the folder check puts a name after
    // it, at path_units, and takes it away again.
    size_t path_units;
    wchar_t path[LONG_PATH_UNITS];
    notify_scratch scratch;
    // When the last wait returned: the platform has gathered this handle's
    // changes since then, and a wait that drops them lost those.
    uint64_t gathering_since;
    rescan_state rescan;
    // The platform writes DWORD fields into the change buffer.
    alignas(DWORD) unsigned char changes[NOTIFY_BUFFER_SIZE];
};

namespace {

// File names and last-write times; directories are followed, not reported.
const DWORD NOTIFY_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_folder(const wchar_t *path, DWORD access) {
    return CreateFileW(path, access, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool read_identity(HANDLE handle, folder_identity *identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index_high = info.nFileIndexHigh;
    identity->index_low = info.nFileIndexLow;
    return true;
}

// Whether the field, opened again by its path, is still the watched folder.
// When not, error is why the field cannot be opened, or, when it names
// another folder now, "file not found", as on Linux.
bool field_names_watched_folder(const os_watch *watch, DWORD *error) {
    HANDLE again = open_folder(watch->path, FILE_READ_ATTRIBUTES);
    if (again == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    folder_identity now;
    bool same = read_identity(again, &now) && now.volume == watch->identity.volume &&
                now.index_high == watch->identity.index_high &&
                now.index_low == watch->identity.index_low;
    CloseHandle(again);
    *error = ERROR_FILE_NOT_FOUND;
    return same;
}

bool is_folder(void *context, const unsigned char *name, size_t units) {
    os_watch *watch = static_cast<os_watch *>(context);
    wchar_t *end = watch->path + watch->path_units;
    size_t room = LONG_PATH_UNITS - watch->path_units;
    bool separator = end[-1] != L'\\';
    // Longer than any path the platform takes: no such folder.
    if ((separator ? 1 : 0) + units >= room) return false;
    if (separator) *end++ = L'\\';
    memcpy(end, name, units * sizeof(wchar_t));
    end[units] = L'\0';
    DWORD attributes = GetFileAttributesW(watch->path);
    watch->path[watch->path_units] = L'\0';
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

static_assert(offsetof(FILE_FULL_DIR_INFO, CreationTime) == LISTING_CREATION_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, LastWriteTime) == LISTING_LAST_WRITE_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, ChangeTime) == LISTING_CHANGE_TIME &&
                  offsetof(FILE_FULL_DIR_INFO, FileAttributes) == LISTING_ATTRIBUTES &&
                  offsetof(FILE_FULL_DIR_INFO, FileNameLength) == LISTING_NAME_BYTES &&
                  offsetof(FILE_FULL_DIR_INFO, EaSize) == LISTING_REPARSE_TAG &&
                  offsetof(FILE_FULL_DIR_INFO, FileName) == LISTING_HEADER_SIZE,
              "the rescan reads listings as the platform lays them out");

void *open_listing(void *, const path_unit *path, unsigned long *error) {
    // The entry as it is now: a folder that became a link since it was
    // listed is not followed.
    HANDLE folder = CreateFileW(path, FILE_LIST_DIRECTORY, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (folder != INVALID_HANDLE_VALUE) return folder;
    *error = GetLastError();
    return nullptr;
}

listing_result list_folder(void *, void *folder, unsigned char *buffer, size_t size,
                           unsigned long *error) {
    if (GetFileInformationByHandleEx(folder, FileFullDirectoryInfo, buffer,
                                     static_cast<DWORD>(size))) {
        return LISTING_MORE;
    }
    *error = GetLastError();
    return *error == ERROR_NO_MORE_FILES ? LISTING_END : LISTING_FAILED;
}

void close_listing(void *, void *folder) {
    CloseHandle(folder);
}

const rescan_folders FOLDERS = {open_listing, list_folder, close_listing, nullptr};

int end_watch(os_watch *watch, DWORD error) {
    CloseHandle(watch->directory);
    free(watch);
    // The watcher takes 0 for success; a failure must never look like one.
    return error != 0 ? static_cast<int>(error) : -1;
}

} // namespace

os_watch *os_watch_open(const char *directory) {
    os_watch *watch = static_cast<os_watch *>(malloc(sizeof(os_watch)));
    if (!watch) return nullptr;
    wchar_t wide[LONG_PATH_UNITS];
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (utf8_to_wide(directory, wide, LONG_PATH_UNITS) &&
        extended_path(wide, watch->path, LONG_PATH_UNITS)) {
        handle = open_folder(watch->path, GENERIC_READ);
    }
    watch->directory = handle;
    if (handle == INVALID_HANDLE_VALUE || !read_identity(handle, &watch->identity)) {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        free(watch);
        return nullptr;
    }
    watch->path_units = wcslen(watch->path);
    watch->gathering_since = now();
    return watch;
}

int os_watch_wait(os_watch *watch, record_fn on_record, void *context) {
    DWORD length = 0;
    if (!ReadDirectoryChangesW(watch->directory, watch->changes, sizeof watch->changes, TRUE,
                               NOTIFY_FILTER, &length, nullptr, nullptr)) {
        DWORD error = GetLastError();
        // An overflow reported as a failure instead of as 0 bytes (Wine does
        // this); the handle still works, so it is the same loss.
        if (error != ERROR_NOTIFY_ENUM_DIR) return end_watch(watch, error);
        length = 0;
    }
    uint64_t lost_since = watch->gathering_since;
    watch->gathering_since = now();
    // Checked before the records are handed on: after a rename they would
    // all name files under a path where there are none.
    DWORD error;
    if (!field_names_watched_folder(watch, &error)) return end_watch(watch, error);
    notify_walk(watch->changes, length, &watch->scratch, {is_folder, watch}, on_record, context);
    // The loss line is out; now what it lost, as far as the files still
    // there can tell.
    if (length == 0) {
        rescan_tree(&watch->rescan, watch->path, watch->path_units, LONG_PATH_UNITS, lost_since,
                    FOLDERS, on_record, context);
    }
    return 0;
}
