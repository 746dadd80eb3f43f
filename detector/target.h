// The file the reference detector is given, reached through the platform's
// own calls: one implementation file per platform.
#pragma once

#include <stddef.h>

enum target_state {
    TARGET_OPEN,        // open for reading
    TARGET_GONE,        // no such file (any more)
    TARGET_NOT_REGULAR, // a folder, device or pipe: nothing to scan
    TARGET_FAILED,      // cannot be opened; the reason says why
};

// The one argument, as text for the verdict line. Null unless the command
// line holds exactly one.
const char *target_argument(int argc, char **argv);

// Opens the argument. The reason is written on TARGET_FAILED.
target_state target_open(char *reason, size_t capacity);

// Reads up to size bytes of what the file holds, from where the last read
// ended: the count, 0 at the end, or -1 with the reason written. Holes
// (ranges never written, which read as zeros) are skipped, not read, so a
// sparse file of any size is scanned in the time its data takes;
// *after_hole says that one was skipped before these bytes.
long target_read(char *buffer, size_t size, bool *after_hole, char *reason, size_t capacity);

void target_close();
