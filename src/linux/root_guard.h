// Keeps the directory field honest: the field as written must go on naming
// the directory that is watched. A rename of a folder above the root, or a
// symbolic link on the way repointed, would otherwise have every change
// reported under a path where no such file is, and new folders left
// unwatched. So each folder on the way to the root (as written, and as the
// links resolve) is watched for moves and removals of the next name; when one
// comes, the field is looked up again and its identity compared.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "inotify_batch.h"

struct guard_step {
    int wd;           // the watched folder on the way
    const char *name; // the next name in it, not terminated
    size_t length;
};

struct root_guard {
    const char *field;
    dev_t device; // the root's identity when it was first watched
    ino_t inode;
    char *paths;  // the field and its resolved form, which the steps name into
    guard_step *steps;
    int step_count;
};

// Takes the root's identity and watches the folders on the way with the
// inotify instance fd. 0, or the errno of looking the field up. Folders
// that cannot be watched are passed over: the root's own watch still tells
// when the root itself moves or goes.
int guard_start(root_guard *guard, int fd, const char *field);
void guard_release(root_guard *guard);

// Whether a read of events holds one that may change what the field names.
bool guard_touched(const root_guard *guard, const event_batch *batch);

// 0 while the field names the watched root; else why not, as an errno.
int guard_check(const root_guard *guard);

// 0 while field names the folder device/inode; else why not (ENOENT for
// another one).
int guard_names(const char *field, dev_t device, ino_t inode);

// Blocks, without polling, until field names a folder, and gives its
// identity: the folders on the way are watched for the next name to be
// made, moved in or out or removed, and the field is looked at again at
// each such event. 0, or the errno of what failed.
int guard_wait(const char *field, dev_t *device, ino_t *inode);
