// The detector's file on POSIX systems: looked at, opened without following
// a link, confirmed to be what was looked at, and read range by range of
// data, holes skipped.
#include "target.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A link is not followed (a planted one could lead anywhere); a FIFO swapped
// in after the look must not block the scan.
const int OPEN_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

const char *path;
int fd = -1;
off_t offset;    // where the next read starts
off_t data_end;  // where the data range being read ends
bool ranges = true; // the file system tells data from holes

bool gone(int error) { return error == ENOENT || error == ENOTDIR; }

// Moves offset to the next range of data; false when only a hole (or
// nothing) is left. *skipped: a hole lay before it.
bool next_data(bool *skipped) {
    off_t data = ranges ? lseek(fd, offset, SEEK_DATA) : offset;
    if (data < 0 && errno == ENXIO) return false; // nothing but a hole up to the end
    if (data < 0) {
        // No ranges here (as in /proc): everything up to the end is data.
        ranges = false;
        data = offset;
    }
    off_t hole = ranges ? lseek(fd, data, SEEK_HOLE) : -1;
    *skipped = data > offset;
    offset = data;
    data_end = hole > data ? hole : static_cast<off_t>(-1);
    return true;
}

} // namespace

const char *target_argument(int argc, char **argv) {
    path = argc == 2 ? argv[1] : nullptr;
    return path;
}

target_state target_open(char *reason, size_t capacity) {
    // Looked at first: opening a device or a FIFO can itself act (a tape
    // rewinds, a writer is let through), so only a regular file is opened.
    struct stat seen;
    int error = lstat(path, &seen) == 0 ? 0 : errno;
    if (!error && !S_ISREG(seen.st_mode)) return TARGET_NOT_REGULAR;
    if (!error) {
        fd = open(path, OPEN_FLAGS);
        error = fd < 0 ? errno : 0;
    }
    if (error) {
        if (gone(error)) return TARGET_GONE;
        if (error == ELOOP) return TARGET_NOT_REGULAR; // a link took its place
        snprintf(reason, capacity, "cannot open (%s)", strerror(error));
        return TARGET_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != seen.st_dev ||
        st.st_ino != seen.st_ino) {
        // Replaced between the look and the open: what was looked at is gone
        // from that name, and what took its place is a change of its own.
        target_close();
        return TARGET_GONE;
    }
    offset = 0;
    data_end = 0;
    return TARGET_OPEN;
}

long target_read(char *buffer, size_t size, bool *after_hole, char *reason, size_t capacity) {
    *after_hole = false;
    if (offset >= data_end && data_end >= 0 && !next_data(after_hole)) return 0;
    if (data_end >= 0 && static_cast<off_t>(size) > data_end - offset) {
        size = static_cast<size_t>(data_end - offset);
    }
    for (;;) {
        ssize_t got = pread(fd, buffer, size, offset);
        if (got >= 0) {
            offset += got;
            // Cut short: the file ended before its range did.
            if (got == 0) data_end = offset;
            return static_cast<long>(got);
        }
        if (errno == EINTR) continue;
        snprintf(reason, capacity, "cannot read (%s)", strerror(errno));
        return -1;
    }
}

void target_close() {
    close(fd);
    fd = -1;
}
