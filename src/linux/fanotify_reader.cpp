// The fanotify reader: marks, the kernel's events, records queued.
#include "fanotify_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include "changed_walk.h"
#include "process_start.h"

namespace {

// Events name the directory by handle and the entry by name, and a created,
// deleted or renamed entry by its own handle too (Linux 5.17). The changes
// asked for are those the inotify reader reports, a close after writing
// among them (a write through a shared mapping makes no other event; the
// queue merges it with the file's record still waiting after a write).
const unsigned INIT_FLAGS =
    FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME_TARGET;
const unsigned EVENT_FLAGS = O_RDONLY | O_LARGEFILE | O_CLOEXEC;
const uint64_t MARK_MASK =
    FAN_CREATE | FAN_DELETE | FAN_MODIFY | FAN_CLOSE_WRITE | FAN_RENAME | FAN_ONDIR;
// The root's own end (deleted, moved, unmounted) is told by inotify.
const uint32_t ROOT_MASK = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// One read takes a part; the rest is room for the events read ahead while a
// folder's place is checked against the events that follow, enough for what
// the kernel's queue holds (16,384 events, a few hundred bytes each at most)
// however busy the filesystem is elsewhere. Only the pages used take memory.
const size_t READ_SIZE = 256 * 1024;
const size_t EVENTS_SIZE = 4 * 1024 * 1024;
// A read needs room for at least one whole event: metadata, two directory
// handles with names and a target handle, a few hundred bytes each at most.
const size_t LARGEST_EVENT = 4096;
const size_t GUARD_READ = 16 * 1024;

// How far up a folder too deep for a path is followed to find the root.
const int DEEPEST = 1 << 16;
// Folders listed for hard-linked files between two looks for events: a
// fraction of a millisecond.
const int LINK_FOLDERS_PER_TURN = 16;

int64_t now_ns() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Changes were lost (the kernel's queue overflowed, or the watch's queue had
// no room): the whole tree is dirty since the kernel's queue was last found
// empty, as every event read since was made after that.
void mark_dirty(fanotify_reader *r) {
    if (r->dirty_since < 0 || r->empty_at < r->dirty_since) r->dirty_since = r->empty_at;
}

bool push(fanotify_reader *r, const watch_record *record) {
    // The loss line itself is queued (or told by the queue in its place).
    if (record->kind == RECORD_LOST) mark_dirty(r);
    bool queued = queue_push(r->queue, record);
    if (!queued) mark_dirty(r);
    return queued;
}

void reader_record(void *context, const watch_record *record) {
    push(static_cast<fanotify_reader *>(context), record);
}

// A walk's record, handed over at the watcher's pace (queue_push_paced).
bool push_walked(fanotify_reader *r, const watch_record *record) {
    if (r->abandoned) return false;
    if (queue_push_paced(r->queue, record, &r->walked)) return true;
    // The watcher gave the watch up meanwhile: the walk is of no use.
    if (queue_abandoned(r->queue)) r->abandoned = true;
    else mark_dirty(r);
    return false;
}

bool walk_record(void *context, const watch_record *record) {
    return push_walked(static_cast<fanotify_reader *>(context), record);
}

// Once the watcher has taken every record: every file of the tree changed
// since the mark is reported; the mark stays if records were dropped again.
void report_dirty(fanotify_reader *r) {
    uint64_t count;
    ssize_t taken = read(r->queue->drained_fd, &count, sizeof count);
    (void)taken;
    int64_t since = r->dirty_since;
    if (since < 0) return;
    r->dirty_since = -1;
    if (!walk_changed(r->directory, since, walk_record, r) && !r->abandoned) mark_dirty(r);
    if (r->dirty_since >= 0 && since < r->dirty_since) r->dirty_since = since;
}

// Whether folder fd (closed here) lies below the root: followed up through
// "..", for a folder deeper than any path can name.
bool below_root_by_parents(const fanotify_reader *r, int fd) {
    struct stat st;
    for (int level = 0; level < DEEPEST && fd >= 0 && fstat(fd, &st) == 0; level++) {
        if (st.st_dev == r->root_device && st.st_ino == r->root_inode) {
            close(fd);
            return true;
        }
        int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat up;
        bool top = parent >= 0 && fstat(parent, &up) == 0 && up.st_dev == st.st_dev &&
                   up.st_ino == st.st_ino;
        close(fd);
        fd = parent;
        if (top) break; // "/" is its own parent
    }
    if (fd >= 0) close(fd);
    return false;
}

// The path of a directory handle now, through a mount point of its
// filesystem: opened for each look-up, so no mount is held busy.
int kernel_resolve(void *context, const fan_handle &h, char *out, size_t capacity,
                   size_t *length) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    const char *point = marks_point(&r->marks, h.fsid);
    if (!point || h.size > MAX_HANDLE_SZ) return ESTALE;
    int mount = open(point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mount < 0) return errno;
    union {
        file_handle handle;
        unsigned char bytes[sizeof(file_handle) + MAX_HANDLE_SZ];
    } storage;
    storage.handle.handle_bytes = h.size;
    storage.handle.handle_type = h.type;
    memcpy(storage.bytes + sizeof(file_handle), h.bytes, h.size);
    struct statfs fs;
    uint64_t fsid = 0;
    if (fstatfs(mount, &fs) == 0) memcpy(&fsid, &fs.f_fsid, sizeof fsid);
    // Another filesystem mounted there since: its handles are other ones.
    int fd = fsid == h.fsid ? open_by_handle_at(mount, &storage.handle, O_PATH | O_CLOEXEC) : -1;
    int error = fd < 0 ? (fsid == h.fsid ? errno : ESTALE) : 0;
    close(mount);
    if (error) return error;
    struct stat st;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = fstat(fd, &st) == 0 && st.st_nlink > 0 ? readlink(link, out, capacity) : -1;
    if (n < 0 && errno == ENAMETOOLONG) {
        return below_root_by_parents(r, fd) ? ENAMETOOLONG : ESTALE;
    }
    close(fd);
    // A deleted folder has no path; one outside this process's root, none
    // that starts at "/".
    if (n <= 0 || static_cast<size_t>(n) >= capacity || out[0] != '/') return ESTALE;
    out[n] = '\0';
    *length = static_cast<size_t>(n);
    return 0;
}

void describe(const struct stat &st, linked_stat *file) {
    file->present = true;
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->changed_at = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// The file of an event handle now, opened by its handle through a mount
// point of its filesystem; else (a handle made only to be compared) at
// path, when the handle there is the same.
bool kernel_linked_at(void *context, const fan_handle &h, const char *path, linked_stat *file) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    file->present = false;
    const char *point = marks_point(&r->marks, h.fsid);
    int mount = point && h.size <= MAX_HANDLE_SZ ? open(point, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    int fd = -1;
    if (mount >= 0) {
        union {
            file_handle handle;
            unsigned char bytes[sizeof(file_handle) + MAX_HANDLE_SZ];
        } storage;
        storage.handle.handle_bytes = h.size;
        storage.handle.handle_type = h.type;
        memcpy(storage.bytes + sizeof(file_handle), h.bytes, h.size);
        fd = open_by_handle_at(mount, &storage.handle, O_PATH | O_CLOEXEC);
        close(mount);
    }
    struct stat st;
    bool found = false;
    if (fd >= 0) {
        found = fstat(fd, &st) == 0;
        close(fd);
    } else if (path && link_walk_same_file(path, h)) {
        found = fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (!found) return false;
    describe(st, file);
    return S_ISREG(st.st_mode) && st.st_nlink >= 2;
}

size_t kernel_read_more(void *context, unsigned char *at, size_t room) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    if (room < LARGEST_EVENT) return 0;
    ssize_t n;
    do {
        n = read(r->fd, at, room);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool kernel_ignored(void *context, int32_t pid) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    return pid == r->own_pid || started_detector(pid, r->drained_at);
}

void push_record(fanotify_reader *r, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    push(r, &record);
}

// A folder that arrived from outside the root, walked: its records' paths
// are relative to it, and are handed on relative to the root.
struct arrived {
    fanotify_reader *reader;
    const char *folder; // relative to the root
    char path[PATH_CAPACITY];
};

bool arrived_record(void *context, const watch_record *record) {
    arrived *a = static_cast<arrived *>(context);
    watch_record placed = *record;
    if (record->kind == RECORD_CHANGE || record->kind == RECORD_UNWATCHED) {
        const char *below = record->path;
        int n = below[0] ? snprintf(a->path, sizeof a->path, "%s/%s", a->folder, below)
                         : snprintf(a->path, sizeof a->path, "%s", a->folder);
        if (n >= 0 && static_cast<size_t>(n) < sizeof a->path) {
            placed.path = a->path;
        } else if (record->kind == RECORD_CHANGE) {
            // What is known of a path that does not fit: its name.
            const char *name = strrchr(below, '/');
            placed = watch_record{RECORD_UNREPRESENTABLE, name ? name + 1 : below, nullptr};
        }
    }
    return push_walked(a->reader, &placed);
}

// Reports every file below relative, a folder that arrived from outside
// the root, without following links.
void kernel_report_below(void *context, const char *relative) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    // Its linked files are followed after the walk: one written through
    // another name meanwhile is reported then by its time.
    int64_t began = now_ns();
    int n = snprintf(r->walk_path, sizeof r->walk_path, "%s%s%s", r->root,
                     r->root[1] ? "/" : "", relative);
    if (n < 0 || static_cast<size_t>(n) >= sizeof r->walk_path) {
        push_record(r, RECORD_UNWATCHED, relative, strerror(ENAMETOOLONG));
        return;
    }
    arrived a;
    a.reader = r;
    a.folder = relative;
    // Since 0: every file in it is new to the tree.
    walk_changed(r->walk_path, 0, arrived_record, &a);
    link_walk_add(&r->links, r->walk_path, began);
}

// Reads what the guard's inotify instance holds: 0 while the field still
// names the watched root, else why not.
int check_guard(fanotify_reader *r) {
    unsigned char events[GUARD_READ] __attribute__((aligned(alignof(inotify_event))));
    bool touched = false;
    for (;;) {
        ssize_t n = read(r->guard_fd, events, sizeof events);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t length = static_cast<size_t>(n);
        touched = touched || guard_touched(&r->guard, events, length);
        for (size_t offset = 0; !touched && length - offset >= sizeof(inotify_event);) {
            inotify_event event;
            memcpy(&event, events + offset, sizeof event);
            // Any event of the root's own watch tells of its end.
            touched = event.wd == r->root_wd;
            offset += sizeof event + event.len;
        }
    }
    return touched ? guard_check(&r->guard) : 0;
}

void close_all(fanotify_reader *r) {
    guard_release(&r->guard);
    marks_release(&r->marks);
    translator_release(&r->translator);
    link_walk_release(&r->links);
    free(r->events);
    r->events = nullptr;
    int *fds[] = {&r->fd, &r->guard_fd, &r->table_fd};
    for (int *fd : fds) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// One batch read and translated. EAGAIN when the kernel's queue was found
// empty by the read: then every change made before it began (a detector's
// that had ended by then among them) has been read.
int read_batch(fanotify_reader *r) {
    unsigned long ended = detectors_ended();
    int64_t started = now_ns();
    ssize_t n;
    do {
        n = read(r->fd, r->events, READ_SIZE);
    } while (n < 0 && errno == EINTR);
    bool empty = n < 0 && errno == EAGAIN;
    if (n <= 0 && !empty) return n < 0 ? errno : EIO;
    if (n > 0) {
        r->length = static_cast<size_t>(n);
        queue_mark(r->queue, r->empty_at);
        translate_events(&r->translator, r->events, &r->length, EVENTS_SIZE, reader_record, r);
        // The kernel stops at an empty queue or at an event that does not fit.
        empty = static_cast<size_t>(n) + LARGEST_EVENT <= READ_SIZE;
    }
    if (!empty) return 0;
    r->drained_at = ended;
    r->empty_at = started;
    return EAGAIN;
}

// Reads and translates until the watch ends; why it ended.
int follow(fanotify_reader *r) {
    for (;;) {
        if (r->dirty_since >= 0) queue_want_drained(r->queue);
        pollfd fds[4] = {{r->fd, POLLIN, 0},
                         {r->guard_fd, POLLIN, 0},
                         {r->table_fd, POLLPRI, 0},
                         {r->queue->drained_fd, POLLIN, 0}};
        bool listing = link_walk_pending(&r->links);
        int ready = poll(fds, 4, listing ? 0 : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (ready == 0) {
            link_walk_step(&r->links, &r->translator, &r->marks, reader_record, r,
                           LINK_FOLDERS_PER_TURN);
            continue;
        }
        if (fds[3].revents & POLLIN) {
            // The watcher gave the watch up: the field names another folder.
            if (queue_abandoned(r->queue)) return ECANCELED;
            report_dirty(r);
        }
        if (r->abandoned) return ECANCELED;
        if (fds[2].revents & (POLLPRI | POLLERR)) {
            // A mount over the root would change what the field names.
            if (marks_update(&r->marks, reader_record, r)) cache_clear(&r->translator.cache);
            if (int error = guard_check(&r->guard)) return error;
        }
        // Read before the events: a path under a field that names another
        // folder by now is a path where no such file is. (The watcher looks
        // the field up again before each change, for a move that comes
        // between this and the read.)
        if (fds[1].revents) {
            if (int error = check_guard(r)) return error;
        }
        if (fds[0].revents) {
            int error;
            while ((error = read_batch(r)) == 0) {
            }
            if (error != EAGAIN) return error;
            if (r->translator.links_lost) {
                // The names kept for linked files went with the lost events.
                r->translator.links_lost = false;
                link_walk_add(&r->links, r->root, r->dirty_since >= 0 ? r->dirty_since : r->empty_at);
            }
            // However busy the filesystem, the walk for linked files goes on.
            link_walk_step(&r->links, &r->translator, &r->marks, reader_record, r,
                           LINK_FOLDERS_PER_TURN);
        }
    }
}

// The inotify instance that guards the field and the root, and the mount
// table, which polls as changed: 0, or why they cannot be had.
int open_watchers(fanotify_reader *r) {
    r->guard_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (r->guard_fd < 0) return errno;
    if (int error = guard_start(&r->guard, r->guard_fd, r->directory)) return error;
    r->root_wd = inotify_add_watch(r->guard_fd, r->root, ROOT_MASK);
    if (r->root_wd < 0) return errno;
    r->table_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    return r->table_fd < 0 ? errno : 0;
}

} // namespace

int fanotify_set_up(fanotify_reader *r, const char *directory, record_queue *queue,
                    const char **refusal) {
    memset(r, 0, sizeof *r);
    r->dirty_since = -1;
    r->empty_at = now_ns(); // nothing made before the set-up is a change
    r->own_pid = getpid();
    r->directory = directory;
    r->queue = queue;
    r->fd = r->guard_fd = r->table_fd = -1;
    queue_mark(queue, r->empty_at);
    struct stat st;
    if (!realpath(directory, r->root) || stat(r->root, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    r->root_device = st.st_dev;
    r->root_inode = st.st_ino;
    r->fd = fanotify_init(INIT_FLAGS, EVENT_FLAGS);
    if (r->fd < 0) {
        *refusal = mark_refusal(errno);
        return errno;
    }
    int error = marks_start(&r->marks, r->fd, MARK_MASK, r->root);
    if (error) *refusal = mark_refusal(error);
    fan_ops ops = {kernel_resolve, kernel_read_more, kernel_ignored, kernel_report_below, r,
                   kernel_linked_at};
    link_walk_init(&r->links);
    r->events = static_cast<unsigned char *>(malloc(EVENTS_SIZE));
    if (!error && (!r->events || !translator_init(&r->translator, r->root, &ops))) error = ENOMEM;
    if (!error) error = open_watchers(r);
    if (error) {
        close_all(r);
        return error;
    }
    marks_update(&r->marks, reader_record, r);
    // Files there before the watch began may have names outside the field:
    // found by a walk once set up, those written since reported then.
    link_walk_add(&r->links, r->root, r->empty_at);
    return 0;
}

void fanotify_follow(fanotify_reader *r) {
    int error = follow(r);
    close_all(r);
    // Every end but a failed read is the field no longer naming the root:
    // what is queued names paths it no longer leads to.
    queue_end(r->queue, error, true);
}
