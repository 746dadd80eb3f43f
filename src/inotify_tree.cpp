// Translation of inotify events for a whole directory tree.
#include "inotify_tree.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

namespace {

const uint32_t FILE_EVENTS =
    IN_CREATE | IN_MODIFY | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// Writes to a file that is already unlinked name no file to scan.
const uint32_t DIRECTORY_MASK =
    FILE_EVENTS | IN_EXCL_UNLINK | IN_ONLYDIR | IN_DONT_FOLLOW;
// The root alone is followed through a symbolic link, as the user named it,
// and its own end ends the watch.
const uint32_t ROOT_MASK =
    FILE_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;
const uint32_t ROOT_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

const size_t EVENT_HEADER = sizeof(inotify_event);

struct sink {
    record_fn on_record;
    void *context;
};

void emit(const sink &s, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    s.on_record(s.context, &record);
}

// ---- watch descriptor index: linear probing, backward-shift deletion ----

size_t home_slot(const watch_tree *t, int wd) {
    return (static_cast<uint32_t>(wd) * 2654435761u) & (t->wd_slot_count - 1);
}

bool index_grow(watch_tree *t) {
    size_t count = t->wd_slot_count ? t->wd_slot_count * 2 : 64;
    int *slots = static_cast<int *>(malloc(count * sizeof *slots));
    if (!slots) return false;
    for (size_t i = 0; i < count; i++) slots[i] = -1;
    int *old = t->wd_slots;
    size_t old_count = t->wd_slot_count;
    t->wd_slots = slots;
    t->wd_slot_count = count;
    for (size_t i = 0; i < old_count; i++) {
        if (old[i] < 0) continue;
        size_t j = home_slot(t, t->nodes[old[i]].wd);
        while (slots[j] >= 0) j = (j + 1) & (count - 1);
        slots[j] = old[i];
    }
    free(old);
    return true;
}

bool index_insert(watch_tree *t, int node) {
    if ((t->wd_used + 1) * 2 > t->wd_slot_count && !index_grow(t)) return false;
    size_t j = home_slot(t, t->nodes[node].wd);
    while (t->wd_slots[j] >= 0) j = (j + 1) & (t->wd_slot_count - 1);
    t->wd_slots[j] = node;
    t->wd_used++;
    return true;
}

void index_remove(watch_tree *t, int wd) {
    if (!t->wd_slot_count) return;
    size_t mask = t->wd_slot_count - 1;
    size_t i = home_slot(t, wd);
    while (t->wd_slots[i] >= 0 && t->nodes[t->wd_slots[i]].wd != wd) i = (i + 1) & mask;
    if (t->wd_slots[i] < 0) return;
    for (size_t j = (i + 1) & mask; t->wd_slots[j] >= 0; j = (j + 1) & mask) {
        size_t k = home_slot(t, t->nodes[t->wd_slots[j]].wd);
        // Move j back into the hole at i unless its home lies cyclically in (i, j].
        bool stays = (i <= j) ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            t->wd_slots[i] = t->wd_slots[j];
            i = j;
        }
    }
    t->wd_slots[i] = -1;
    t->wd_used--;
}

// ---- nodes ----

char *copy_name(const char *name, size_t length) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, name, length);
    copy[length] = '\0';
    return copy;
}

void link_child(watch_tree *t, int node, int parent) {
    t->nodes[node].parent = parent;
    t->nodes[node].next_sibling = t->nodes[parent].first_child;
    t->nodes[parent].first_child = node;
}

void unlink_child(watch_tree *t, int node) {
    int parent = t->nodes[node].parent;
    if (parent < 0) return;
    int *link = &t->nodes[parent].first_child;
    while (*link >= 0 && *link != node) link = &t->nodes[*link].next_sibling;
    if (*link == node) *link = t->nodes[node].next_sibling;
    t->nodes[node].parent = -1;
    t->nodes[node].next_sibling = -1;
}

