// Finding what changed in a lost window without a tree of watches: a walk of
// a directory tree that reports every file whose status-change time is at or
// after a mark. Status-change time (ctime), never the modification time:
// setting a file's times back moves its ctime on, so a change cannot be
// hidden from the walk that way.
#pragma once

#include <stdint.h>

#include "os.h"

// Hands a record on; false when it could not be queued.
typedef bool (*walk_record_fn)(void *context, const watch_record *record);

// File-system clocks are coarse: a kernel's ticks in milliseconds, FAT's two
// seconds. A change made just before a mark can carry a time below it.
static const int64_t CLOCK_MARGIN_NS = 2000000000;

// Whether a file changed at changed (nanoseconds since the epoch) is one to
// report for a mark at since (0: every file).
bool changed_since(int64_t changed, int64_t since);

// Walks root (followed if it is a symbolic link; nothing below it is) and
// reports each file changed since the mark as RECORD_CHANGE, its path
// relative to root, or RECORD_UNREPRESENTABLE when that path is too long; a
// folder that cannot be listed is named by RECORD_UNWATCHED. Returns false
// when a record was dropped (the caller keeps its mark and walks again
// later) or memory ran out.
bool walk_changed(const char *root, int64_t since, walk_record_fn on_record, void *context);
