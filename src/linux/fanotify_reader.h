// The fanotify reader of one watch: one mark per filesystem under the root
// sees every change there as it happens, so set-up takes milliseconds at any
// size, no watch limit applies and no new folder can be missed. On a thread
// of its own it reads the kernel's events, filters those outside the root
// and those of the monitor's own processes, and queues a record for each
// change, its path resolved as it was when the event happened. The watcher
// above only takes records from the queue, as from the inotify reader.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "capacities.h"
#include "deep_folders.h"
#include "fanotify_events.h"
#include "fanotify_ignores.h"
#include "fanotify_subtrees.h"
#include "folder_lister.h"
#include "fanotify_links.h"
#include "mount_watch.h"
#include "mounts.h"
#include "record_queue.h"
#include "remote_walks.h"
#include "root_guard.h"

// A folder known by its handle, found again where it stands when needed,
// and a mark (nanoseconds since the epoch) that goes with it.
struct marked_folder {
    uint64_t fsid;
    int32_t type;
    uint32_t size;
    unsigned char bytes[128]; // MAX_HANDLE_SZ
    int64_t since;
};

// Folders renamed within the tree, each to be walked for what changed in it
// since its mark once the watcher has taken what is queued, where it stands
// then. Beyond this many the whole tree is walked instead.
static const int PENDING_WALKS = 64;

// Folders that arrived from outside the tree, each kept with the queue's
// mark when it was walked for every file: until every change before a later
// mark was scanned, its files may still wait for their scan, under names a
// rename may since have taken from them (their times say nothing: they came
// in unchanged). A renamed folder that is one of these, or lies above or
// below one, has all its files reported again. Beyond this many, every
// renamed folder does until they are scanned.
static const int ARRIVALS = 64;

struct fanotify_reader {
    const char *directory; // the field as written
    record_queue *queue;
    int fd;       // the fanotify group
    int guard_fd; // inotify: the folders on the way to the root, and the root
    int root_wd;
    event_batch guard_batch; // one read of guard_fd, parsed
    int table_fd; // the mount table, which polls as changed
    root_guard guard;
    fs_marks marks;
    mount_watch mounts;  // what is mounted below the root, for what shows there
    remote_walks remote; // parts whose changes can come from elsewhere
    bool folders_moved;  // since the mount table was last read
    subtrees parts;      // mounts inside that refuse the mark, watched with inotify
    fan_translator translator;
    ignore_marks ignores; // folders outside whose changes the kernel drops
    deep_folders deep;
    link_walk links; // folders still to list for hard-linked files
    unsigned char *events;
    size_t length;
    pid_t own_pid;
    int64_t empty_at;         // when the last read that found the kernel's queue
                              // empty began, in nanoseconds since the epoch
    int64_t dirty_since;      // changes lost since then: the tree to walk; -1 for none
    // The queue's drained mark (queue_drained_since) when the read of
    // empty_at began: when a folder was renamed by an event read since,
    // every change before it had been scanned.
    int64_t empty_scanned;
    marked_folder pending[PENDING_WALKS];
    int pending_count;
    marked_folder arrivals[ARRIVALS]; // since: the mark when it was walked
    int arrival_count;
    int64_t arrivals_lost; // the latest mark of one that found no room; -1 for none
    // The earliest mark of a renamed folder that found no room (-1 for
    // none): the arrivals since are walked again whole, with the tree.
    int64_t renames_lost;
    kernel_root lister_root;  // walks start below it
    lister_ops lister;
    unsigned long walked;     // records handed over by walks
    bool abandoned;           // the watcher gave the watch up during a walk
    bool open_pidfds;         // the batch holds descriptors of processes still open
    dev_t root_device;        // the root's identity, for folders too deep to name
    ino_t root_inode;
    char root[PATH_CAPACITY]; // the field, absolute, links resolved
    char walk_path[PATH_CAPACITY]; // a renamed folder's path now
};

// Sets the watch up: 0, or the errno of what failed, with nothing queued and
// nothing left behind; *refusal says why when fanotify itself refused.
int fanotify_set_up(fanotify_reader *reader, const char *directory, record_queue *queue,
                    const char **refusal);

// Reads and translates until the watch ends, then releases everything; why
// it ended. The queue is left to the caller; dirty_since is what is still
// owed to it. Runs on the reader's thread.
int fanotify_follow(fanotify_reader *reader);
