// The periodic walks of a watch: the parts of its tree on filesystems whose
// changes can be made where no event of this kernel sees them (network,
// cluster, FUSE; mount_type_remote), each walked every
// MONITOR_RESCAN_SECONDS for the files whose status-change time is at or
// after the start of its last walk, less the clock margin. Changes made
// through this kernel keep coming from the reader. The reader runs the
// walks from its own loop, one after another: a walk still running when
// the next is due is never started twice.
#pragma once

#include <stdint.h>

#include "changed_walk.h"
#include "folder_lister.h"

struct remote_tree {
    char *relative; // own allocation: below the watched root, "" for the root
    int64_t since;  // the start of its last walk (ns since the epoch)
    int mount_id;   // its mount's number, -1 for the root's own
    bool told;      // its line was queued
    char type[40];  // its filesystem's type, as the line names it
};

struct remote_walks {
    unsigned interval; // seconds; 0: no walks
    remote_tree *items;
    int count;
    int capacity;
    int64_t due; // when the next walk starts (CLOCK_MONOTONIC, ns)
    char detail[160];
};

void remote_start(remote_walks *walks, unsigned interval_seconds);

// The mount mount_id (-1: the root's own) at relative, of type: when the
// type is remote, walked from now on (with an interval), and named by
// remote_tell. Without memory to keep it, a line says so at once.
void remote_mount_added(remote_walks *walks, const char *relative, const char *type, int mount_id,
                        hand_record_fn on_record, void *context);

// Names each part not named yet by a line (RECORD_UNWATCHED): changes made
// elsewhere are found by a walk every so often, or not at all without an
// interval. Called once the reader is set up, and after each mount found:
// a reader that gives its field up at set-up has said nothing.
void remote_tell(remote_walks *walks, hand_record_fn on_record, void *context);

// The mount mount_id went: it is walked no more. (Each mount below it that
// went with it is told on its own; one mounted over it, when it goes, is
// not this one.)
void remote_mount_removed(remote_walks *walks, int mount_id);

// Milliseconds until the next walk is due (0: now), or -1 for none.
int remote_wait_ms(const remote_walks *walks);

// Walks each part due, opened below lister's root; what changed since its
// last walk is handed to on_record. A part whose records could not all be
// handed over keeps its mark, so the next walk covers its window again.
// True when a part was not found where it was mounted: a folder above it
// may have been renamed, which the mount table shows but does not signal,
// so the caller reads the table again.
bool remote_walk_due(remote_walks *walks, const lister_ops *lister, hand_record_fn on_record,
                     void *context);

void remote_release(remote_walks *walks);
