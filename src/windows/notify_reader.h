// The directory-change waits on one watched folder: its handle, opened for
// overlapped waits so that a wait can time out (the watch then looks at its
// field) and be cancelled, and the change buffer the platform fills.
// ReadDirectoryChangesExW with its extended records where the platform has
// it (Windows 10 1709 and later): they say which records name folders. Else,
// or where a file system refuses them, the plain records.
#pragma once

#include <windows.h>

#include "change_records.h"

struct notify_reader {
    HANDLE directory;     // INVALID_HANDLE_VALUE while closed
    HANDLE event;         // made once, kept across reopenings
    OVERLAPPED overlapped;
    bool pending;         // a wait was issued and has not completed
    notify_layout layout; // of the records the waits return
    // The platform writes 64-bit fields into extended records.
    alignas(8) unsigned char changes[NOTIFY_BUFFER_SIZE];
};

// Opens the folder at path (an exact path) for waits. 0, or why not.
DWORD reader_open(notify_reader *reader, const wchar_t *path);

// The open handle, for reading the folder's identity.
HANDLE reader_handle(const notify_reader *reader);

// Starts a wait for changes anywhere below the folder. 0, or why not.
DWORD reader_issue(notify_reader *reader);

enum reader_outcome {
    READER_BATCH,   // *length bytes of records (0: they overflowed)
    READER_IDLE,    // nothing within the timeout; the wait goes on
    READER_FAILED,  // the wait failed with *error
};

// Waits up to timeout milliseconds for the wait issued to complete.
reader_outcome reader_wait(notify_reader *reader, DWORD timeout, DWORD *length, DWORD *error);

// Cancels a pending wait and closes the handle. Records the wait had
// gathered before the cancel are handed back as a batch: *length bytes,
// 0 when there were none.
void reader_close(notify_reader *reader, DWORD *length);