// A new node for wd under parent (-1 for the root); -1 when memory ran out.
int new_node(watch_tree *t, int wd, int parent, const char *name, size_t length) {
    char *copy = copy_name(name, length);
    if (!copy) return -1;
    int node = t->free_slot;
    if (node >= 0) {
        t->free_slot = t->nodes[node].next_sibling;
    } else {
        if (t->node_count == t->node_capacity) {
            int capacity = t->node_capacity ? t->node_capacity * 2 : 64;
            void *grown = realloc(t->nodes, static_cast<size_t>(capacity) * sizeof *t->nodes);
            if (!grown) {
                free(copy);
                return -1;
            }
            t->nodes = static_cast<tree_node *>(grown);
            t->node_capacity = capacity;
        }
        node = t->node_count++;
    }
    tree_node &n = t->nodes[node];
    n.wd = wd;
    n.parent = -1;
    n.first_child = -1;
    n.next_sibling = -1;
    n.mark = t->mark;
    n.reported = false;
    n.name = copy;
    if (!index_insert(t, node)) {
        free(copy);
        n.name = nullptr;
        n.next_sibling = t->free_slot;
        t->free_slot = node;
        return -1;
    }
    if (parent >= 0) link_child(t, node, parent);
    return node;
}

bool push_work(watch_tree *t, int node) {
    if (t->work_count == t->work_capacity) {
        int capacity = t->work_capacity ? t->work_capacity * 2 : 64;
        void *grown = realloc(t->work, static_cast<size_t>(capacity) * sizeof *t->work);
        if (!grown) return false;
        t->work = static_cast<int *>(grown);
        t->work_capacity = capacity;
    }
    t->work[t->work_count++] = node;
    return true;
}

// Forgets node and everything below it; removes their kernel watches unless
// the kernel already did.
void forget(watch_tree *t, int node, bool remove_watches) {
    unlink_child(t, node);
    int stack = node; // chained through next_sibling, which is free now
    t->nodes[node].next_sibling = -1;
    while (stack >= 0) {
        int n = stack;
        stack = t->nodes[n].next_sibling;
        for (int c = t->nodes[n].first_child; c >= 0;) {
            int next = t->nodes[c].next_sibling;
            t->nodes[c].next_sibling = stack;
            stack = c;
            c = next;
        }
        if (remove_watches) t->ops.remove_watch(t->ops.context, t->nodes[n].wd);
        index_remove(t, t->nodes[n].wd);
        if (t->move_pending && t->move_node == n) t->move_node = -1;
        free(t->nodes[n].name);
        t->nodes[n].name = nullptr;
        t->nodes[n].wd = -1;
        t->nodes[n].parent = -1;
        t->nodes[n].first_child = -1;
        t->nodes[n].next_sibling = t->free_slot;
        t->free_slot = n;
    }
}

bool is_below(const watch_tree *t, int node, int ancestor) {
    for (int n = node, steps = 0; n >= 0 && steps <= t->node_count; n = t->nodes[n].parent, steps++) {
        if (n == ancestor) return true;
    }
    return false;
}

// Puts node under parent with a new name: the truth the kernel just told.
void relocate(watch_tree *t, int node, int parent, const char *name, size_t length) {
    if (node == TREE_ROOT || is_below(t, parent, node)) return;
    tree_node &n = t->nodes[node];
    if (n.parent != parent || strlen(n.name) != length || memcmp(n.name, name, length) != 0) {
        char *copy = copy_name(name, length);
        if (!copy) return; // keeps the old place: a stale name beats none
        free(n.name);
        n.name = copy;
        unlink_child(t, node);
        link_child(t, node, parent);
    }
}

int child_named(const watch_tree *t, int parent, const char *name, size_t length) {
    for (int c = t->nodes[parent].first_child; c >= 0; c = t->nodes[c].next_sibling) {
        if (strlen(t->nodes[c].name) == length && memcmp(t->nodes[c].name, name, length) == 0) return c;
    }
    return -1;
}

// ---- paths ----

