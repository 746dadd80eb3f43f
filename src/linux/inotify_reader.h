// The inotify reader of one watch. On a thread of its own it takes the
// kernel's events as they come, keeps the watched tree current at once
// (new folders watched and listed, renames followed, what left forgotten)
// and queues a record for each change, its path resolved when its event was
// read. The watcher above only takes records from the queue; so however
// long a detection takes, the tree is never older than one kernel read.
#pragma once

#include "capacities.h"
#include "inotify_tree.h"
#include "mount_watch.h"
#include "record_queue.h"
#include "remote_walks.h"
#include "root_guard.h"

struct inotify_reader {
    const char *directory;
    record_queue *queue;
    int fd;
    watch_tree tree;
    kernel_root lister_root; // directories are opened below it
    root_guard guard;
    unsigned char *events; // one kernel read
    event_batch batch;     // ... parsed
    int64_t empty_at;      // when the last read that emptied the kernel's queue began (ns since the epoch)
    int64_t empty_scanned; // the queue's drained mark then (queue_drained_since)
    unsigned long walked;  // records handed over by walks for lost changes
    bool may_switch;    // set-up may give the field up at the watch limit
    bool limit_reached; // it did: every watch asked for since is refused
    bool followed;      // set-up finished and events were followed
    // Every file changed since then (nanoseconds since the epoch; 0 for every
    // file) is owed to the watcher, once it has taken what is queued; -1 for
    // none. Left set when the walk could not hand everything over.
    int64_t catch_up_since;
    int table_fd;       // the mount table, which polls as changed
    bool mounts_followed; // the table could be read at set-up
    mount_watch mounts; // what is mounted below the root
    remote_walks remote; // parts whose changes can come from elsewhere
    lister_ops lister;  // folders opened below lister_root, for those walks
    char real_root[PATH_CAPACITY]; // the root, absolute, links resolved
};

// Runs the reader on the calling thread until the watch ends, with *ended
// saying why (or why set-up failed); the queue is left to the caller. From
// the start it owns everything above but the queue, which it shares with the
// watcher. With catch_up_since (not -1), every file changed since then is
// reported once set-up is done. With may_switch, a set-up that reaches the
// watch limit is undone instead (the lines naming the limit left out) and
// false returned: the caller watches the field another way.
bool inotify_run(inotify_reader *reader, const char *directory, record_queue *queue,
                 bool may_switch, int64_t catch_up_since, int *ended);
