// The parts of a fanotify reader's field on filesystems that refuse its
// mark (a FUSE, ramfs or overlay mount inside the field): each watched the
// inotify reader's way, by a tree of its own rooted at its mount point on an
// inotify instance of its own, its records handed on with the mount's path
// in front. The folders on the way to each mount point are guarded as the
// field's are: a rename that moves a part gives it up before any record
// names a path it no longer has, and the reader reads the mount table
// again, which finds the mount where it went.
#pragma once

#include <poll.h>
#include <stdint.h>

#include "capacities.h"
#include "inotify_tree.h"
#include "record_queue.h"
#include "root_guard.h"

// Parts watched so at once, at most; one more is named as not watched.
static const int SUBTREES = 16;

struct subtree {
    int mount_id;
    int fd;          // its inotify instance
    char *relative;  // own allocation: the mount point below the field's root
    char *point;     // own allocation: the mount point, absolute
    kernel_root lister_root;
    root_guard guard;
    watch_tree tree;
    bool tree_started;
    int64_t empty_at;      // when its instance was last found empty (ns since the epoch)
    int64_t empty_scanned; // the queue's drained mark then
};

struct subtrees {
    record_queue *queue;
    subtree *items[SUBTREES];
    int count;
    bool moved;           // a part was moved: the mount table is to be read again
    unsigned long walked; // records handed over by walks for lost changes
    subtree *current;     // the part whose records are being handed on
    unsigned char *events; // one read
    event_batch batch;     // ... parsed
    char path[PATH_CAPACITY]; // a record's path, the part's in front
};

void subtrees_init(subtrees *parts, record_queue *queue);

// Watches the mount mount_id, at point (absolute) and relative below the
// field's root, with inotify; what cannot be watched is named by a line.
void subtrees_add(subtrees *parts, int mount_id, const char *point, const char *relative);

// The mount went: its part, if any, is given up.
void subtrees_remove(subtrees *parts, int mount_id);

// Fills fds with each part's instance, for POLLIN; how many.
int subtrees_poll_fds(const subtrees *parts, pollfd *fds);

// Whether a part still lists folders for hard-linked files already there.
bool subtrees_listing(const subtrees *parts);
// Milliseconds until a part wants a check it put off or lists on (0), or -1.
int subtrees_timeout(const subtrees *parts);

// The earliest time a change not yet read from a part may have been made,
// or since if later: a mark of the record queue must not pass it.
int64_t subtrees_mark(const subtrees *parts, int64_t since);

// Handles what poll found on the parts' instances (fds as filled, polled
// at polled_at, when the queue's drained mark was polled_scanned: both
// taken before the poll); reader_since: the reader's own mark. A part whose
// root went (unmounted) or moved is given up.
void subtrees_handle(subtrees *parts, const pollfd *fds, int count, int64_t polled_at,
                     int64_t polled_scanned, int64_t reader_since, bool timed_out);

// Whether a part has folders with dropped records; subtrees_report_dirty
// reports them once the watcher has taken what is queued.
bool subtrees_dirty(const subtrees *parts);
void subtrees_report_dirty(subtrees *parts);

void subtrees_release(subtrees *parts);
