// Folders too deep for any path (the kernel names none beyond PATH_MAX), for
// the fanotify reader: whether one lies below the root, found by climbing
// its parents a thousand levels per step, and each answer kept per folder
// handle in a small bounded cache, so that the events of a deep folder cost
// a climb only once. The reader forgets the answers whenever a folder may
// have moved into or out of the root (a folder outside can be moved inside
// with everything below it), and when mounts or events were lost.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "fanotify_records.h"
#include "handle_slots.h"

// 512 folders: 64 sets of 8, a full set giving up its least recently used.
static const size_t DEEP_SETS = 64;
static const size_t DEEP_WAYS = 8;

struct deep_slot {
    handle_key key;
    bool below;
};

struct deep_folders {
    deep_slot slots[DEEP_SETS * DEEP_WAYS];
    uint32_t clock;
    unsigned long moves; // the translator's edge_moves when last forgotten
};

// Whether the folder open at fd (closed here), whose path does not fit,
// lies below the root (root, absolute and resolved, is device and inode):
// followed up at most hops steps. One deeper than that, or that cannot be
// followed up, is taken as below: its changes are named rather than lost.
bool deep_below(const char *root, dev_t device, ino_t inode, int fd, int hops);

// 1 when handle was found below the root, 0 when not, -1 when not known.
int deep_find(deep_folders *folders, const fan_handle &handle);
// Keeps the answer for handle (a handle too long to keep is not kept).
void deep_put(deep_folders *folders, const fan_handle &handle, bool below);
void deep_forget(deep_folders *folders);
