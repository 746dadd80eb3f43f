// A hard-linked file watched by its own inotify watch: a write through a
// name outside the watched tree reaches no folder's watch, only the file's.
// The kernel side of tree_ops.watch_linked, for the inotify reader and for
// the fanotify reader's inotify parts alike.
#pragma once

#include "linked_files.h"

// Looks at name in the open folder directory (of the kernel lister) without
// following a link; with watch, a regular file with more than one link is
// watched on the inotify instance fd, through the file as opened. Its watch
// descriptor, -1 when it is no such file (or watch is false), or -errno;
// *file says what stands there.
int inotify_watch_linked(int fd, void *directory, const char *name, bool watch, linked_stat *file);
