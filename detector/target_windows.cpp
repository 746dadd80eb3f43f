// The detector's file on Windows. The path comes from the wide command line
// and is opened as exactly the path named, in its extended-length form
// (long_paths.h), so a trailing dot or space or a device name is an ordinary
// name, and any length the platform holds is scanned, whatever the process
// code page. A link or junction is not followed: it is not a regular file.
// The file is first opened without read access to see what it is; only a
// regular file on disk is then opened for reading, through that same open.
// It is shared for reading, writing and deleting: a scan must never make
// another program's write, rename or delete fail. A sparse file is read
// range by range (allocated_ranges.cpp), its holes skipped.
#include "target.h"

#include <windows.h>
#include <winioctl.h>

#include <shellapi.h>
#include <stdio.h>

#include "allocated_ranges.h"
#include "long_paths.h"
#include "wide_text.h"

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Not a file of data: a folder, a link or junction, a device.
const DWORD NOT_REGULAR =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

const wchar_t *wide_path;
// The path as UTF-8 for the verdict line: at most 3 bytes per code unit.
char path[LONG_PATH_UNITS * 3];
HANDLE file = INVALID_HANDLE_VALUE;
bool sparse;
range_cursor ranges;

target_state cannot_open(DWORD error, char *reason, size_t capacity) {
    // Only these say the file is not there; anything else (a file locked,
    // access denied) is a scan that did not happen.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return TARGET_GONE;
    snprintf(reason, capacity, "cannot open (Windows error %lu)", error);
    return TARGET_FAILED;
}

int query_ranges(void *, uint64_t offset, uint64_t end, data_range *out, size_t capacity,
                 bool *more) {
    FILE_ALLOCATED_RANGE_BUFFER asked, found[RANGE_BATCH];
    asked.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
    asked.Length.QuadPart = static_cast<LONGLONG>(end - offset);
    DWORD bytes = 0;
    BOOL done = DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof asked, found,
                                static_cast<DWORD>(capacity * sizeof found[0]), &bytes, nullptr);
    *more = !done && GetLastError() == ERROR_MORE_DATA;
    if (!done && !*more) return -1;
    int count = static_cast<int>(bytes / sizeof found[0]);
    for (int i = 0; i < count; i++) {
        out[i] = {static_cast<uint64_t>(found[i].FileOffset.QuadPart),
                  static_cast<uint64_t>(found[i].Length.QuadPart)};
    }
    return count;
}

} // namespace

const char *target_argument(int, char **) {
    // argv is in the legacy code page wherever the process has no UTF-8
    // one; the wide command line holds the name as it is.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide || count != 2 || !wide_to_utf8(wide[1], path, sizeof path)) return nullptr;
    wide_path = wide[1];
    return path;
}

target_state target_open(char *reason, size_t capacity) {
    wchar_t exact[LONG_PATH_UNITS];
    if (!exact_path_now(wide_path, exact, LONG_PATH_UNITS)) {
        return cannot_open(ERROR_FILENAME_EXCED_RANGE, reason, capacity);
    }
    // Backup semantics lets a folder open too, to be told apart below.
    HANDLE look = CreateFileW(exact, FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE_ALL, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (look == INVALID_HANDLE_VALUE) return cannot_open(GetLastError(), reason, capacity);
    FILE_ATTRIBUTE_TAG_INFO what;
    if (GetFileType(look) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(look, FileAttributeTagInfo, &what, sizeof what) ||
        (what.FileAttributes & NOT_REGULAR)) {
        CloseHandle(look);
        return TARGET_NOT_REGULAR;
    }
    file = ReOpenFile(look, GENERIC_READ, SHARE_ALL,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    DWORD error = GetLastError();
    CloseHandle(look);
    if (file == INVALID_HANDLE_VALUE) return cannot_open(error, reason, capacity);
    LARGE_INTEGER size;
    sparse = (what.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) && GetFileSizeEx(file, &size);
    if (sparse) range_start(&ranges, static_cast<uint64_t>(size.QuadPart));
    return TARGET_OPEN;
}

long target_read(char *buffer, size_t size, bool *after_hole, char *reason, size_t capacity) {
    OVERLAPPED at;
    ZeroMemory(&at, sizeof at);
    OVERLAPPED *where = nullptr;
    if (sparse) {
        uint64_t offset;
        if (!range_next(&ranges, size, query_ranges, nullptr, &offset, &size, after_hole)) {
            return 0;
        }
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        where = &at;
    }
    DWORD got = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, where) &&
        GetLastError() != ERROR_HANDLE_EOF) {
        snprintf(reason, capacity, "cannot read (Windows error %lu)", GetLastError());
        return -1;
    }
    if (sparse) range_advance(&ranges, got);
    return static_cast<long>(got);
}

void target_close() {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}
