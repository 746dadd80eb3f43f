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
#include "own_detectors.h"
#include "process_start.h"
#include "settings.h"
#include "wall_clock.h"

namespace {

// What a judged event's pidfd field holds when its maker was an own
// detector; any other judged maker's holds FAN_NOPIDFD.
const int32_t OWN_MAKER = INT32_MIN;

// Events name the directory by handle and the entry by name, and a created,
// deleted or renamed entry by its own handle too (Linux 5.17). The changes
// asked for are those the inotify reader reports, a close after writing
// among them (a write through a shared mapping makes no other event; the
// queue merges it with the file's record still waiting after a write).
// Where the kernel can (Linux 5.15), each event also brings a descriptor of
// the process that made it (FAN_REPORT_PIDFD), to tell the detectors' own
// changes by the process rather than by its number.
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
// A part holds at most about 350 events (90 bytes at least each), so the
// descriptors the kernel opens for their makers, until they are judged,
// stay far below the usual limit of 1,024 open files: other threads can
// still open theirs meanwhile.
const size_t READ_SIZE = 32 * 1024;
const size_t EVENTS_SIZE = 4 * 1024 * 1024;
// A read needs room for at least one whole event: metadata, two directory
// handles with names and a target handle, a few hundred bytes each at most.
const size_t LARGEST_EVENT = 4096;
const size_t GUARD_READ = 16 * 1024;

// How far up a folder too deep for a path is followed to find the root, in
// steps of about a thousand levels.
const int DEEP_HOPS = 64;

// Changes were lost (the kernel's queue overflowed, or the watch's queue had
// no room): the whole tree is dirty since the kernel's queue was last found
// empty, as every event read since was made after that.
void mark_dirty(fanotify_reader *r) {
    if (r->dirty_since < 0 || r->empty_at < r->dirty_since) r->dirty_since = r->empty_at;
}

bool push(fanotify_reader *r, const watch_record *record) {
    // The loss line itself is queued (or told by the queue in its place).
    // Moves into the field may have gone with the events lost.
    if (record->kind == RECORD_LOST) {
        mark_dirty(r);
        ignores_flush(&r->ignores);
    }
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

// The whole tree is dirty since since, or earlier.
void mark_dirty_since(fanotify_reader *r, int64_t since) {
    if (r->dirty_since < 0 || since < r->dirty_since) r->dirty_since = since;
}

void walk_pending(fanotify_reader *r, const marked_folder &p, bool every_file);
void forget_scanned_arrivals(fanotify_reader *r);

// Once the watcher has taken every record: every file of the tree changed
// since the mark is reported, and every file of a renamed folder changed
// since its own; a mark stays if records were dropped again.
void report_dirty(fanotify_reader *r) {
    uint64_t count;
    ssize_t taken = read(r->queue->drained_fd, &count, sizeof count);
    (void)taken;
    int64_t since = r->dirty_since;
    r->dirty_since = -1;
    if (since >= 0 && !walk_changed(r->directory, since, walk_record, r) && !r->abandoned) {
        mark_dirty_since(r, since);
    }
    int pending = r->pending_count;
    r->pending_count = 0;
    for (int i = 0; i < pending && !r->abandoned; i++) {
        // What the whole tree's walk covered already is not walked again.
        if (since < 0 || r->pending[i].since < since) walk_pending(r, r->pending[i], false);
    }
    // A renamed folder left to the whole tree's walk may hold arrivals, or
    // lie in one, whose files its times do not show: walked whole, or the
    // tree is when they are not all known.
    int64_t lost = r->renames_lost;
    r->renames_lost = -1;
    if (lost >= 0 && r->arrivals_lost >= lost) {
        if (!walk_changed(r->directory, 0, walk_record, r) && !r->abandoned) mark_dirty_since(r, 0);
    } else if (lost >= 0) {
        for (int i = 0; i < r->arrival_count && !r->abandoned; i++) {
            if (r->arrivals[i].since >= lost) walk_pending(r, r->arrivals[i], true);
        }
    }
    forget_scanned_arrivals(r);
}

// Opens what a handle names with flags, through a mount point of its
// filesystem: opened for each look-up, so no mount is held busy. 0, or an
// errno (ESTALE when the handle is not the filesystem's mounted there).
int open_handle(fanotify_reader *r, const fan_handle &h, int flags, int *out) {
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
    int fd = fsid == h.fsid ? open_by_handle_at(mount, &storage.handle, flags) : -1;
    int error = fd < 0 ? (fsid == h.fsid ? errno : ESTALE) : 0;
    close(mount);
    *out = fd;
    return error;
}

// The path of a directory handle now.
int kernel_resolve(void *context, const fan_handle &h, char *out, size_t capacity,
                   size_t *length) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    // Where a folder too deep for a path lies, as found before.
    if (r->deep.moves != r->translator.edge_moves) {
        deep_forget(&r->deep);
        r->deep.moves = r->translator.edge_moves;
    }
    int known = deep_find(&r->deep, h);
    if (known >= 0) return known ? ENAMETOOLONG : EXDEV;
    int fd = -1;
    if (int error = open_handle(r, h, O_PATH | O_CLOEXEC, &fd)) return error;
    struct stat st;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = fstat(fd, &st) == 0 && st.st_nlink > 0 ? readlink(link, out, capacity) : -1;
    if (n < 0 && errno == ENAMETOOLONG) {
        bool below = deep_below(r->root, r->root_device, r->root_inode, fd, DEEP_HOPS);
        deep_put(&r->deep, h, below);
        return below ? ENAMETOOLONG : EXDEV;
    }
    close(fd);
    // A deleted folder has no path; one outside this process's root, none
    // that starts at "/".
    if (n <= 0 || static_cast<size_t>(n) >= capacity || out[0] != '/') return ESTALE;
    out[n] = '\0';
    *length = static_cast<size_t>(n);
    return 0;
}

// The file of an event handle now, opened by its handle through a mount
// point of its filesystem; else (a handle made only to be compared) at
// path, when the handle there is the same.
bool kernel_linked_at(void *context, const fan_handle &h, const char *path, linked_stat *file) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    file->present = false;
    int fd = -1;
    open_handle(r, h, O_PATH | O_CLOEXEC, &fd);
    struct stat st;
    bool found = false;
    if (fd >= 0) {
        found = fstat(fd, &st) == 0;
        close(fd);
    } else if (path && link_walk_same_file(path, h)) {
        found = fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (!found) return false;
    *file = linked_stat_of(st);
    return S_ISREG(st.st_mode) && st.st_nlink >= 2;
}

// ---- ignore marks ----

int kernel_open_folder(void *context, const fan_handle &h, int *fd) {
    return open_handle(static_cast<fanotify_reader *>(context), h, O_PATH | O_DIRECTORY | O_CLOEXEC,
                       fd);
}

// Writes may be left to the kernel to drop while no hard-linked file is
// followed or still looked for: a write through a name elsewhere of one is
// seen only by the event of the folder that holds that name.
bool writes_ignorable(fanotify_reader *r) {
    return !r->translator.links.count && !link_walk_pending(&r->links);
}

// Whether path (of length) is the root or lies above it.
bool above_root(const fanotify_reader *r, const char *path, size_t length) {
    if (length == 1) return true; // "/"
    return strncmp(r->root, path, length) == 0 && (r->root[length] == '\0' || r->root[length] == '/');
}

// A change came from a folder placed outside the root: its children's
// changes are left to the kernel to drop, once the kernel itself places the
// folder outside the root now, and not above it (a move into the field read
// later takes the mark away again).
void kernel_outside(void *context, const fan_handle &h, uint64_t mask) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    uint64_t wanted = ignores_wanted(&r->ignores, h, mask, writes_ignorable(r));
    int fd = -1;
    if (!wanted || open_handle(r, h, O_PATH | O_DIRECTORY | O_CLOEXEC, &fd) != 0) return;
    char link[32];
    char path[PATH_CAPACITY];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    struct stat st;
    ssize_t n = fstat(fd, &st) == 0 && st.st_nlink > 0 ? readlink(link, path, sizeof path) : -1;
    if (n > 0 && static_cast<size_t>(n) < sizeof path && path[0] == '/') {
        size_t length = static_cast<size_t>(n);
        if (!translator_below_root(&r->translator, path, length) && !above_root(r, path, length)) {
            ignores_place(&r->ignores, h, fd, wanted);
        }
    }
    close(fd);
}

