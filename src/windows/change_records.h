// The Windows change buffer: walking the records one directory-change wait
// returns, deciding what each one asks for (a file to scan, a folder to
// walk, nothing), and turning their UTF-16 names into UTF-8. Plain code over
// bytes, so it builds and is tested on every platform; what only the
// platform can answer comes through notify_seam.
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

// Two layouts of a record, both little-endian and starting with
// NextEntryOffset and Action:
// - plain (FILE_NOTIFY_INFORMATION): FileNameLength at 8, the name at 12;
// - extended (FILE_NOTIFY_EXTENDED_INFORMATION, where the platform has it):
//   the file's attributes at 56 and reparse tag at 60, FileNameLength at 80,
//   the name at 84. It says what each record names as it was then.
enum notify_layout { NOTIFY_PLAIN, NOTIFY_EXTENDED };
static const size_t NOTIFY_HEADER_SIZE = 12;
static const size_t NOTIFY_EXTENDED_ATTRIBUTES = 56;
static const size_t NOTIFY_EXTENDED_REPARSE_TAG = 60;
static const size_t NOTIFY_EXTENDED_NAME_BYTES = 80;
static const size_t NOTIFY_EXTENDED_HEADER_SIZE = 84;

// The longest name a change buffer can carry, in UTF-16 code units, and that
// name as UTF-8 (at most 3 bytes per unit), so that no name the platform
// delivers is ever cut. A long form of a short name is a path below the
// folder, so it fits too.
static const size_t NOTIFY_NAME_UNITS =
    NOTIFY_BUFFER_SIZE / 2 > 32768 ? NOTIFY_BUFFER_SIZE / 2 : 32768;
static const size_t NOTIFY_NAME_BYTES = NOTIFY_NAME_UNITS * 3 + 1;

// Actions.
static const unsigned NOTIFY_ACTION_ADDED = 1;    // made, or moved in from elsewhere
static const unsigned NOTIFY_ACTION_REMOVED = 2;  // deleted, or moved elsewhere
static const unsigned NOTIFY_ACTION_MODIFIED = 3; // with a subtree watch, a folder
                                                   // gets one when an entry comes or goes
static const unsigned NOTIFY_ACTION_RENAMED_OLD = 4;
static const unsigned NOTIFY_ACTION_RENAMED_NEW = 5;

// File attributes, and the reparse tag bit of a link or junction (a name
// for another place); other reparse points (cloud placeholders) are files
// and folders of the tree itself.
static const uint32_t ATTRIBUTE_DIRECTORY = 0x10;
static const uint32_t ATTRIBUTE_REPARSE_POINT = 0x400;
static const uint32_t REPARSE_NAME_SURROGATE = 0x20000000;

enum entry_kind {
    ENTRY_GONE,   // nothing by that name now: it is handed on as a file
    ENTRY_FILE,
    ENTRY_FOLDER,
    ENTRY_LINK,   // a folder that is a link or junction: never walked
};

// What a folder's attributes and reparse tag make of it.
entry_kind kind_of_attributes(uint32_t attributes, uint32_t tag);

// What the walk asks of the platform. Names are units UTF-16LE code units,
// relative to the watched folder.
struct notify_seam {
    // A plain record's name as it is now (the extended layout says it).
    entry_kind (*kind_of)(void *context, const unsigned char *name, size_t units);
    // A name holding a ~ may hold short 8.3 names: writes its long form to
    // out (at most NOTIFY_NAME_UNITS units) and returns its length, or 0
    // when there is none (the file is gone, or the name is its own).
    size_t (*long_name)(void *context, const unsigned char *name, size_t units,
                        unsigned char *out);
    // A folder to walk, also named relative in UTF-8: whole when it came into
    // the tree (every file in it is new here), else it was renamed within
    // the tree (its files changed since the last drained moment have paths
    // no record names).
    void (*walk_folder)(void *context, const unsigned char *name, size_t units,
                        const char *relative, bool whole);
    void *context;
};

// Working storage of one watch, owned by its thread.
struct notify_scratch {
    unsigned char long_name[NOTIFY_NAME_UNITS * 2];
    char name[NOTIFY_NAME_BYTES];
};

// Hands every record of a change buffer of length bytes on, in order:
// - a file, or a name that is gone, to on_record as RECORD_CHANGE (or
//   RECORD_UNREPRESENTABLE when its name is not valid UTF-16), with
//   backslashes, under its long name where it had a short one;
// - a folder that was added or renamed to (the new name of a rename) to the
//   seam's walk_folder; other folder records, and links, to nothing: a folder
//   holds nothing to scan, and its files come with records or the walk.
// A plain record's kind is asked of the seam as it comes to be handled; the
// old name of a rename takes the kind of the new name that follows it.
// Length 0 is the platform's word that changes overflowed: RECORD_LOST.
// Nothing past length is read; a record that runs past it, or a buffer
// longer than any wait can return, ends the batch with RECORD_UNREADABLE.
void notify_walk(const unsigned char *buffer, size_t length, notify_layout layout,
                 notify_scratch *scratch, const notify_seam &seam, record_fn on_record,
                 void *context);

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
