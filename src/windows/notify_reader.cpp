// Issuing, completing and cancelling directory-change waits.
#include "notify_reader.h"

namespace {

// What every wait asks for: names of files and folders (a folder moved in
// or renamed brings files no record names) and last-write times.
const DWORD NOTIFY_FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ReadDirectoryNotifyExtendedInformation.
const int EXTENDED_INFORMATION = 2;

typedef BOOL(WINAPI *read_changes_ex_fn)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD,
                                         LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE, int);

// Looked up by name: Windows before 10 1709, and Wine, have no such call.
read_changes_ex_fn read_changes_ex() {
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadDirectoryChangesExW");
    return reinterpret_cast<read_changes_ex_fn>(reinterpret_cast<void *>(found));
}

} // namespace

DWORD reader_open(notify_reader *reader, const wchar_t *path) {
    if (!reader->event) reader->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!reader->event) return GetLastError();
    reader->pending = false;
    reader->layout = read_changes_ex() ? NOTIFY_EXTENDED : NOTIFY_PLAIN;
    reader->directory = CreateFileW(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    return reader->directory == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

HANDLE reader_handle(const notify_reader *reader) { return reader->directory; }

DWORD reader_issue(notify_reader *reader) {
    ZeroMemory(&reader->overlapped, sizeof reader->overlapped);
    reader->overlapped.hEvent = reader->event;
    ResetEvent(reader->event);
    // The count comes with the completion; this one is never read.
    DWORD unread = 0;
    BOOL issued = FALSE;
    if (reader->layout == NOTIFY_EXTENDED) {
        issued = read_changes_ex()(reader->directory, reader->changes, sizeof reader->changes, TRUE,
                                   NOTIFY_FILTER, &unread, &reader->overlapped, nullptr,
                                   EXTENDED_INFORMATION);
        DWORD error = GetLastError();
        // A file system that has no extended records: the plain ones.
        if (!issued && (error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
                        error == ERROR_NOT_SUPPORTED)) {
            reader->layout = NOTIFY_PLAIN;
        }
    }
    if (reader->layout == NOTIFY_PLAIN) {
        issued = ReadDirectoryChangesW(reader->directory, reader->changes, sizeof reader->changes,
                                       TRUE, NOTIFY_FILTER, &unread, &reader->overlapped, nullptr);
    }
    reader->pending = issued;
    return issued ? 0 : GetLastError();
}

reader_outcome reader_wait(notify_reader *reader, DWORD timeout, DWORD *length, DWORD *error) {
    if (WaitForSingleObject(reader->event, timeout) == WAIT_TIMEOUT) return READER_IDLE;
    reader->pending = false;
    *length = 0;
    if (GetOverlappedResult(reader->directory, &reader->overlapped, length, FALSE)) {
        return READER_BATCH;
    }
    *error = GetLastError();
    return READER_FAILED;
}

void reader_close(notify_reader *reader, DWORD *length) {
    *length = 0;
    if (reader->pending) {
        CancelIoEx(reader->directory, &reader->overlapped);
        // Waits for the cancel to land: the buffer is the platform's until
        // then. A wait that completed first keeps its records.
        if (!GetOverlappedResult(reader->directory, &reader->overlapped, length, TRUE)) {
            *length = 0;
        }
        reader->pending = false;
    }
    CloseHandle(reader->directory);
    reader->directory = INVALID_HANDLE_VALUE;
}