// A folder came inside: no mark may stay on it or below it.
void kernel_entered(void *context) { ignores_flush(&static_cast<fanotify_reader *>(context)->ignores); }

bool kernel_following(void *context) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    if (!ignores_hide_writes(&r->ignores)) return false;
    ignores_flush(&r->ignores);
    return true;
}

// Each event read brings a descriptor of the process that made it: judged
// at once, while a detector that made it is most likely not reaped yet, and
// closed; the field keeps the verdict for the translation. One that cannot
// be judged without waiting for a detector being started stays open, to be
// judged only if the change lies under the root.
void judge_makers(fanotify_reader *r, unsigned char *events, size_t length) {
    size_t offset = 0;
    fan_event e;
    while (fan_parse_next(events, length, &offset, &e) == FAN_PARSED) {
        if (e.pidfd < 0) continue;
        own_verdict verdict = own_detector_judge(e.pid, e.pidfd);
        if (verdict == OWN_PENDING) {
            r->open_pidfds = true;
            continue;
        }
        int32_t kept = verdict == OWN_DETECTOR ? OWN_MAKER : FAN_NOPIDFD;
        close(e.pidfd);
        memcpy(events + e.pidfd_at, &kept, sizeof kept);
    }
}

// Closes the descriptors left open in a batch once it is translated.
void close_pidfds(fanotify_reader *r) {
    if (!r->open_pidfds) return;
    r->open_pidfds = false;
    size_t offset = 0;
    fan_event e;
    while (fan_parse_next(r->events, r->length, &offset, &e) == FAN_PARSED) {
        if (e.pidfd >= 0) close(e.pidfd);
    }
}

