// Mounts inside a fanotify field that refuse its mark, watched with inotify.
#include "fanotify_subtrees.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "inotify_queue.h"
#include "linked_watch.h"
#include "tree_links.h"
#include "wall_clock.h"

namespace {

// As the inotify reader's: one read, and the largest event.
const size_t READ_SIZE = 64 * 1024;
const size_t LARGEST_EVENT = sizeof(inotify_event) + NAME_MAX + 1;

int part_add_watch(void *context, void *directory, uint32_t mask) {
    char path[32];
    kernel_folder_path(directory, path, sizeof path);
    int wd = inotify_add_watch(static_cast<subtree *>(context)->fd, path, mask);
    return wd < 0 ? -errno : wd;
}

void part_remove_watch(void *context, int wd) { inotify_rm_watch(static_cast<subtree *>(context)->fd, wd); }

size_t part_queued_bytes(void *context) { return inotify_queued_bytes(static_cast<subtree *>(context)->fd); }

int part_watch_linked(void *context, void *directory, const char *name, bool watch, linked_stat *file) {
    return inotify_watch_linked(static_cast<subtree *>(context)->fd, directory, name, watch, file);
}

// The record with the part's path in front of its own; what no path can
// name whole is named by its last name.
watch_record in_front(subtrees *s, const watch_record *record) {
    watch_record out = *record;
    if ((record->kind != RECORD_CHANGE && record->kind != RECORD_UNWATCHED) || !record->path) return out;
    const char *relative = s->current->relative;
    int n = record->path[0] ? snprintf(s->path, sizeof s->path, "%s/%s", relative, record->path)
                            : snprintf(s->path, sizeof s->path, "%s", relative);
    if (n >= 0 && static_cast<size_t>(n) < sizeof s->path) {
        out.path = s->path;
        return out;
    }
    const char *slash = strrchr(record->path, '/');
    const char *name = slash ? slash + 1 : record->path;
    return last_name_record(record->kind, name, strlen(name), s->path, sizeof s->path, record->detail);
}

bool part_record(void *context, const watch_record *record) {
    subtrees *s = static_cast<subtrees *>(context);
    watch_record out = in_front(s, record);
    return queue_push(s->queue, &out);
}

// A walk for lost changes, handed over at the watcher's pace.
bool part_walk_record(void *context, const watch_record *record) {
    subtrees *s = static_cast<subtrees *>(context);
    watch_record out = in_front(s, record);
    return queue_push_paced(s->queue, &out, &s->walked);
}

void tell(subtrees *s, const char *relative, const char *why) {
    watch_record record = {RECORD_UNWATCHED, relative, why};
    queue_push(s->queue, &record);
}

void free_part(subtree *p) {
    if (p->tree_started) tree_release(&p->tree);
    guard_release(&p->guard);
    // Closing the instance removes every watch it holds.
    if (p->fd >= 0) close(p->fd);
    free(p->relative);
    free(p->point);
    free(p);
}

// Reads what the part's instance holds; false when the part is given up
// (its root unmounted, or moved by a rename above it).
bool read_part(subtrees *s, subtree *p, int64_t reader_since) {
    for (;;) {
        int64_t since = p->empty_at;
        int64_t scanned = queue_drained_since(s->queue);
        int64_t started = now_ns();
        ssize_t length = read(p->fd, s->events, READ_SIZE);
        if (length < 0 && errno == EINTR) continue;
        if (length < 0 && errno == EAGAIN) {
            p->empty_at = started;
            p->empty_scanned = scanned;
            return true;
        }
        if (length <= 0) {
            char text[128];
            tell(s, p->relative, strerror_r(length < 0 ? errno : EIO, text, sizeof text));
            return false;
        }
        size_t size = static_cast<size_t>(length);
        p->tree.stream.events_since = since;
        p->tree.stream.scanned_before = p->empty_scanned;
        bool emptied = size + LARGEST_EVENT <= READ_SIZE;
        if (emptied) {
            p->empty_at = started;
            p->empty_scanned = scanned;
        }
        queue_mark(s->queue, subtrees_mark(s, since < reader_since ? since : reader_since));
        // Before any of it is handed on: a path under a moved mount point is
        // a path where no such file is.
        batch_parse(&s->batch, s->events, size);
        if (guard_touched(&p->guard, &s->batch) && guard_check(&p->guard)) {
            s->moved = true;
            return false;
        }
        s->current = p;
        if (tree_handle_batch(&p->tree, &s->batch, size, part_record, s)) return false;
        if (emptied) return true;
    }
}

void remove_at(subtrees *s, int i) {
    free_part(s->items[i]);
    s->items[i] = s->items[--s->count];
}

} // namespace

void subtrees_init(subtrees *s, record_queue *queue) {
    memset(s, 0, sizeof *s);
    s->queue = queue;
}