// Relative path of node, then "/" and name when name is given.
bool build_relative(const watch_tree *t, int node, const char *name, size_t name_length,
                    char *out, size_t capacity) {
    size_t length = name ? name_length : 0;
    int steps = 0;
    for (int n = node; n != TREE_ROOT; n = t->nodes[n].parent) {
        if (n < 0 || ++steps > t->node_count) return false; // not a tree: refuse
        length += strlen(t->nodes[n].name) + 1;
    }
    if (!name && length) length--; // no separator after the last directory
    if (length >= capacity) return false;
    size_t end = length;
    out[end] = '\0';
    if (name) {
        end -= name_length;
        memcpy(out + end, name, name_length);
        if (end) out[--end] = '/';
    }
    for (int n = node; n != TREE_ROOT; n = t->nodes[n].parent) {
        size_t part = strlen(t->nodes[n].name);
        end -= part;
        memcpy(out + end, t->nodes[n].name, part);
        if (end) out[--end] = '/';
    }
    return true;
}

// The path of node's directory (then "/" and name, when given) for system
// calls, into t->path.
bool build_system_path(watch_tree *t, int node, const char *name, size_t name_length) {
    size_t root_length = strlen(t->root);
    if (root_length + 1 >= sizeof t->path) return false;
    memcpy(t->path, t->root, root_length);
    if (node == TREE_ROOT && !name) {
        t->path[root_length] = '\0';
        return true;
    }
    t->path[root_length] = '/';
    return build_relative(t, node, name, name_length, t->path + root_length + 1,
                          sizeof t->path - root_length - 1);
}

void describe_error(watch_tree *t, int error) {
    if (error == ENOSPC) {
        snprintf(t->detail, sizeof t->detail,
                 "inotify watch limit reached, raise fs.inotify.max_user_watches");
    } else if (error == ENOMEM) {
        snprintf(t->detail, sizeof t->detail, "out of memory");
    } else {
        char text[128];
        const char *message = strerror_r(error, text, sizeof text);
        snprintf(t->detail, sizeof t->detail, "%s", message);
    }
}

// A directory below node, named name, that cannot be watched.
void unwatched(watch_tree *t, const sink &s, int node, const char *name, size_t length, int error) {
    describe_error(t, error);
    if (!build_relative(t, node, name, length, t->relative, sizeof t->relative)) {
        // Too long to name whole: the watcher names what it can.
        size_t n = length < sizeof t->relative - 1 ? length : sizeof t->relative - 1;
        memcpy(t->relative, name, n);
        t->relative[n] = '\0';
    }
    emit(s, RECORD_UNWATCHED, t->relative, t->detail);
}

void report_file(watch_tree *t, const sink &s, int node, const char *name, size_t length) {
    if (build_relative(t, node, name, length, t->relative, sizeof t->relative)) {
        emit(s, RECORD_CHANGE, t->relative, nullptr);
        return;
    }
    size_t n = length < sizeof t->relative - 1 ? length : sizeof t->relative - 1;
    memcpy(t->relative, name, n);
    t->relative[n] = '\0';
    emit(s, RECORD_UNREPRESENTABLE, t->relative, nullptr);
}

// ---- watching ----

enum list_mode {
    LIST_SETUP,   // the tree as it stands at start: its files are not changes
    LIST_ARRIVED, // a directory that appeared: every file in it is a change
    LIST_RESCAN,  // after lost events: watch everything again
};

// Watches directory name below parent and queues it for listing when it is
// new, when it appeared but was only listed at set-up (it arrived while the
// tree was being set up), or in a rescan.
void add_directory(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                   list_mode mode) {
    if (!build_system_path(t, parent, name, length)) {
        unwatched(t, s, parent, name, length, ENAMETOOLONG);
        return;
    }
    int wd = t->ops.add_watch(t->ops.context, t->path, DIRECTORY_MASK);
    if (wd < 0) {
        // Gone or replaced since it was seen: its own events tell the rest.
        if (wd != -ENOENT && wd != -ENOTDIR) unwatched(t, s, parent, name, length, -wd);
        return;
    }
    int node = tree_find(t, wd);
    if (node == TREE_ROOT) return; // the root seen again through a mount
    if (node >= 0) {
        relocate(t, node, parent, name, length);
        t->nodes[node].mark = t->mark;
        bool again = mode == LIST_RESCAN || (mode == LIST_ARRIVED && !t->nodes[node].reported);
        if (again && !push_work(t, node)) unwatched(t, s, parent, name, length, ENOMEM);
        return;
    }
    node = new_node(t, wd, parent, name, length);
    if (node < 0 || !push_work(t, node)) {
        if (node >= 0) forget(t, node, true);
        else t->ops.remove_watch(t->ops.context, wd);
        unwatched(t, s, parent, name, length, ENOMEM);
    }
}

