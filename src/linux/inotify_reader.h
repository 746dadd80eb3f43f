// The inotify reader of one watch. On a thread of its own it takes the
// kernel's events as they come, keeps the watched tree current at once
// (new folders watched and listed, renames followed, what left forgotten)
// and queues a record for each change, its path resolved when its event was
// read. The watcher above only takes records from the queue; so however
// long a detection takes, the tree is never older than one kernel read.
#pragma once

#include <pthread.h>

#include "inotify_tree.h"
#include "record_queue.h"
#include "root_guard.h"

struct inotify_reader {
    const char *directory;
    record_queue *queue;
    int fd;
    watch_tree tree;
    root_guard guard;
    unsigned char *events; // one kernel read
    int64_t read_started;  // when the last read began, in nanoseconds since the epoch
    pthread_t thread;
    bool started;
};

// Starts the reader's thread; from then on it owns everything above but the
// queue, which it shares with the watcher. False when the thread cannot be
// started.
bool reader_start(inotify_reader *reader, const char *directory, record_queue *queue);

// Waits for the reader's thread, if it started, once the queue said it ended.
void reader_join(inotify_reader *reader);
