// The detector's file on Windows. The path comes from the wide command line
// and is opened in its extended-length form, so any name and any length the
// platform holds is scanned, whatever the process code page. The file is
// shared for reading, writing and deleting: a scan must never make another
// program's write, rename or delete fail.
#include "target.h"

#include <windows.h>

#include <shellapi.h>
#include <stdio.h>

#include "long_paths.h"
#include "wide_text.h"

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

const wchar_t *wide_path;
// The path as UTF-8 for the verdict line: at most 3 bytes per code unit.
char path[LONG_PATH_UNITS * 3];
HANDLE file = INVALID_HANDLE_VALUE;

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
    wchar_t extended[LONG_PATH_UNITS];
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (extended_path(wide_path, extended, LONG_PATH_UNITS)) {
        // Backup semantics lets a folder open too, to be told apart below.
        file = CreateFileW(extended, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        error = GetLastError();
    }
    if (file == INVALID_HANDLE_VALUE) {
        // Only these say the file is not there; anything else (a file
        // locked, access denied) is a scan that did not happen.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return TARGET_GONE;
        snprintf(reason, capacity, "cannot open (Windows error %lu)", error);
        return TARGET_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        target_close();
        return TARGET_NOT_REGULAR;
    }
    return TARGET_OPEN;
}

long target_read(char *buffer, size_t size, bool *, char *reason, size_t capacity) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        snprintf(reason, capacity, "cannot read (Windows error %lu)", GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

void target_close() {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}