void mark_subtree(watch_tree *t, int node) {
    t->nodes[node].mark = t->mark;
    for (int c = t->nodes[node].first_child; c >= 0; c = t->nodes[c].next_sibling) {
        // Depth is bounded by the path capacity, since deeper paths are never watched.
        mark_subtree(t, c);
    }
}

// Lists every queued directory, watching the directories inside. Files in a
// directory that arrived are reported: they may have been written before its
// watch existed.
void list_queued(watch_tree *t, const sink &s, list_mode mode) {
    bool report_files = mode == LIST_ARRIVED;
    while (t->work_count) {
        int node = t->work[--t->work_count];
        if (t->nodes[node].wd < 0) continue;
        if (report_files) t->nodes[node].reported = true;
        if (!build_system_path(t, node, nullptr, 0)) continue; // reported when watched
        int error = 0;
        void *directory = t->ops.open_directory(t->ops.context, t->path, node == TREE_ROOT, &error);
        if (!directory) {
            if (error == ENOENT || error == ENOTDIR) continue;
            // Watched but not listed: what lies below stays as known.
            mark_subtree(t, node);
            const char *name = t->nodes[node].name;
            if (node == TREE_ROOT) {
                describe_error(t, error);
                emit(s, RECORD_UNWATCHED, "", t->detail);
            } else {
                unwatched(t, s, t->nodes[node].parent, name, strlen(name), error);
            }
            continue;
        }
        bool is_directory = false;
        while (const char *entry = t->ops.next_entry(t->ops.context, directory, &is_directory)) {
            if (is_directory) {
                add_directory(t, s, node, entry, strlen(entry), mode);
            } else if (report_files) {
                report_file(t, s, node, entry, strlen(entry));
            }
        }
        t->ops.close_directory(t->ops.context, directory);
    }
}

// After lost events the kernel's view is the only truth: watch what is there,
// forget what is not.
void rescan(watch_tree *t, const sink &s) {
    t->mark++;
    t->nodes[TREE_ROOT].mark = t->mark;
    t->work_count = 0;
    if (!push_work(t, TREE_ROOT)) return;
    list_queued(t, s, LIST_RESCAN);
    for (int n = 1; n < t->node_count; n++) {
        if (t->nodes[n].wd >= 0 && t->nodes[n].mark != t->mark && t->nodes[n].parent >= 0) {
            forget(t, n, true);
        }
    }
}

// A directory moved away and not moved back in: it left the tree.
void settle_move(watch_tree *t) {
    if (!t->move_pending) return;
    t->move_pending = false;
    if (t->move_node >= 0) forget(t, t->move_node, true);
}

void directory_arrived(watch_tree *t, const sink &s, int parent, const char *name, size_t length) {
    add_directory(t, s, parent, name, length, LIST_ARRIVED);
    list_queued(t, s, LIST_ARRIVED);
}

// A directory renamed inside the tree keeps its watches; the kernel confirms
// that the directory now at the new name is the one that moved.
void directory_moved(watch_tree *t, const sink &s, int node, int parent, const char *name,
                     size_t length) {
    if (!build_system_path(t, parent, name, length)) {
        forget(t, node, true);
        unwatched(t, s, parent, name, length, ENAMETOOLONG);
        return;
    }
    int wd = t->ops.add_watch(t->ops.context, t->path, DIRECTORY_MASK);
    if (wd == t->nodes[node].wd || wd == -ENOENT || wd == -ENOTDIR) {
        // Moved on again already: the next events say where.
        relocate(t, node, parent, name, length);
        return;
    }
    if (wd < 0) {
        forget(t, node, true);
        unwatched(t, s, parent, name, length, -wd);
        return;
    }
    // Another directory stands there now: take it as one that arrived.
    directory_arrived(t, s, parent, name, length);
}

} // namespace

