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
#include "fanotify_events.h"
#include "fanotify_links.h"
#include "mounts.h"
#include "record_queue.h"
#include "root_guard.h"

struct fanotify_reader {
    const char *directory; // the field as written
    record_queue *queue;
    int fd;       // the fanotify group
    int guard_fd; // inotify: the folders on the way to the root, and the root
    int root_wd;
    int table_fd; // the mount table, which polls as changed
    root_guard guard;
    fs_marks marks;
    fan_translator translator;
    link_walk links; // folders still to list for hard-linked files
    unsigned char *events;
    size_t length;
    pid_t own_pid;
    unsigned long drained_at; // detectors_ended() at the last empty read
    int64_t empty_at;         // when that read began, in nanoseconds since the epoch
    int64_t dirty_since;      // changes lost since then: the tree to walk; -1 for none
    unsigned long walked;     // records handed over by walks
    bool abandoned;           // the watcher gave the watch up during a walk
    dev_t root_device;        // the root's identity, for folders too deep to name
    ino_t root_inode;
    char root[PATH_CAPACITY]; // the field, absolute, links resolved
    char walk_path[PATH_CAPACITY];
};

// Sets the watch up: 0, or the errno of what failed, with nothing queued and
// nothing left behind; *refusal says why when fanotify itself refused.
int fanotify_set_up(fanotify_reader *reader, const char *directory, record_queue *queue,
                    const char **refusal);

// Reads and translates until the watch ends, then releases everything and
// ends the queue. Runs on the reader's thread.
void fanotify_follow(fanotify_reader *reader);
