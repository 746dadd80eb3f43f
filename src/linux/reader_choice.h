// Which reader watches a field, and the thread it runs on. fanotify where it
// clearly wins: the field is the top of its filesystem (the mark sees
// nothing but the field's own changes); its filesystem holds more inodes
// than inotify has watches, or does not count them (the tree may not fit,
// and walking it with inotify until the limit stops the walk costs seconds
// before the switch; ignore marks keep writers elsewhere cheap); or inotify
// reaches its watch limit during set-up all the same (then the field
// switches to fanotify instead of leaving folders unwatched). Each needs
// CAP_SYS_ADMIN, Linux 5.17 and a filesystem that takes the mark.
// Everywhere else inotify.
// MONITOR_BACKEND=inotify or =fanotify forces one; fanotify refused is named
// by the line of a folder that cannot be watched, then inotify watches.
//
// The thread outlives a watch: when the field stops naming the watched folder
// (renamed away, deleted, replaced), it waits for the field to name a folder
// again and watches that, so a folder that comes back is watched again.
#pragma once

#include <pthread.h>

#include "fanotify_reader.h"
#include "inotify_reader.h"
#include "record_queue.h"

struct watch_reader {
    const char *directory;
    record_queue *queue;
    inotify_reader inotify;
    fanotify_reader fanotify;
    pthread_t thread;
    bool started;
};

// Starts the reader's thread; false when it cannot be started.
bool watch_reader_start(watch_reader *reader, const char *directory, record_queue *queue);

// Waits for the reader's thread, if it started, once the queue said it ended.
void watch_reader_join(watch_reader *reader);
