// The detector's file on POSIX systems: open, fstat and read.
#include "target.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A FIFO must not block the scan.
const int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

const char *path;
int fd = -1;

} // namespace

const char *target_argument(int argc, char **argv) {
    path = argc == 2 ? argv[1] : nullptr;
    return path;
}

target_state target_open(char *reason, size_t capacity) {
    fd = open(path, OPEN_FLAGS);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return TARGET_GONE;
        snprintf(reason, capacity, "cannot open (%s)", strerror(errno));
        return TARGET_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        target_close();
        return TARGET_NOT_REGULAR;
    }
    return TARGET_OPEN;
}

long target_read(char *buffer, size_t size, bool *, char *reason, size_t capacity) {
    for (;;) {
        ssize_t got = read(fd, buffer, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        snprintf(reason, capacity, "cannot read (%s)", strerror(errno));
        return -1;
    }
}

void target_close() {
    close(fd);
    fd = -1;
}