void subtrees_add(subtrees *s, int mount_id, const char *point, const char *relative) {
    for (int i = 0; i < s->count; i++) {
        if (s->items[i]->mount_id == mount_id) return;
    }
    if (!s->events && !(s->events = static_cast<unsigned char *>(malloc(READ_SIZE)))) {
        tell(s, relative, "out of memory");
        return;
    }
    if (s->count == SUBTREES) {
        tell(s, relative, "too many mounts inside refuse a fanotify mark");
        return;
    }
    subtree *p = static_cast<subtree *>(calloc(1, sizeof(subtree)));
    if (!p || !(p->relative = strdup(relative)) || !(p->point = strdup(point))) {
        if (p) free_part(p);
        tell(s, relative, "out of memory");
        return;
    }
    p->mount_id = mount_id;
    p->fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    int error = p->fd < 0 ? errno : guard_start(&p->guard, p->fd, p->point);
    if (!error) error = kernel_root_init(&p->lister_root, p->point);
    if (!error) {
        tree_ops ops = {kernel_lister(&p->lister_root), part_add_watch, part_remove_watch,
                        part_queued_bytes, p, part_watch_linked};
        p->empty_at = now_ns();
        p->empty_scanned = queue_drained_since(s->queue);
        s->current = p;
        p->tree_started = true;
        error = tree_start(&p->tree, p->point, &ops, part_record, s);
    }
    if (error) {
        char text[128];
        tell(s, relative, error == EMFILE ? "inotify instance limit reached, raise fs.inotify.max_user_instances"
                                          : strerror_r(error, text, sizeof text));
        free_part(p);
        return;
    }
    // Linked files there before the watch began, written since through
    // another name, are reported once found.
    tree_links_start(&p->tree, p->empty_at);
    s->items[s->count++] = p;
}

void subtrees_remove(subtrees *s, int mount_id) {
    for (int i = 0; i < s->count; i++) {
        if (s->items[i]->mount_id == mount_id) {
            remove_at(s, i);
            return;
        }
    }
}

int subtrees_poll_fds(const subtrees *s, pollfd *fds) {
    for (int i = 0; i < s->count; i++) fds[i] = pollfd{s->items[i]->fd, POLLIN, 0};
    return s->count;
}

bool subtrees_listing(const subtrees *s) {
    for (int i = 0; i < s->count; i++) {
        if (tree_links_pending(&s->items[i]->tree)) return true;
    }
    return false;
}

int subtrees_timeout(const subtrees *s) {
    if (subtrees_listing(s)) return 0;
    for (int i = 0; i < s->count; i++) {
        if (tree_check_owed(&s->items[i]->tree)) return TREE_QUIET_MS;
    }
    return -1;
}

int64_t subtrees_mark(const subtrees *s, int64_t since) {
    for (int i = 0; i < s->count; i++) {
        if (s->items[i]->empty_at < since) since = s->items[i]->empty_at;
    }
    return since;
}

void subtrees_handle(subtrees *s, const pollfd *fds, int count, int64_t polled_at,
                     int64_t polled_scanned, int64_t reader_since, bool timed_out) {
    for (int i = 0; i < s->count;) {
        subtree *p = s->items[i];
        // Matched by descriptor: parts may have come and gone since the poll.
        const pollfd *f = nullptr;
        for (int j = 0; j < count && !f; j++) f = fds[j].fd == p->fd ? &fds[j] : nullptr;
        bool keep = true;
        if (f && (f->revents & POLLIN)) {
            keep = read_part(s, p, reader_since);
        } else if (f) {
            // Found empty at some moment after the poll began.
            p->empty_at = polled_at;
            p->empty_scanned = polled_scanned;
            s->current = p;
            if (timed_out && tree_check_owed(&p->tree)) {
                keep = tree_run_owed_check(&p->tree, part_record, s) == 0;
            }
        }
        if (!keep) {
            remove_at(s, i);
            continue;
        }
        // However busy the part, the listing for linked files goes on.
        s->current = p;
        tree_links_discover(&p->tree, part_record, s, LINK_FOLDERS_PER_TURN);
        i++;
    }
}

bool subtrees_dirty(const subtrees *s) {
    for (int i = 0; i < s->count; i++) {
        if (tree_has_dirty(&s->items[i]->tree)) return true;
    }
    return false;
}

void subtrees_report_dirty(subtrees *s) {
    for (int i = 0; i < s->count; i++) {
        s->current = s->items[i];
        tree_report_dirty(&s->items[i]->tree, part_walk_record, s);
    }
}

void subtrees_release(subtrees *s) {
    while (s->count) remove_at(s, s->count - 1);
    free(s->events);
    s->events = nullptr;
    batch_release(&s->batch);
}
