// The Windows change buffer: walking the records one directory-change wait
// returns and turning their UTF-16 names into UTF-8. Plain code over bytes,
// so it builds and is tested on every platform.
#pragma once

#include <stddef.h>

#include "os.h"

// Change buffer of one wait.
static const size_t NOTIFY_BUFFER_SIZE = 4096;

// One record in the change buffer: NextEntryOffset, Action, FileNameLength
// (each a little-endian 32-bit value), then FileNameLength bytes of UTF-16LE.
static const size_t NOTIFY_HEADER_SIZE = 12;

// The longest name a change buffer can carry, in UTF-16 code units, and that
// name as UTF-8 (at most 3 bytes per unit), so that no name the platform
// delivers is ever cut.
static const size_t NOTIFY_NAME_UNITS = NOTIFY_BUFFER_SIZE / 2;
static const size_t NOTIFY_NAME_BYTES = NOTIFY_NAME_UNITS * 3 + 1;

// Working storage of one watch, owned by its thread.
struct notify_scratch {
    char name[NOTIFY_NAME_BYTES];
};

// Hands every record of a change buffer of length bytes to on_record, in
// order, as a name relative to the watched directory with backslashes.
// Length 0 is the platform's word that changes overflowed: RECORD_LOST.
// Nothing past length is read; a record that runs past it, or a buffer longer
// than any wait can return, ends the batch with RECORD_UNREADABLE.
void notify_walk(const unsigned char *buffer, size_t length, notify_scratch *scratch,
                 record_fn on_record, void *context);

enum utf8_result {
    UTF8_EXACT,    // every code unit converted
    UTF8_REPLACED, // an unpaired surrogate or a NUL became U+FFFD
    UTF8_TOO_LONG, // out cannot hold the result; out holds ""
};

// Converts count UTF-16LE code units at units into NUL-terminated UTF-8.
// capacity must be at least 1. Never writes a partial result.
utf8_result utf16le_to_utf8(const unsigned char *units, size_t count, char *out,
                            size_t capacity);
