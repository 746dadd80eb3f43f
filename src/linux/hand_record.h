// How the Linux layer's parts hand a record on toward the watcher.
#pragma once

#include <string.h>

#include "os.h"

// Hands a record on; false when it could not be queued (it was dropped, and
// its caller owes it: a dirty folder, a walk's mark kept).
typedef bool (*hand_record_fn)(void *context, const watch_record *record);

// The one answer when a changed file's or an unwatched folder's path does
// not fit a line: the record names its last name alone (length bytes,
// copied into out, cut to fit), with the kind that says no path names it
// whole. kind is RECORD_CHANGE or RECORD_UNWATCHED.
inline watch_record last_name_record(record_kind kind, const char *name, size_t length, char *out,
                                     size_t capacity, const char *detail) {
    size_t n = length < capacity - 1 ? length : capacity - 1;
    memmove(out, name, n);
    out[n] = '\0';
    record_kind said = kind == RECORD_CHANGE ? RECORD_UNREPRESENTABLE : RECORD_UNWATCHED_UNREPRESENTABLE;
    return watch_record{said, out, detail};
}
