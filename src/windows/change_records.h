// The Windows change buffer: walking the records one directory-change wait
// returns and turning their UTF-16 names into UTF-8. Plain code over bytes,
// so it builds and is tested on every platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "os.h"

// Change buffer of one wait; the platform keeps as much for the handle
// between waits, while a detection runs. 64 KiB is the most a wait on a
// network share accepts; at 4 KiB about a hundred changes made during one
// detection overflow it (bench/RESULTS.md). Only the benchmark sets
// MONITOR_NOTIFY_BUFFER_SIZE, to measure that.
#ifdef MONITOR_NOTIFY_BUFFER_SIZE
static const size_t NOTIFY_BUFFER_SIZE = MONITOR_NOTIFY_BUFFER_SIZE;
#else
static const size_t NOTIFY_BUFFER_SIZE = 64 * 1024;
#endif

// One record in the change buffer: NextEntryOffset, Action, FileNameLength
// (each a little-endian 32-bit value), then FileNameLength bytes of UTF-16LE.
static const size_t NOTIFY_HEADER_SIZE = 12;

// The longest name a change buffer can carry, in UTF-16 code units, and that
// name as UTF-8 (at most 3 bytes per unit), so that no name the platform
// delivers is ever cut.
static const size_t NOTIFY_NAME_UNITS = NOTIFY_BUFFER_SIZE / 2;
static const size_t NOTIFY_NAME_BYTES = NOTIFY_NAME_UNITS * 3 + 1;

// The Action of a record whose file's last-write time changed. With a
// subtree watch a folder gets one whenever an entry in it comes or goes.
static const unsigned NOTIFY_ACTION_MODIFIED = 3;

// Working storage of one watch, owned by its thread.
struct notify_scratch {
    char name[NOTIFY_NAME_BYTES];
};

// Asked, as a modified record comes to be handled, whether its name (units
// UTF-16LE code units, relative to the watched folder) names a folder then.
struct folder_check {
    bool (*is_folder)(void *context, const unsigned char *name, size_t units);
    void *context;
};

// Hands every record of a change buffer of length bytes to on_record, in
// order, as a name relative to the watched directory with backslashes. A
// modified record that names a folder is left out: a folder holds nothing to
// scan, and its files have records of their own. Length 0 is the platform's word that changes overflowed: RECORD_LOST.
// Nothing past length is read; a record that runs past it, or a buffer longer
// than any wait can return, ends the batch with RECORD_UNREADABLE.
void notify_walk(const unsigned char *buffer, size_t length, notify_scratch *scratch,
                 folder_check folders, record_fn on_record, void *context);

// A 32-bit field of a platform buffer: little-endian whatever the host, and
// not necessarily aligned in a crafted one.
uint32_t read_u32(const unsigned char *p);

enum utf8_result {
    UTF8_EXACT,    // every code unit converted
    UTF8_REPLACED, // an unpaired surrogate or a NUL became U+FFFD
    UTF8_TOO_LONG, // out cannot hold the result; out holds ""
};

// Converts count UTF-16LE code units at units into NUL-terminated UTF-8.
// capacity must be at least 1. Never writes a partial result.
utf8_result utf16le_to_utf8(const unsigned char *units, size_t count, char *out,
                            size_t capacity);