// One read of the kernel's events into at[0, room): the bytes read, or -1
// with errno set.
ssize_t read_events(fanotify_reader *r, unsigned char *at, size_t room) {
    ssize_t n;
    do {
        n = read(r->fd, at, room);
    } while (n < 0 && errno == EINTR);
    if (n > 0) judge_makers(r, at, static_cast<size_t>(n));
    return n;
}

size_t kernel_read_more(void *context, unsigned char *at, size_t room) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    size_t added = 0;
    // Part by part, until the kernel's queue is empty or the room taken.
    while (room - added >= LARGEST_EVENT) {
        size_t part = room - added < READ_SIZE ? room - added : READ_SIZE;
        ssize_t n = read_events(r, at + added, part);
        if (n <= 0) break;
        added += static_cast<size_t>(n);
        if (static_cast<size_t>(n) + LARGEST_EVENT <= part) break;
    }
    return added;
}

bool kernel_ignored(void *context, int32_t pid, int32_t pidfd) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    // A descriptor still open was read while a detector was being started.
    return pid == r->own_pid || pidfd == OWN_MAKER ||
           (pidfd >= 0 && own_detector_made(pid, pidfd));
}

bool kernel_named(void *, const char *path) {
    struct stat st;
    // Unless it is surely not there, it is taken as there: reported.
    return lstat(path, &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

void push_record(fanotify_reader *r, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    push(r, &record);
}

fan_handle handle_of(const marked_folder &f) { return fan_handle{f.fsid, f.type, f.size, f.bytes}; }

// Keeps folder h in list with since; one known already keeps the earliest
// mark, or the latest with latest. False without room.
bool keep_folder(marked_folder *list, int *count, int capacity, const fan_handle &h,
                 int64_t since, bool latest) {
    for (int i = 0; i < *count; i++) {
        marked_folder &f = list[i];
        if (!fan_same_handle(handle_of(f), h)) continue;
        if (latest ? since > f.since : since < f.since) f.since = since;
        return true;
    }
    if (*count == capacity || h.size > sizeof list[0].bytes) return false;
    marked_folder &f = list[(*count)++];
    f.fsid = h.fsid;
    f.type = h.type;
    f.size = h.size;
    memcpy(f.bytes, h.bytes, h.size);
    f.since = since;
    return true;
}

// Arrivals whose files were all scanned since are no longer followed.
void forget_scanned_arrivals(fanotify_reader *r) {
    int64_t scanned = queue_drained_since(r->queue);
    int kept = 0;
    for (int i = 0; i < r->arrival_count; i++) {
        if (r->arrivals[i].since >= scanned) r->arrivals[kept++] = r->arrivals[i];
    }
    r->arrival_count = kept;
    if (r->arrivals_lost >= 0 && r->arrivals_lost < scanned) r->arrivals_lost = -1;
}

// Reports every file below relative, a folder that arrived from outside
// the root: opened below the root, no link followed.
void kernel_report_below(void *context, const char *relative, const fan_handle *directory) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    // Nothing of what shows here now is left ignored while it is walked.
    ignores_flush(&r->ignores);
    // Its linked files are followed after the walk: one written through
    // another name meanwhile is reported then by its time.
    int64_t began = now_ns();
    r->folders_moved = r->folders_moved || directory;
    if (directory) {
        forget_scanned_arrivals(r);
        if (!keep_folder(r->arrivals, &r->arrival_count, ARRIVALS, *directory, r->empty_at, true) &&
            r->empty_at > r->arrivals_lost) {
            r->arrivals_lost = r->empty_at;
        }
    }
    int error = 0;
    void *folder = r->lister.open_below(r->lister.context, nullptr, relative, &error);
    if (!folder) {
        // Gone or replaced since it arrived: what replaced it has events of
        // its own.
        if (error != ENOENT && error != ENOTDIR) push_record(r, RECORD_UNWATCHED, relative, strerror(error));
        return;
    }
    // Since 0: every file in it is new to the tree.
    walk_changed_below(&r->lister, folder, relative, 0, walk_record, r);
    r->lister.close(r->lister.context, folder);
    // Each folder the link walk takes is checked to lie under the root.
    int n = snprintf(r->walk_path, sizeof r->walk_path, "%s%s%s", r->root, r->root[1] ? "/" : "",
                     relative);
    if (n > 0 && static_cast<size_t>(n) < sizeof r->walk_path) {
        link_walk_add(&r->links, r->walk_path, began);
    }
}

// A folder renamed within the tree: walked once the watcher has taken what
// is queued, for what changed since every change before the rename had been
// scanned. A folder renamed again meanwhile keeps its earliest mark.
void kernel_moved_within(void *context, const fan_handle &h) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    r->folders_moved = true;
    int64_t since = r->empty_scanned;
    if (!keep_folder(r->pending, &r->pending_count, PENDING_WALKS, h, since, false)) {
        mark_dirty_since(r, since);
        if (r->renames_lost < 0 || since < r->renames_lost) r->renames_lost = since;
    }
}

