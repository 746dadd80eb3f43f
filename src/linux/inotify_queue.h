// How many bytes of events an inotify instance holds, unread: 0 when the
// kernel's queue is empty.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>

inline size_t inotify_queued_bytes(int fd) {
    int pending = 0;
    // Unknown counts as more than any read: nothing is trusted early.
    if (ioctl(fd, FIONREAD, &pending) != 0) return SIZE_MAX / 2;
    return static_cast<size_t>(pending);
}
