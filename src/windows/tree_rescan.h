// Rescanning a watched tree after a wait lost its records: every file whose
// times say it changed since the last wait that returned is handed on as a
// change. Plain code over the platform's folder listings (FILE_FULL_DIR_INFO
// records, little-endian), which arrive through rescan_folders, so it builds
// and is tested on every platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "long_paths.h"
#include "os.h"

// A UTF-16 code unit of a path the platform opens.
#ifdef _WIN32
typedef wchar_t path_unit;
#else
typedef char16_t path_unit;
#endif

// Folders held open at once, the watched one included: one per level of the
// walk, each with its listing buffer. With the relative path the state is
// about 230 KiB, allocated with the watch, and the walk never allocates. A
// folder deeper than this is not rescanned; the failed-watch line names it.
static const size_t RESCAN_DEPTH = 64;
// Each listing call fills this much; it holds at least one record with the
// longest name a folder entry can have (255 units).
static const size_t RESCAN_LISTING_SIZE = 2048;

// File times are 100 ns ticks since 1601 (FILETIME). A file counts as
// changed in the window when a time of it is at most this much before the
// window's start: FAT keeps last-write times in 2 s steps, and the start is
// read as the wait returns, a little after the platform began gathering.
static const uint64_t RESCAN_MARGIN = 2 * 10000000ull;

// One listing record: these fields, then FileNameLength bytes of UTF-16LE.
static const size_t LISTING_NEXT = 0;
static const size_t LISTING_CREATION_TIME = 8;
static const size_t LISTING_LAST_WRITE_TIME = 24;
static const size_t LISTING_CHANGE_TIME = 32;
static const size_t LISTING_ATTRIBUTES = 56;
static const size_t LISTING_NAME_BYTES = 60;
static const size_t LISTING_REPARSE_TAG = 64; // EaSize, which holds it for a reparse point
static const size_t LISTING_HEADER_SIZE = 68;

enum listing_result { LISTING_MORE, LISTING_END, LISTING_FAILED };

// How folders are opened and listed. open returns null and sets error when
// the folder cannot be opened; it follows a link only where follow is set,
// for the watched folder itself, which was followed when it was watched.
// list fills buffer (size bytes) with the next records, the last with
// NextEntryOffset 0, or sets error when it fails.
struct rescan_folders {
    void *(*open)(void *context, const path_unit *path, bool follow, unsigned long *error);
    listing_result (*list)(void *context, void *folder, unsigned char *buffer, size_t size,
                           unsigned long *error);
    void (*close)(void *context, void *folder);
    void *context;
};

struct rescan_level {
    void *folder;
    size_t offset;         // the next record in listing; its size when all taken
    size_t path_units;     // the path's length down to this folder
    size_t relative_bytes; // the relative path's length down to this folder
    bool exact;            // every name down to here converted exactly
    alignas(8) unsigned char listing[RESCAN_LISTING_SIZE];
};

// A folder's relative path in UTF-8 takes at most 3 bytes per unit of its
// path, which fits LONG_PATH_UNITS; one separator and name more always fit.
static const size_t RESCAN_RELATIVE_BYTES = (LONG_PATH_UNITS + RESCAN_LISTING_SIZE / 2) * 3 + 2;

// Working storage of one watch's rescans, owned by its thread.
struct rescan_state {
    rescan_level levels[RESCAN_DEPTH];
    char relative[RESCAN_RELATIVE_BYTES];
    char detail[64];
};

// Walks the tree at path (root_units units in a buffer of capacity; names
// are put after them while the walk runs, and the terminator put back at the
// end), which is the watched folder when relative is "", else the folder
// below it that relative names (UTF-8, backslashes). Hands on_record, in
// listing order, depth first:
// - RECORD_CHANGE for every file (anything but a folder) whose creation,
//   last-write or change time is at or after since less RESCAN_MARGIN (since
//   0: every file), its path relative to the watched folder with
//   backslashes, or RECORD_UNREPRESENTABLE when a name on that path is not
//   valid UTF-16;
// - RECORD_UNWATCHED for a folder that is not rescanned (it cannot be opened
//   or listed, its listing cannot be read, its path is too long, or it is
//   deeper than RESCAN_DEPTH below path), with why.
// Folders that are links or junctions are not followed, nor reparse points
// whose tag is not given (Wine gives none); nor is the folder at path when
// relative is not "".
void rescan_tree(rescan_state *state, path_unit *path, size_t root_units, size_t capacity,
                 const char *relative, uint64_t since, const rescan_folders &folders,
                 record_fn on_record, void *context);
