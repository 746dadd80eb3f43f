// Watching and listing directories: set-up, directories that appear, the
// retry of work whose path did not hold, and the rescan after lost events.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tree_nodes.h"

enum list_mode {
    LIST_SETUP,    // the tree as it stands at start: its files are not changes
    LIST_ARRIVED,  // a directory that appeared: every file in it is a change
    LIST_RESCAN,   // after lost events: watch everything again
    LIST_MISSED,   // a directory that was missed: only the subdirectories it lacks
    LIST_CREATED,  // a directory created: as arrived, but never one the tree knew
    LIST_MOVED_IN, // a directory moved in from outside: all of it again, even if known
    LIST_MOUNTED,  // what a mount shows, or an unmount uncovers: as arrived, unless known
};

// The events of files in a watched folder that are changes, and the masks
// of the watches the tree adds.
extern const uint32_t FILE_EVENTS;
extern const uint32_t DIRECTORY_MASK;
extern const uint32_t ROOT_MASK;

// Whether node's directory still stands at the path the tree knows for it.
bool rewatch_confirms(watch_tree *t, int node);

// Watches the directory at t->path (built by build_system_path), opened
// below the root; or, given in (its parent, open), its last name (length
// bytes) below in. Its watch descriptor, or -errno; with kept, a directory
// watched stays open there.
int watch_path(watch_tree *t, void *in, size_t length, void **kept);
// Watches the root as the field names it, a link followed: its watch
// descriptor, or -errno.
int watch_root(watch_tree *t);

// Watches directory name below parent and queues it for listing as mode
// says. check_parent: name comes from an event read after the fact, so
// parent's path may be another directory's by now. in: parent's directory,
// open, when name was found by listing it.
void add_directory(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                   list_mode mode, bool check_parent, void *in);

// Lists every queued directory, watching the directories inside; files in a
// directory that arrived are reported.
void list_queued(watch_tree *t, const sink &s, list_mode mode);

// A directory that appeared, watched and listed with everything below it.
void directory_arrived(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                       list_mode mode);

// Whether node stands where the tree has it, holding exactly the
// subdirectories the tree has below it. Meant for when nothing is queued.
bool verify_directory(watch_tree *t, int node);

// Tries the flagged work again, now that more events were read.
void retry_flagged(watch_tree *t, const sink &s);

// Reports the files of dirty folders changed since their marks.
void report_dirty(watch_tree *t, const sink &s);

// After lost events the kernel's view is the only truth: watch what is
// there, forget what is not. ENOENT when the root is gone or replaced.
int rescan(watch_tree *t, const sink &s);