int tree_find(const watch_tree *t, int wd) {
    if (!t->wd_slot_count) return -1;
    for (size_t i = home_slot(t, wd);; i = (i + 1) & (t->wd_slot_count - 1)) {
        int node = t->wd_slots[i];
        if (node < 0) return -1;
        if (t->nodes[node].wd == wd) return node;
    }
}

bool tree_relative_path(const watch_tree *t, int node, char *out, size_t capacity) {
    return build_relative(t, node, nullptr, 0, out, capacity);
}

int tree_start(watch_tree *t, const char *root, const tree_ops *ops, record_fn on_record,
               void *context) {
    memset(t, 0, sizeof *t);
    t->root = root;
    t->ops = *ops;
    t->free_slot = -1;
    t->move_node = -1;
    sink s = {on_record, context};
    if (strlen(root) >= sizeof t->path) return ENAMETOOLONG;
    int wd = t->ops.add_watch(t->ops.context, root, ROOT_MASK);
    if (wd < 0) return -wd;
    if (new_node(t, wd, -1, "", 0) != TREE_ROOT || !push_work(t, TREE_ROOT)) return ENOMEM;
    list_queued(t, s, LIST_SETUP);
    return 0;
}

int tree_handle_events(watch_tree *t, const unsigned char *events, size_t length,
                       record_fn on_record, void *context) {
    sink s = {on_record, context};
    size_t offset = 0;
    while (offset < length) {
        inotify_event event;
        if (length - offset < EVENT_HEADER) {
            emit(s, RECORD_UNREADABLE, nullptr, nullptr);
            return 0;
        }
        memcpy(&event, events + offset, EVENT_HEADER);
        if (event.len > length - offset - EVENT_HEADER) {
            emit(s, RECORD_UNREADABLE, nullptr, nullptr);
            return 0;
        }
        const char *name = reinterpret_cast<const char *>(events + offset + EVENT_HEADER);
        size_t name_length = strnlen(name, event.len);
        offset += EVENT_HEADER + event.len;

        if (event.mask & IN_Q_OVERFLOW) {
            settle_move(t);
            emit(s, RECORD_LOST, nullptr, nullptr);
            rescan(t, s);
            continue;
        }
        if (t->move_pending && !((event.mask & IN_MOVED_TO) && event.cookie == t->move_cookie)) {
            settle_move(t);
        }
        int node = tree_find(t, event.wd);
        if (node < 0) continue; // a watch already forgotten
        if (node == TREE_ROOT && (event.mask & ROOT_GONE)) return ENOENT;
        if (event.mask & IN_IGNORED) {
            forget(t, node, false);
            continue;
        }
        if (name_length == 0) continue;
        if (event.mask & IN_ISDIR) {
            // Directories are followed, not reported: their files are.
            if (event.mask & IN_CREATE) {
                directory_arrived(t, s, node, name, name_length);
            } else if (event.mask & IN_MOVED_FROM) {
                t->move_pending = true;
                t->move_cookie = event.cookie;
                t->move_node = child_named(t, node, name, name_length);
            } else if (event.mask & IN_MOVED_TO) {
                int moved = t->move_pending ? t->move_node : -1;
                t->move_pending = false;
                if (moved >= 0) {
                    directory_moved(t, s, moved, node, name, name_length);
                } else {
                    directory_arrived(t, s, node, name, name_length);
                }
            }
            // A deleted directory is forgotten on its own IN_IGNORED.
            continue;
        }
        if (event.mask & FILE_EVENTS) report_file(t, s, node, name, name_length);
    }
    return 0;
}

void tree_release(watch_tree *t) {
    for (int n = 0; n < t->node_count; n++) free(t->nodes[n].name);
    free(t->nodes);
    free(t->wd_slots);
    free(t->work);
    t->nodes = nullptr;
    t->wd_slots = nullptr;
    t->work = nullptr;
    t->node_count = t->node_capacity = t->work_count = t->work_capacity = 0;
    t->wd_slot_count = t->wd_used = 0;
}
