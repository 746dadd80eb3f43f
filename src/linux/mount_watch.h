// The mounts inside a watched tree, for both readers: which came and went
// since the mount table was last read (the reader polls the table for
// POLLPRI), where what a path shows changed because of them, and which
// filesystems take changes that never pass through this kernel. A mount
// over a folder hides its files and shows others; an unmount shows them
// again: either way the reader lists the point anew, as a folder moved in.
#pragma once

#include <stddef.h>

enum mount_change {
    MOUNT_ADDED,   // a mount at relative, of type (at start: the root's own, relative "")
    MOUNT_REMOVED, // the mount at relative went
    MOUNT_SHOWN,   // what shows at relative changed: none told is below another
};

struct mount_event {
    mount_change change;
    const char *relative; // the mount point below the root, "" for the root itself
    const char *point;    // ... and absolute
    const char *type;     // MOUNT_ADDED's
    int id;               // the mount's number, -1 for the root's own and MOUNT_SHOWN
};

typedef void (*mount_change_fn)(void *context, const mount_event *event);

// A mount below the root as last seen. A mount is known by its number, its
// filesystem's device and its point: the kernel hands a number out again.
struct field_mount {
    int id;
    char *device; // own allocation
    char *point;  // own allocation, absolute
    char *type;   // own allocation
};

struct mount_watch {
    const char *root; // absolute, links resolved
    size_t root_length;
    field_mount *items;
    int count;
    int capacity;
    char *text; // the table as last read
    size_t text_capacity;
    const char **shown; // points told as shown in an update
    int shown_count;
    int shown_capacity;
    bool started; // the first table was taken: later ones tell what shows anew
};

// Whether changes on a filesystem of this type can be made where no event
// of this kernel sees them: network and cluster filesystems, and FUSE.
bool mount_type_remote(const char *type);

// The type of the mount that shows path, from a table's text (cut into
// lines here): the one numbered id, or with id -1 (a kernel that does not
// say) the last one whose point is the longest that holds path. Null when
// none is found.
const char *mount_type_of(char *table, const char *path, int id);

// Takes the mounts below the root of a table's text (cut here): the first
// time each is told as added; later each mount that went is told, then
// each that came, then each point where what shows changed. False when memory ran out
// (what is known stays as it was).
bool mount_watch_apply(mount_watch *watch, char *table, mount_change_fn on_change, void *context);

// Starts watch for root (absolute, links resolved) and reads
// /proc/self/mountinfo: the root's own mount is told as added, then each
// one below it. False when the table cannot be read.
bool mount_watch_start(mount_watch *watch, const char *root, mount_change_fn on_change,
                       void *context);

// Reads the table again, after it polled as changed, and tells what changed.
bool mount_watch_update(mount_watch *watch, mount_change_fn on_change, void *context);

void mount_watch_release(mount_watch *watch);