// Whether path, a renamed folder's, is that of an arrival not yet scanned
// when it was renamed (its mark at or after since), or lies above or below
// one.
bool near_arrival(fanotify_reader *r, const char *path, int64_t since) {
    if (r->arrivals_lost >= since) return true;
    size_t length = strlen(path);
    for (int i = 0; i < r->arrival_count; i++) {
        if (r->arrivals[i].since < since) continue;
        char other[PATH_CAPACITY];
        size_t n = 0;
        if (kernel_resolve(r, handle_of(r->arrivals[i]), other, sizeof other, &n) != 0) continue;
        size_t shorter = n < length ? n : length;
        bool related = memcmp(other, path, shorter) == 0 &&
                       (n == length || (n < length ? path[n] : other[length]) == '/');
        if (related) return true;
    }
    return false;
}

// Walks a renamed folder where it stands now, if that is still under the
// root: opened by its handle, and its path read from what was opened. For
// every file it holds with every_file, or near an arrival.
void walk_pending(fanotify_reader *r, const marked_folder &p, bool every_file) {
    fan_handle h = handle_of(p);
    int fd = -1;
    if (open_handle(r, h, O_RDONLY | O_DIRECTORY | O_CLOEXEC, &fd) != 0) return; // gone
    void *folder = kernel_folder_adopt(fd);
    if (!folder) {
        mark_dirty_since(r, p.since);
        return;
    }
    char link[32];
    kernel_folder_path(folder, link, sizeof link);
    struct stat st;
    ssize_t n = fstat(fd, &st) == 0 && st.st_nlink > 0
                    ? readlink(link, r->walk_path, sizeof r->walk_path) : -1;
    if (n >= static_cast<ssize_t>(sizeof r->walk_path)) {
        n = -1; // cut: as long as any path can be
        errno = ENAMETOOLONG;
    }
    size_t root_length = strlen(r->root);
    const char *relative = nullptr;
    if (n > 0) {
        r->walk_path[n] = '\0';
        size_t length = static_cast<size_t>(n);
        bool top = root_length == 1;
        if (top && length > 1) relative = r->walk_path + 1;
        else if (!top && length > root_length + 1 && r->walk_path[root_length] == '/' &&
                 memcmp(r->walk_path, r->root, root_length) == 0) {
            relative = r->walk_path + root_length + 1;
        }
    } else if (n < 0 && errno == ENAMETOOLONG) {
        // Deeper than any path: every file in it would be named, not scanned;
        // the whole tree's walk names them so.
        mark_dirty_since(r, p.since);
    }
    // Moved out of the tree since, or deleted: nothing of the tree's in it.
    int64_t since = every_file || (relative && near_arrival(r, r->walk_path, p.since)) ? 0 : p.since;
    if (relative && !walk_changed_below(&r->lister, folder, relative, since, walk_record, r) &&
        !r->abandoned) {
        mark_dirty_since(r, since);
    }
    r->lister.close(r->lister.context, folder);
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
        batch_parse(&r->guard_batch, events, static_cast<size_t>(n));
        touched = touched || guard_touched(&r->guard, &r->guard_batch);
        // Any event of the root's own watch tells of its end.
        for (size_t i = 0; !touched && i < r->guard_batch.count; i++) {
            touched = r->guard_batch.events[i].wd == r->root_wd;
        }
    }
    return touched ? guard_check(&r->guard) : 0;
}

