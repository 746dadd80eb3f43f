// Watching the folders on the way to the root, so that the field goes on
// naming the watched tree; and waiting, the same way, for a field that
// names no folder to name one again.
#include "root_guard.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capacities.h"
#include "dot_names.h"

namespace {

// A name on the way can leave (moved or deleted) or be replaced (a link
// renamed over it); the folder itself can go.
const uint32_t GUARD_MASK = IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF |
                            IN_MOVE_SELF | IN_MASK_ADD | IN_ONLYDIR;
const uint32_t FOLDER_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// Waiting for a name to appear: made (a folder, a link) as well.
const uint32_t WAIT_MASK = GUARD_MASK | IN_CREATE;
// Enough for any burst of events in the folders on the way; what does not
// fit is read by the next read.
const size_t WAIT_READ = 16 * 1024;

// Names that cannot be renamed or removed: nothing to watch for.
bool is_fixed(const char *name, size_t length) {
    return length == 0 || is_dot_name(name, length);
}

// Watches the folder holding each name of path, for that name.
void watch_steps(root_guard *g, int fd, char *path, uint32_t mask) {
    size_t length = strlen(path);
    char folder[PATH_CAPACITY];
    for (size_t start = 0; start < length;) {
        size_t end = start;
        while (end < length && path[end] != '/') end++;
        if (!is_fixed(path + start, end - start)) {
            // The folder is everything before the name: "/" or "." at the top.
            size_t folder_length = start;
            if (folder_length == 0) {
                strcpy(folder, path[0] == '/' ? "/" : ".");
            } else {
                memcpy(folder, path, folder_length);
                folder[folder_length] = '\0';
            }
            int wd = inotify_add_watch(fd, folder, mask);
            if (wd >= 0) g->steps[g->step_count++] = guard_step{wd, path + start, end - start};
        }
        start = end + 1;
    }
}

// Where a symbolic link that leads nowhere (yet) points: its text, from the
// folder that holds it. False when field is no such link.
bool dangling_target(const char *field, char *out, size_t capacity) {
    struct stat st;
    if (lstat(field, &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char text[PATH_MAX];
    ssize_t length = readlink(field, text, sizeof text - 1);
    if (length <= 0) return false;
    text[length] = '\0';
    const char *slash = strrchr(field, '/');
    int folder = text[0] == '/' || !slash ? 0 : static_cast<int>(slash - field) + 1;
    int n = snprintf(out, capacity, "%.*s%s", folder, field, text);
    return n > 0 && static_cast<size_t>(n) < capacity;
}

// Watches the way to the field as written, as its links resolve and, for a
// link that leads nowhere, to where it points.
void watch_ways(root_guard *g, int fd, const char *field, uint32_t mask) {
    size_t length = strlen(field);
    char resolved[PATH_MAX];
    bool has_resolved = (realpath(field, resolved) != nullptr ||
                         dangling_target(field, resolved, sizeof resolved)) &&
                        strcmp(resolved, field) != 0;
    size_t resolved_length = has_resolved ? strlen(resolved) : 0;
    g->paths = static_cast<char *>(malloc(length + 1 + resolved_length + 1));
    // At most one step per name: names take two bytes with their slash.
    size_t most = (length + resolved_length) / 2 + 2;
    g->steps = static_cast<guard_step *>(malloc(most * sizeof *g->steps));
    if (!g->paths || !g->steps) {
        guard_release(g); // unguarded, like a folder on the way that cannot be watched
        return;
    }
    memcpy(g->paths, field, length + 1);
    watch_steps(g, fd, g->paths, mask);
    if (has_resolved) {
        char *copy = g->paths + length + 1;
        memcpy(copy, resolved, resolved_length + 1);
        watch_steps(g, fd, copy, mask);
    }
}

} // namespace

int guard_start(root_guard *g, int fd, const char *field) {
    memset(g, 0, sizeof *g);
    g->field = field;
    struct stat st;
    if (stat(field, &st) != 0) return errno;
    g->device = st.st_dev;
    g->inode = st.st_ino;
    watch_ways(g, fd, field, GUARD_MASK);
    return 0;
}

void guard_release(root_guard *g) {
    free(g->paths);
    free(g->steps);
    g->paths = nullptr;
    g->steps = nullptr;
    g->step_count = 0;
}

bool guard_touched(const root_guard *g, const event_batch *batch) {
    if (!g->step_count) return false;
    for (size_t e = 0; e < batch->count; e++) {
        const parsed_event &event = batch->events[e];
        // Lost events may have said anything.
        if (event.mask & IN_Q_OVERFLOW) return true;
        for (int i = 0; i < g->step_count; i++) {
            const guard_step &step = g->steps[i];
            if (event.wd != step.wd) continue;
            if (event.mask & FOLDER_GONE) return true;
            if (event.name_length == step.length && memcmp(event.name, step.name, step.length) == 0) {
                return true;
            }
        }
    }
    return false;
}

int guard_check(const root_guard *g) {
    if (!g->field) return 0; // never started: nothing was reported under it
    return guard_names(g->field, g->device, g->inode);
}

int guard_names(const char *field, dev_t device, ino_t inode) {
    struct stat st;
    if (stat(field, &st) != 0) return errno;
    return st.st_dev == device && st.st_ino == inode ? 0 : ENOENT;
}

int guard_wait(const char *field, dev_t *device, ino_t *inode) {
    unsigned char events[WAIT_READ] __attribute__((aligned(alignof(inotify_event))));
    for (;;) {
        // An instance for each look: the ways change as folders come.
        int fd = inotify_init1(IN_CLOEXEC);
        if (fd < 0) return errno;
        root_guard g;
        memset(&g, 0, sizeof g);
        watch_ways(&g, fd, field, WAIT_MASK);
        // Looked at once the ways are watched: a folder made before this is
        // found now, one made after by its event.
        struct stat st;
        bool found = stat(field, &st) == 0 && S_ISDIR(st.st_mode);
        int error = 0;
        event_batch batch = {};
        for (bool touched = found; !touched && !error;) {
            ssize_t n = read(fd, events, sizeof events);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
            } else {
                batch_parse(&batch, events, static_cast<size_t>(n));
                touched = guard_touched(&g, &batch);
            }
        }
        batch_release(&batch);
        guard_release(&g);
        close(fd);
        if (error) return error;
        if (found) {
            *device = st.st_dev;
            *inode = st.st_ino;
            return 0;
        }
    }
}
