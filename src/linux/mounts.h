// The filesystems a fanotify reader marks: the root's own, and each one
// mounted below the root, at start (from /proc/self/mountinfo) and whenever
// the mount table changes. One mark per filesystem sees every change on it;
// the events name the filesystem, and a mount point of it is where its
// handles are opened.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "os.h"

// One line of /proc/self/mountinfo, its paths unescaped in place.
struct mount_entry {
    int id;
    const char *device; // major:minor of the filesystem
    const char *root;   // the folder of the filesystem the mount shows
    const char *point;  // where it is mounted
    const char *type;   // the filesystem's type, "fuse.NAME" for a FUSE one that names itself
};

// Parses one line (without its newline) in place; false when malformed.
bool mount_parse_line(char *line, mount_entry *entry);

// Reads the whole mount table into *text, grown as needed; false when it
// cannot be read.
bool mount_table_read(char **text, size_t *capacity);

// Whether path is the top of its filesystem: a mount point that shows the
// whole filesystem.
bool mount_is_top(const char *path);

struct marked_fs {
    uint64_t fsid;
    char *point; // own allocation: a mount point of it (the root for the first)
    bool seen;   // in the mount table at the last update
};

struct fs_marks {
    int fan_fd;
    uint64_t mask;
    const char *root; // absolute, links resolved
    size_t root_length;
    marked_fs *items;
    int count;
    int capacity;
    char *text; // the mount table as last read
    size_t text_capacity;
};

// Marks the filesystem of root, which names the watched folder; 0, or the
// errno of the refused mark.
int marks_start(fs_marks *marks, int fan_fd, uint64_t mask, const char *root);

// Marks each filesystem mounted below the root that is not marked yet, and
// names each that refuses its mark as a folder that cannot be watched.
// Forgets the mounts that are gone. True when a mount came or went.
bool marks_update(fs_marks *marks, record_fn on_record, void *context);

// A mount point of the marked filesystem fsid, or null.
const char *marks_point(const fs_marks *marks, uint64_t fsid);

void marks_release(fs_marks *marks);

// Why fanotify refused a group or a mark, for the line that names it.
const char *mark_refusal(int error);
