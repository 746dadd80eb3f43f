// The climb of a folder too deep for a path, and the answers kept.
#include "deep_folders.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capacities.h"

namespace {

// Levels climbed by one open: "../" that many times fits in one path.
const int HOP = 1024;

bool same(int fd, dev_t device, ino_t inode) {
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// The folder levels (1 to HOP) above fd, opened; -1 when it cannot be.
int up(int fd, int levels) {
    char path[HOP * 3];
    for (int i = 0; i < levels; i++) memcpy(path + 3 * i, "../", 3);
    path[3 * levels - 1] = '\0';
    return openat(fd, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// fd's path into out[capacity] when it fits: its length; else -1.
ssize_t path_of(int fd, char *out, size_t capacity) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, capacity);
    if (n < 0 || static_cast<size_t>(n) >= capacity) return -1;
    out[n] = '\0';
    return n;
}

// The number of names in an absolute path ("/" has none).
int depth_of(const char *path) {
    int depth = 0;
    for (const char *c = path; *c; c++) depth += *c == '/';
    return path[1] ? depth : 0;
}

// Whether path is top or lies below it.
bool at_or_below(const char *path, const char *top) {
    size_t length = strlen(top);
    if (length == 1) return true; // "/"
    return strncmp(path, top, length) == 0 && (path[length] == '\0' || path[length] == '/');
}

// How many levels far lies below top, the top of the tree, which it
// reaches within HOP levels: the fewest that reach it.
int levels_to_top(int far, int top) {
    struct stat st = {};
    fstat(top, &st); // just opened
    int low = 1, high = HOP;
    while (low < high) {
        int middle = (low + high) / 2;
        int fd = up(far, middle);
        bool there = same(fd, st.st_dev, st.st_ino);
        if (fd >= 0) close(fd);
        if (there) high = middle;
        else low = middle + 1;
    }
    return low;
}

// With near, HOP levels above far (fewer at the top), the first folder on
// the way up whose path fits: whether far lies below the root.
bool placed_below(const char *root, dev_t device, ino_t inode, int far, int near,
                  const char *path) {
    if (at_or_below(path, root)) return true;
    // Not reachable from this process's root, or beside the root's way.
    if (path[0] != '/' || !at_or_below(root, path)) return false;
    // near stands above the root: the root, if far lies below it, is the
    // folder on the way between them that is as deep as the root is.
    int far_depth = path[1] ? depth_of(path) + HOP : levels_to_top(far, near);
    int climb = far_depth - depth_of(root);
    if (climb <= 0) return false; // no deeper than the root
    int fd = up(far, climb);
    bool below = same(fd, device, inode);
    if (fd >= 0) close(fd);
    return below;
}

deep_slot *slot_of(deep_folders *d, const fan_handle &h) {
    return slot_keeping(d->slots, DEEP_SETS, DEEP_WAYS, h);
}

} // namespace

bool deep_below(const char *root, dev_t device, ino_t inode, int fd, int hops) {
    char path[PATH_CAPACITY];
    int far = fd;
    for (int hop = 0; hop < hops; hop++) {
        int near = up(far, HOP);
        if (near < 0) break;
        if (path_of(near, path, sizeof path) >= 0) {
            bool below = placed_below(root, device, inode, far, near, path);
            close(near);
            close(far);
            return below;
        }
        close(far);
        far = near;
    }
    close(far);
    return true;
}

int deep_find(deep_folders *d, const fan_handle &h) {
    deep_slot *s = slot_of(d, h);
    if (!s) return -1;
    s->key.used_at = ++d->clock;
    return s->below ? 1 : 0;
}

void deep_put(deep_folders *d, const fan_handle &h, bool below) {
    if (!key_fits(h)) return;
    deep_slot *s = slot_of(d, h);
    if (!s) {
        s = slot_to_take(d->slots, DEEP_SETS, DEEP_WAYS, h, d->clock);
        key_set(&s->key, h);
    }
    s->below = below;
    s->key.used_at = ++d->clock;
}

void deep_forget(deep_folders *d) {
    for (deep_slot &s : d->slots) s.key.size = 0;
}
