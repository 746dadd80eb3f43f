// The inotify reader: kernel events in, tree kept current, records queued.
#include "inotify_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "changed_walk.h"
#include "inotify_queue.h"
#include "linked_watch.h"
#include "settings.h"
#include "tree_links.h"
#include "wall_clock.h"

namespace {

// One read takes whatever the kernel holds up to this much; the kernel's own
// queue (16384 events by default) seldom holds more, as it is read at once.
const size_t READ_SIZE = 256 * 1024;
const size_t LARGEST_EVENT = sizeof(inotify_event) + NAME_MAX + 1;

// Watches a directory as it was opened: through its descriptor, never a
// path that could lead elsewhere by now.
int kernel_add_watch(void *context, void *directory, uint32_t mask) {
    inotify_reader *r = static_cast<inotify_reader *>(context);
    if (r->limit_reached) return -ENOSPC;
    char path[32];
    kernel_folder_path(directory, path, sizeof path);
    int wd = inotify_add_watch(r->fd, path, mask);
    if (wd < 0 && errno == ENOSPC && r->may_switch) r->limit_reached = true;
    return wd < 0 ? -errno : wd;
}

void kernel_remove_watch(void *context, int wd) {
    inotify_rm_watch(static_cast<inotify_reader *>(context)->fd, wd);
}

int kernel_watch_linked(void *context, void *directory, const char *path, bool watch,
                        linked_stat *file) {
    return inotify_watch_linked(static_cast<inotify_reader *>(context)->fd, directory, path, watch, file);
}

size_t kernel_queued_bytes(void *context) {
    return inotify_queued_bytes(static_cast<inotify_reader *>(context)->fd);
}

bool queue_record(void *context, const watch_record *record) {
    return queue_push(static_cast<record_queue *>(context), record);
}

// What a walk for lost changes finds, handed over at the watcher's pace.
bool walk_record(void *context, const watch_record *record) {
    inotify_reader *r = static_cast<inotify_reader *>(context);
    return queue_push_paced(r->queue, record, &r->walked);
}

// Set-up's records; once the limit is reached with may_switch, the lines
// of folders left unwatched are left out: the field will be watched whole.
bool set_up_record(void *context, const watch_record *record) {
    inotify_reader *r = static_cast<inotify_reader *>(context);
    bool unwatched = record->kind == RECORD_UNWATCHED || record->kind == RECORD_UNWATCHED_UNREPRESENTABLE;
    if (r->limit_reached && unwatched) return true;
    return queue_push(r->queue, record);
}

// A mount that came, went, or changed what shows below the root.
void mount_changed(void *context, const mount_event *e) {
    inotify_reader *r = static_cast<inotify_reader *>(context);
    if (e->change == MOUNT_ADDED) remote_mount_added(&r->remote, e->relative, e->type, e->id, walk_record, r);
    else if (e->change == MOUNT_REMOVED) remote_mount_removed(&r->remote, e->id);
    else tree_mount_changed(&r->tree, e->relative, queue_record, r->queue);
}

// Reads the mounts below the root before the tree is watched: one mounted
// while the tree is set up is then told by the table's next poll, and
// listed anew. False when the table cannot be read.
bool watch_mounts(inotify_reader *r) {
    remote_start(&r->remote, settings().rescan_seconds);
    r->lister = kernel_lister(&r->lister_root);
    r->table_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (r->table_fd >= 0 && realpath(r->directory, r->real_root) &&
        mount_watch_start(&r->mounts, r->real_root, mount_changed, r)) {
        return true;
    }
    if (r->table_fd >= 0) close(r->table_fd);
    r->table_fd = -1;
    return false;
}

// Creates the instance and watches the tree; 0, or why the watch failed.
int set_up(inotify_reader *r) {
    r->fd = inotify_init1(IN_CLOEXEC);
    if (r->fd < 0) {
        int error = errno;
        queue_tell(r->queue, error == EMFILE ? "inotify instance limit reached, raise "
                                         "fs.inotify.max_user_instances"
                                       : "cannot create an inotify instance");
        return error;
    }
    if (int error = guard_start(&r->guard, r->fd, r->directory)) return error;
    if (int error = kernel_root_init(&r->lister_root, r->directory)) return error;
    tree_ops ops = {kernel_lister(&r->lister_root), kernel_add_watch, kernel_remove_watch,
                    kernel_queued_bytes, r, kernel_watch_linked};
    // Events read later may have been made during the set-up.
    r->empty_at = now_ns();
    queue_mark(r->queue, r->empty_at);
    r->empty_scanned = queue_drained_since(r->queue);
    r->mounts_followed = watch_mounts(r);
    int error = tree_start(&r->tree, r->directory, &ops, set_up_record, r);
    // The bare code would read "no space left on device".
    if (error == ENOSPC && !r->limit_reached) queue_tell(r->queue, "inotify watch limit reached, raise fs.inotify.max_user_watches");
    if (error) tree_release(&r->tree);
    return error;
}

// Reports what changed since the catch-up mark, anywhere in the tree; the
// mark stays when records were dropped, for the next time.
void catch_up(inotify_reader *r) {
    int64_t since = r->catch_up_since;
    r->catch_up_since = -1;
    if (!walk_changed(r->directory, since, walk_record, r)) r->catch_up_since = since;
}

// Waits for events, or for the watcher to have taken every record while
// folders are dirty or a catch-up is owed; reports those changes in the
// latter case.
// A check of the tree put off while events kept coming is run once none
// has come for TREE_QUIET_MS. False with *error when waiting failed.
bool wait_for_events(inotify_reader *r, int *error) {
    for (;;) {
        if (tree_has_dirty(&r->tree) || r->catch_up_since >= 0) queue_want_drained(r->queue);
        pollfd ready[3] = {{r->fd, POLLIN, 0}, {r->queue->drained_fd, POLLIN, 0},
                           {r->table_fd, POLLPRI, 0}};
        bool listing = tree_links_pending(&r->tree);
        int timeout = listing ? 0 : tree_check_owed(&r->tree) ? TREE_QUIET_MS : -1;
        int walk_in = remote_wait_ms(&r->remote);
        if (walk_in >= 0 && (timeout < 0 || walk_in < timeout)) timeout = walk_in;
        int waited = poll(ready, 3, timeout);
        if (waited < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        // Due whatever else is ready: events that never pause must not put
        // the walk off for ever.
        bool moved = remote_walk_due(&r->remote, &r->lister, walk_record, r);
        if (moved || (ready[2].revents & (POLLPRI | POLLERR))) {
            // A mount over the root, or above it, changes what the field names.
            if ((*error = guard_check(&r->guard))) return false;
            if (!mount_watch_update(&r->mounts, mount_changed, r)) {
                queue_tell(r->queue, "the mount table cannot be read: mounts inside may be missed");
            }
            remote_tell(&r->remote, walk_record, r);
        }
        if (waited == 0 && listing) {
            tree_links_discover(&r->tree, queue_record, r->queue, LINK_FOLDERS_PER_TURN);
            continue;
        }
        if (waited == 0 && tree_check_owed(&r->tree)) {
            *error = tree_run_owed_check(&r->tree, queue_record, r->queue);
            if (*error) return false;
            continue;
        }
        if (ready[1].revents & POLLIN) {
            uint64_t count;
            ssize_t taken = read(r->queue->drained_fd, &count, sizeof count);
            (void)taken;
            if (queue_abandoned(r->queue)) {
                *error = ECANCELED;
                return false;
            }
            tree_report_dirty(&r->tree, walk_record, r);
            if (r->catch_up_since >= 0) catch_up(r);
        }
        if (ready[0].revents) return true;
    }
}

// Reads and translates until the watch ends; why it ended.
int follow(inotify_reader *r) {
    for (;;) {
        int error = 0;
        if (!wait_for_events(r, &error)) return error;
        // Events of this read were made after the last read that emptied
        // the kernel's queue began. Not the last read: one that filled the
        // buffer left older events queued, made while the reader was busy
        // (a paced walk, a long listing), and a mark from its start would
        // leave their files out of the walk for lost changes.
        int64_t since = r->empty_at;
        int64_t scanned = queue_drained_since(r->queue);
        int64_t started = now_ns();
        ssize_t length;
        do {
            length = read(r->fd, r->events, READ_SIZE);
        } while (length < 0 && errno == EINTR);
        if (length <= 0) return length < 0 ? errno : EIO;
        size_t size = static_cast<size_t>(length);
        // The kernel stops at an empty queue or at an event that does not fit.
        r->tree.stream.events_since = since;
        r->tree.stream.scanned_before = r->empty_scanned;
        if (size + LARGEST_EVENT <= READ_SIZE) {
            r->empty_at = started;
            r->empty_scanned = scanned;
        }
        queue_mark(r->queue, since);
        batch_parse(&r->batch, r->events, size);
        // Checked before any of it is reported: a path under a field that
        // names another folder by now is a path where no such file is.
        if (guard_touched(&r->guard, &r->batch)) {
            if ((error = guard_check(&r->guard))) return error;
        }
        if ((error = tree_handle_batch(&r->tree, &r->batch, size, queue_record, r->queue))) {
            return error;
        }
        // A folder moved may carry a mount point below it, which the mount
        // table shows but does not signal.
        if (r->table_fd >= 0 && batch_moves_folders(&r->batch)) {
            mount_watch_update(&r->mounts, mount_changed, r);
            remote_tell(&r->remote, walk_record, r);
        }
        // However busy the tree, the listing for linked files goes on.
        tree_links_discover(&r->tree, queue_record, r->queue, LINK_FOLDERS_PER_TURN);
    }
}

} // namespace

bool inotify_run(inotify_reader *r, const char *directory, record_queue *queue, bool may_switch,
                 int64_t catch_up_since, int *ended) {
    r->directory = directory;
    r->queue = queue;
    r->guard = root_guard{};
    r->fd = -1;
    r->may_switch = may_switch;
    r->limit_reached = false;
    r->followed = false;
    r->catch_up_since = catch_up_since;
    r->walked = 0;
    r->table_fd = -1;
    r->mounts_followed = false;
    r->mounts = mount_watch{};
    r->remote = remote_walks{};
    r->events = static_cast<unsigned char *>(malloc(READ_SIZE));
    r->batch = event_batch{};
    int error = r->events ? set_up(r) : ENOMEM;
    r->may_switch = false;
    bool switching = r->limit_reached;
    if (!error && switching) tree_release(&r->tree);
    if (!error && !switching) {
        // Said once the field is watched for good: the parts changed from
        // elsewhere, or that no mount is followed.
        if (!r->mounts_followed) queue_tell(r->queue, "the mount table cannot be read: mounts inside are not followed");
        remote_tell(&r->remote, walk_record, r);
        queue_set_up(r->queue);
        r->followed = true;
        // Linked files there before the watch began, written since through
        // another name, are reported once found.
        tree_links_start(&r->tree, r->empty_at);
        error = follow(r);
        tree_release(&r->tree);
    }
    guard_release(&r->guard);
    mount_watch_release(&r->mounts);
    remote_release(&r->remote);
    if (r->table_fd >= 0) close(r->table_fd);
    free(r->events);
    batch_release(&r->batch);
    // Closing the instance removes every watch it holds.
    if (r->fd >= 0) close(r->fd);
    *ended = error;
    return !switching;
}
