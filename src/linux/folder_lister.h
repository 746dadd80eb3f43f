// How the Linux layer opens and lists the folders of a watched tree: always
// from an open folder above (its parent, or the root with a relative path),
// never by a full path, and never through a link. A user who swaps a folder
// for a link to a folder they cannot read, while a walk is under way, finds
// the walk refuses the link instead of reading what it points to. The root
// alone, as the user named it, is followed if it is a link, and only while
// it is the folder that was watched. No folder is held open between walks:
// a watched filesystem can still be unmounted. Everything goes through
// lister_ops, so tests can fake the folders.
//
// Also the one clock margin of the layer: which status-change times count
// as changed since a mark.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct lister_ops {
    // The root as named, a link followed: an open folder, or null with
    // *error set.
    void *(*open_root)(void *context, const char *path, int *error);
    // The folder at relative (a name, or names joined by "/"; "" for from
    // itself) below the open folder from, or below the lister's root when
    // from is null, no link followed on the way: an open folder, or null
    // with *error set. ENOENT when nothing stands there (or the root is no
    // longer the folder watched), ENOTDIR when something other than a
    // folder does (a link among them).
    void *(*open_below)(void *context, void *from, const char *relative, int *error);
    // Starts listing an open folder: 0, or why it cannot be listed.
    int (*list)(void *context, void *folder);
    // The next entry other than "." and "..", or null at the end (or when
    // the folder is not being listed). A link is not a directory.
    const char *(*next_entry)(void *context, void *folder, bool *is_directory);
    // The status-change time of an entry (nanoseconds since the epoch), a
    // link's own; -1 when it is gone.
    int64_t (*changed_at)(void *context, void *folder, const char *name);
    void (*close)(void *context, void *folder);
    void *context;
};

// The root of a kernel lister: the field's path and the identity of the
// folder watched there.
struct kernel_root {
    const char *path;
    dev_t device;
    ino_t inode;
    bool component_walk; // below a folder one name at a time, even with openat2
};

// Takes the identity of the folder at path (a link followed): 0, or an errno.
int kernel_root_init(kernel_root *root, const char *path);

// The kernel's folders. Below a folder, openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS where the kernel has it, else one name at a time with
// O_NOFOLLOW.
lister_ops kernel_lister(kernel_root *root);
// A folder of the kernel lister for a descriptor the caller opened; the
// folder owns it from then on.
void *kernel_folder_adopt(int fd);
int kernel_folder_fd(void *folder);
// A path naming the open folder itself (/proc/self/fd/N), for calls that
// take nothing but a path: a watch is added on what was opened.
void kernel_folder_path(void *folder, char *out, size_t capacity);

// File-system clocks are coarse: a kernel's ticks in milliseconds, FAT's two
// seconds. A change made just before a mark can carry a time below it.
static const int64_t CLOCK_MARGIN_NS = 2000000000;

// Whether a file whose status changed at changed (nanoseconds since the
// epoch) is one to report for a mark at since (0: every file). Status-change
// time, never the modification time: setting a file's times back moves its
// ctime on, so a change cannot be hidden that way.
bool changed_since(int64_t changed, int64_t since);
