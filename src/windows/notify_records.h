// Reading the Windows directory-change buffer and preparing a detection
// command line. Plain code over bytes, so it builds and is tested on every
// platform.
#pragma once

#include <stddef.h>

#include "capacities.h"
#include "os.h"

// One record in the change buffer: NextEntryOffset, Action, FileNameLength
// (each a little-endian 32-bit value), then FileNameLength bytes of UTF-16LE.
static const size_t NOTIFY_HEADER_SIZE = 12;

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

// Writes the command line that starts executable with path as its one
// argument: the executable in plain quotes (the C runtime takes the program
// name up to the next quote, and a Windows path holds none), then the path
// quoted so that the C runtime's argument parser gives it back unchanged:
// backslashes before a quote or at the end doubled, quotes escaped. False when
// it does not fit or the executable holds a quote; out is still terminated.
bool build_command_line(char *out, size_t capacity, const char *executable,
                        const char *path);