// Whether the filesystem mounted at point takes the reader's mark (asked
// again when it has it already: the kernel merges the two).
bool takes_mark(fanotify_reader *r, const char *point) {
    return fanotify_mark(r->fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, MARK_MASK, AT_FDCWD, point) == 0;
}

// A mount that came, went, or changed what shows below the root: what
// shows there now is reported whole, as a folder moved in.
void mount_changed(void *context, const mount_event *e) {
    fanotify_reader *r = static_cast<fanotify_reader *>(context);
    // A mount can show an ignored folder inside the field.
    ignores_flush(&r->ignores);
    if (e->change == MOUNT_ADDED) {
        remote_mount_added(&r->remote, e->relative, e->type, e->id, walk_record, r);
        // Once set up (marks_update has run): one that refuses the mark is
        // watched with inotify.
        if (r->mounts.started && e->id >= 0 && !takes_mark(r, e->point)) {
            subtrees_add(&r->parts, e->id, e->point, e->relative);
        }
    } else if (e->change == MOUNT_REMOVED) {
        remote_mount_removed(&r->remote, e->id);
        subtrees_remove(&r->parts, e->id);
    } else {
        kernel_report_below(r, e->relative, nullptr);
    }
}

void close_all(fanotify_reader *r) {
    guard_release(&r->guard);
    batch_release(&r->guard_batch);
    marks_release(&r->marks);
    mount_watch_release(&r->mounts);
    remote_release(&r->remote);
    subtrees_release(&r->parts);
    translator_release(&r->translator);
    ignores_release(&r->ignores);
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
// empty by the read: then every change made before it began has been read.
int read_batch(fanotify_reader *r) {
    int64_t drained = queue_drained_since(r->queue);
    int64_t started = now_ns();
    ssize_t n = read_events(r, r->events, READ_SIZE);
    bool empty = n < 0 && errno == EAGAIN;
    if (n <= 0 && !empty) return n < 0 ? errno : EIO;
    if (n > 0) {
        r->length = static_cast<size_t>(n);
        queue_mark(r->queue, subtrees_mark(&r->parts, r->empty_at));
        translate_events(&r->translator, r->events, &r->length, EVENTS_SIZE, reader_record, r);
        close_pidfds(r);
        // The kernel stops at an empty queue or at an event that does not fit.
        empty = static_cast<size_t>(n) + LARGEST_EVENT <= READ_SIZE;
    }
    if (!empty) return 0;
    r->empty_at = started;
    r->empty_scanned = drained;
    return EAGAIN;
}

// Reads and translates until the watch ends; why it ended.
int follow(fanotify_reader *r) {
    for (;;) {
        // (A rename that found no room made the tree dirty too.)
        if (r->dirty_since >= 0 || r->pending_count || subtrees_dirty(&r->parts)) {
            queue_want_drained(r->queue);
        }
        pollfd fds[4 + SUBTREES] = {{r->fd, POLLIN, 0},
                                    {r->guard_fd, POLLIN, 0},
                                    {r->table_fd, POLLPRI, 0},
                                    {r->queue->drained_fd, POLLIN, 0}};
        int parts = subtrees_poll_fds(&r->parts, fds + 4);
        bool listing = link_walk_pending(&r->links);
        int timeout = remote_wait_ms(&r->remote);
        int parts_due = subtrees_timeout(&r->parts);
        if (parts_due >= 0 && (timeout < 0 || parts_due < timeout)) timeout = parts_due;
        if (listing) timeout = 0;
        int64_t polled_at = now_ns();
        int64_t polled_scanned = queue_drained_since(r->queue);
        int waited = poll(fds, static_cast<nfds_t>(4 + parts), timeout);
        if (waited < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Due whatever else is ready, so that busy events never put it off.
        bool moved = remote_walk_due(&r->remote, &r->lister, walk_record, r);
        if (fds[3].revents & POLLIN) {
            // The watcher gave the watch up: the field names another folder.
            if (queue_abandoned(r->queue)) return ECANCELED;
            report_dirty(r);
            subtrees_report_dirty(&r->parts);
        }
        if (r->abandoned) return ECANCELED;
        if (moved || (fds[2].revents & (POLLPRI | POLLERR))) {
            // A mount over the root would change what the field names.
            if (marks_update(&r->marks, reader_record, r)) {
                cache_clear(&r->translator.cache);
                deep_forget(&r->deep);
                ignores_flush(&r->ignores);
            }
            if (int error = guard_check(&r->guard)) return error;
            // Listed once marked: what changes after the listing has events.
            if (!mount_watch_update(&r->mounts, mount_changed, r)) {
                push_record(r, RECORD_UNWATCHED, "", "the mount table cannot be read: mounts inside may be missed");
            }
            remote_tell(&r->remote, walk_record, r);
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
            // A mount point may have moved with a folder, which the mount
            // table shows but does not signal.
            if (r->folders_moved) {
                r->folders_moved = false;
                mount_watch_update(&r->mounts, mount_changed, r);
                remote_tell(&r->remote, walk_record, r);
            }
        }
        // However busy the filesystem, the walk for linked files goes on; a
        // turn it takes is no time without events for the parts' checks.
        if (listing) {
            link_walk_step(&r->links, &r->translator, &r->marks, reader_record, r,
                           LINK_FOLDERS_PER_TURN);
        }
        subtrees_handle(&r->parts, fds + 4, parts, polled_at, polled_scanned, r->empty_at,
                        waited == 0 && !listing && !subtrees_listing(&r->parts));
        if (r->parts.moved) {
            r->parts.moved = false;
            mount_watch_update(&r->mounts, mount_changed, r);
            remote_tell(&r->remote, walk_record, r);
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
    r->arrivals_lost = -1;
    r->renames_lost = -1;
    r->empty_at = now_ns(); // nothing made before the set-up is a change
    r->own_pid = getpid();
    r->directory = directory;
    r->queue = queue;
    r->fd = r->guard_fd = r->table_fd = -1;
    subtrees_init(&r->parts, queue);
    queue_mark(queue, r->empty_at);
    r->empty_scanned = queue_drained_since(queue);
    struct stat st;
    if (!realpath(directory, r->root) || stat(r->root, &st) != 0) return errno;
    kernel_root_init(&r->lister_root, r->root);
    r->lister = kernel_lister(&r->lister_root);
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    r->root_device = st.st_dev;
    r->root_inode = st.st_ino;
    r->fd = fanotify_init(INIT_FLAGS | FAN_REPORT_PIDFD, EVENT_FLAGS);
    // A kernel that cannot hand over the maker's process: no change is told
    // as a detector's own, every one is reported.
    if (r->fd < 0 && errno == EINVAL) r->fd = fanotify_init(INIT_FLAGS, EVENT_FLAGS);
    else if (r->fd >= 0) own_detectors_asked();
    if (r->fd < 0) {
        *refusal = mark_refusal(errno);
        return errno;
    }
    int error = marks_start(&r->marks, r->fd, MARK_MASK, r->root);
    if (error) *refusal = mark_refusal(error);
    fan_ops ops = {kernel_resolve,      kernel_read_more,    kernel_ignored,
                   kernel_report_below, kernel_moved_within, kernel_named,
                   r,                   kernel_linked_at,    kernel_outside,
                   kernel_entered,      kernel_following};
    link_walk_init(&r->links);
    r->events = static_cast<unsigned char *>(malloc(EVENTS_SIZE));
    bool ignoring = ignores_init(&r->ignores, r->fd, kernel_open_folder, r);
    if (!error && (!r->events || !ignoring || !translator_init(&r->translator, r->root, &ops))) {
        error = ENOMEM;
    }
    if (!error) error = open_watchers(r);
    if (error) {
        close_all(r);
        return error;
    }
    // Read before the mounts are marked: one mounted since is told by the
    // table's next poll, then marked and listed.
    remote_start(&r->remote, settings().rescan_seconds);
    bool followed = mount_watch_start(&r->mounts, r->root, mount_changed, r);
    marks_update(&r->marks, reader_record, r);
    // Files there before the watch began may have names outside the field:
    // found by a walk once set up, those written since reported then.
    link_walk_add(&r->links, r->root, r->empty_at);
    // Mounts found at start that refuse the mark are watched with inotify.
    size_t skip = strlen(r->root) == 1 ? 1 : strlen(r->root) + 1;
    for (int i = 0; i < r->mounts.count; i++) {
        const field_mount &m = r->mounts.items[i];
        if (!takes_mark(r, m.point)) subtrees_add(&r->parts, m.id, m.point, m.point + skip);
    }
    if (!followed) {
        push_record(r, RECORD_UNWATCHED, "", "the mount table cannot be read: mounts inside are not followed");
    }
    remote_tell(&r->remote, walk_record, r);
    return 0;
}

int fanotify_follow(fanotify_reader *r) {
    int error = follow(r);
    close_all(r);
    return error;
}
