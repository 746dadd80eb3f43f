// Translation of inotify events for a whole directory tree.
#include "inotify_tree.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

namespace {

const uint32_t FILE_EVENTS =
    IN_CREATE | IN_MODIFY | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// Writes to a file that is already unlinked name no file to scan. Masks are
// only ever added to: the root seen again through a mount inside the tree
// keeps the events that tell its own end.
const uint32_t DIRECTORY_MASK =
    FILE_EVENTS | IN_EXCL_UNLINK | IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_ADD;
// The root alone is followed through a symbolic link, as the user named it,
// and its own end ends the watch.
const uint32_t ROOT_MASK =
    FILE_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;
const uint32_t ROOT_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

const size_t EVENT_HEADER = sizeof(inotify_event);

// A node's mark says how far the tree can trust where it has it. From
// FIRST_MARK up: PLACED_BY_EVENTS, or the batch (the tree's count of reads,
// rescans and set-up) whose listing placed it. A listing sees the file
// system as it is, ahead of the events still queued, so a name it gave can
// be one the directory takes only later; that lasts until the events queued
// before it are read, taken to be by the end of the next batch. Below
// FIRST_MARK, flags of work left for the end of the batch, for a directory
// that may not stand at the path the tree knows for it: MISSED, a new
// subdirectory could not be watched, UNLISTED, it could not be listed, both
// because a rename of it or above it was still to be read (they are tried
// again once the path holds); SUSPECT, placed by a guess, to be confirmed.
// The root's mark is MARK_BELOW while any node is flagged.
const unsigned MARK_BELOW = 0;
const unsigned MARK_MISSED = 1;
const unsigned MARK_UNLISTED = 2;
const unsigned MARK_SUSPECT = 4;
const unsigned FIRST_MARK = 8;
const unsigned PLACED_BY_EVENTS = FIRST_MARK;

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

// Forgets node and everything below it, removing their kernel watches; the
// node's own is left alone when the kernel already dropped it (the watches
// below it may still be alive, as on a mount inside an unmounted one).
void forget(watch_tree *t, int node, bool own_watch_gone) {
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
        if (n != node || !own_watch_gone) t->ops.remove_watch(t->ops.context, t->nodes[n].wd);
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

bool has_name(const watch_tree *t, int node, const char *name, size_t length) {
    return strlen(t->nodes[node].name) == length && memcmp(t->nodes[node].name, name, length) == 0;
}

// Puts node under parent with a new name: the truth the kernel just told.
// True when it moved.
bool relocate(watch_tree *t, int node, int parent, const char *name, size_t length) {
    if (node == TREE_ROOT || is_below(t, parent, node)) return false;
    tree_node &n = t->nodes[node];
    if (n.parent == parent && has_name(t, node, name, length)) return false;
    char *copy = copy_name(name, length);
    if (!copy) return false; // keeps the old place: a stale name beats none
    free(n.name);
    n.name = copy;
    unlink_child(t, node);
    link_child(t, node, parent);
    return true;
}

int child_named(const watch_tree *t, int parent, const char *name, size_t length) {
    for (int c = t->nodes[parent].first_child; c >= 0; c = t->nodes[c].next_sibling) {
        if (has_name(t, c, name, length)) return c;
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

// The node after n in a walk of top's subtree, or -1. Without recursion:
// renames can stack directories deeper than any path.
int next_below(const watch_tree *t, int top, int n) {
    if (t->nodes[n].first_child >= 0) return t->nodes[n].first_child;
    while (n != top && t->nodes[n].next_sibling < 0) n = t->nodes[n].parent;
    return n == top ? -1 : t->nodes[n].next_sibling;
}

enum list_mode {
    LIST_SETUP,   // the tree as it stands at start: its files are not changes
    LIST_ARRIVED, // a directory that appeared: every file in it is a change
    LIST_RESCAN,  // after lost events: watch everything again
    LIST_MISSED,  // a directory that was missed: only the subdirectories it lacks
    LIST_CREATED,  // a directory created: as arrived, but never one the tree knew
    LIST_MOVED_IN, // a directory moved in from outside: all of it again, even if known
};

// Whether node's directory still stands at the path the tree knows for it.
bool still_there(watch_tree *t, int node) {
    if (!build_system_path(t, node, nullptr, 0)) return false;
    int wd = t->ops.add_watch(t->ops.context, t->path, DIRECTORY_MASK);
    // Not to be kept: a directory found here that the tree does not know is
    // watched when its own event comes.
    if (wd >= 0 && tree_find(t, wd) < 0) t->ops.remove_watch(t->ops.context, wd);
    return wd == t->nodes[node].wd;
}

void flag_missed(watch_tree *t, int node, unsigned flag) {
    unsigned mark = t->nodes[node].mark;
    t->nodes[node].mark = (mark < FIRST_MARK ? mark : 0) | flag;
    t->nodes[TREE_ROOT].mark = MARK_BELOW;
}

// Where the tree has node follows from the events read, not from a listing
// that may be ahead of them.
bool placed_by_events(const watch_tree *t, int node) {
    unsigned mark = t->nodes[node].mark;
    return mark == PLACED_BY_EVENTS || (mark > PLACED_BY_EVENTS && mark + 1 < t->mark);
}

// Whether a listing just finished saw the file system as the events read so
// far leave it: no event is waiting, so none was made before or during it.
bool listing_in_step(const watch_tree *t) {
    return t->ops.events_pending && t->batch_left == 0 && !t->ops.events_pending(t->ops.context);
}

// Counts a batch; at the end of the count, the marks start again (listings
// long past are as good as events).
void next_batch(watch_tree *t) {
    if (t->mark == UINT_MAX) {
        for (int n = 0; n < t->node_count; n++) {
            if (t->nodes[n].mark >= FIRST_MARK) t->nodes[n].mark = PLACED_BY_EVENTS;
        }
        t->mark = FIRST_MARK + 1;
    }
    t->mark++;
}

// A rename read and confirmed: the node's place follows the events again.
void placed_by_rename(watch_tree *t, int node) {
    unsigned mark = t->nodes[node].mark & ~MARK_SUSPECT;
    t->nodes[node].mark = mark >= FIRST_MARK || mark == 0 ? PLACED_BY_EVENTS : mark;
}

// The child that left parent's name, for a directory's IN_MOVED_FROM. When
// the tree holds two of that name (one was found by a listing, or created,
// before the rename was read), the one that moved no longer stands there.
int moved_child(watch_tree *t, int parent, const char *name, size_t length) {
    int first = child_named(t, parent, name, length);
    if (first < 0) return -1;
    int other = first;
    for (int c = t->nodes[first].next_sibling; c >= 0; c = t->nodes[c].next_sibling) {
        if (has_name(t, c, name, length)) other = c;
    }
    if (other == first) return first;
    // The others that do not stand there either left unseen: checked at the
    // end of the batch.
    int moved = -1;
    for (int c = first; c >= 0; c = t->nodes[c].next_sibling) {
        if (!has_name(t, c, name, length) || still_there(t, c)) continue;
        if (moved < 0) moved = c;
        else flag_missed(t, c, MARK_SUSPECT);
    }
    return moved >= 0 ? moved : first;
}

// In a rescan, keeps top and what lies below it as known.
void keep_subtree(watch_tree *t, int top) {
    for (int n = top; n >= 0; n = next_below(t, top, n)) t->nodes[n].mark = t->mark;
}

// In a rescan, for a directory that cannot be listed: the subdirectories the
// tree knows in it are listed in turn if they still stand there (nothing
// else tells whether they left); those whose paths are too long to ask
// about are kept as they are.
void rescan_known_children(watch_tree *t, int node) {
    t->nodes[node].mark = t->mark;
    for (int c = t->nodes[node].first_child; c >= 0; c = t->nodes[c].next_sibling) {
        if (!build_system_path(t, c, nullptr, 0)) {
            keep_subtree(t, c);
        } else if (t->nodes[c].mark != t->mark && still_there(t, c)) {
            t->nodes[c].mark = t->mark;
            push_work(t, c); // without room, kept as known, unlisted
        }
    }
}

// Watches directory name below parent and queues it for listing when it is
// new, when it appeared but was only listed at set-up (it arrived while the
// tree was being set up), when it was found where no event said it went, or
// in a rescan. check_parent: name comes from an event read after the fact,
// so parent's path may be another directory's by now.
void add_directory(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                   list_mode mode, bool check_parent = false) {
    if (!build_system_path(t, parent, name, length)) {
        // One the tree watches already (renames took it this deep) stays.
        int known = child_named(t, parent, name, length);
        if (known < 0) unwatched(t, s, parent, name, length, ENAMETOOLONG);
        else if (mode == LIST_RESCAN) keep_subtree(t, known);
        return;
    }
    int wd = t->ops.add_watch(t->ops.context, t->path, DIRECTORY_MASK);
    if (wd == -ENOENT || wd == -ENOTDIR) {
        // Gone or replaced since it was seen, and its own events tell the
        // rest; unless the parent's path no longer holds, when nothing would:
        // the parent is looked at again once it does. (A rescan lists the
        // paths as they are.) One the tree knows by this name but never
        // listed whole (a listing found it before its event came) has moved
        // on with its files still due: it is listed where it stands then.
        if (mode == LIST_RESCAN) return;
        int known = check_parent ? child_named(t, parent, name, length) : -1;
        if (known >= 0 && !t->nodes[known].reported) flag_missed(t, known, MARK_UNLISTED);
        if (parent != TREE_ROOT && !still_there(t, parent)) flag_missed(t, parent, MARK_MISSED);
        return;
    }
    if (wd < 0) {
        unwatched(t, s, parent, name, length, -wd);
        return;
    }
    int node = tree_find(t, wd);
    if (check_parent && parent != TREE_ROOT && !still_there(t, parent)) {
        // Found through a path that another directory holds by now: not
        // necessarily the parent's child. Looked at once the path holds.
        if (node < 0) t->ops.remove_watch(t->ops.context, wd);
        flag_missed(t, parent, MARK_MISSED);
        return;
    }
    if (node == TREE_ROOT) return; // the root seen again through a mount
    if (node >= 0 && mode == LIST_CREATED) {
        bool elsewhere = t->nodes[node].parent != parent || !has_name(t, node, name, length);
        unsigned mark = t->nodes[node].mark;
        // A directory the tree knew before cannot be the one created: a
        // rename brought it here, and its events place it; unless the tree
        // placed it by a guess, which this corrects.
        if (elsewhere && !(mark < FIRST_MARK && (mark & MARK_SUSPECT))) return;
    }
    if (mode == LIST_CREATED) mode = LIST_ARRIVED;
    if (node >= 0 && mode == LIST_MOVED_IN) {
        // Known from before it left: what is in it may have changed since.
        for (int n = node; n >= 0; n = next_below(t, node, n)) t->nodes[n].reported = false;
        mode = LIST_ARRIVED;
    }
    if (node >= 0) {
        bool moved = relocate(t, node, parent, name, length);
        // Placed by a listing now (a rescan marks what it sees below).
        if (moved && mode != LIST_RESCAN && t->nodes[node].mark >= FIRST_MARK) {
            t->nodes[node].mark = t->mark;
        }
        if (mode == LIST_MISSED) return; // its own events tell the rest
        if (moved && mode == LIST_ARRIVED && !check_parent) {
            // Found inside a directory that just arrived, where no event
            // could say it went: where it was meanwhile is unknown, and what
            // is in it may have changed unseen. (One found at the name of
            // an event was renamed there within the tree: its events are
            // read, or still to be.)
            for (int n = node; n >= 0; n = next_below(t, node, n)) t->nodes[n].reported = false;
        }
        bool again = mode == LIST_ARRIVED && !t->nodes[node].reported;
        if (mode == LIST_RESCAN) {
            // Listed once per rescan: a mount can show a directory inside
            // itself. (Other listings keep the flags of missed directories.)
            again = t->nodes[node].mark != t->mark;
            t->nodes[node].mark = t->mark;
        }
        if (again && !push_work(t, node)) unwatched(t, s, parent, name, length, ENOMEM);
        return;
    }
    node = new_node(t, wd, parent, name, length);
    if (node < 0 || !push_work(t, node)) {
        if (node >= 0) forget(t, node, false);
        else t->ops.remove_watch(t->ops.context, wd);
        unwatched(t, s, parent, name, length, ENOMEM);
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
        if (!build_system_path(t, node, nullptr, 0)) {
            // Too deep to list (reported when watched); in a rescan, what
            // lies below stays as known.
            if (mode == LIST_RESCAN) keep_subtree(t, node);
            continue;
        }
        // The path can name another directory by now, when renames of this
        // one or above it are still to be read; its entries are not ours.
        if (node != TREE_ROOT && !still_there(t, node)) {
            // Renamed since it was found: the events of the rename follow.
            if (mode == LIST_RESCAN) keep_subtree(t, node);
            flag_missed(t, node, MARK_UNLISTED);
            continue;
        }
        int error = 0;
        void *directory = t->ops.open_directory(t->ops.context, t->path, node == TREE_ROOT, &error);
        if (!directory) {
            if (error == ENOENT || error == ENOTDIR) {
                // Gone, or renamed with what lies above it since it was
                // watched: then it is listed whole once its path holds.
                if (mode != LIST_RESCAN && node != TREE_ROOT) flag_missed(t, node, MARK_UNLISTED);
                continue;
            }
            // Watched but not listed: what lies below stays as known.
            if (mode == LIST_RESCAN) rescan_known_children(t, node);
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
        if (mode != LIST_RESCAN && listing_in_step(t)) {
            // Nothing happened that the tree has not read: the names this
            // listing gave are as sure as those events give.
            for (int c = t->nodes[node].first_child; c >= 0; c = t->nodes[c].next_sibling) {
                if (t->nodes[c].mark == t->mark) t->nodes[c].mark = PLACED_BY_EVENTS;
            }
        }
    }
}

// After lost events the kernel's view is the only truth: watch what is there,
// forget what is not. ENOENT when the root is gone or replaced: the events
// that said so may be among those lost.
int rescan(watch_tree *t, const sink &s) {
    int wd = t->ops.add_watch(t->ops.context, t->root, ROOT_MASK);
    if (wd != t->nodes[TREE_ROOT].wd && (wd >= 0 || wd == -ENOENT || wd == -ENOTDIR)) {
        if (wd >= 0 && tree_find(t, wd) < 0) t->ops.remove_watch(t->ops.context, wd);
        return ENOENT;
    }
    // Flags of missed directories go, all is listed again; what this
    // listing misses is flagged anew, and kept.
    next_batch(t);
    for (int n = 1; n < t->node_count; n++) {
        if (t->nodes[n].mark < FIRST_MARK) t->nodes[n].mark = FIRST_MARK;
    }
    t->nodes[TREE_ROOT].mark = t->mark;
    t->work_count = 0;
    if (!push_work(t, TREE_ROOT)) return 0;
    list_queued(t, s, LIST_RESCAN);
    for (int n = 1; n < t->node_count; n++) {
        unsigned mark = t->nodes[n].mark;
        if (t->nodes[n].wd >= 0 && mark != t->mark && mark >= FIRST_MARK && t->nodes[n].parent >= 0) {
            forget(t, n, false);
        }
    }
    return 0;
}

// A directory moved away and not moved back in: it left the tree. Unless it
// still stands where the tree knows it: then either the node was taken for
// the one that left by a name a listing gave it after the move, or it left
// and came back since; in case, what is in it is reported again.
void settle_move(watch_tree *t, const sink &s) {
    if (!t->move_pending) return;
    t->move_pending = false;
    int node = t->move_node;
    if (node < 0) return;
    if (placed_by_events(t, node) || !still_there(t, node)) {
        forget(t, node, false);
        return;
    }
    for (int n = node; n >= 0; n = next_below(t, node, n)) t->nodes[n].reported = false;
    t->work_count = 0;
    if (push_work(t, node)) list_queued(t, s, LIST_ARRIVED);
}

// A directory that appeared: mode says how (LIST_CREATED, LIST_MOVED_IN, or
// LIST_ARRIVED when it moved within the tree).
void directory_arrived(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                       list_mode mode) {
    add_directory(t, s, parent, name, length, mode, true);
    list_queued(t, s, LIST_ARRIVED);
}

// A directory renamed inside the tree keeps its watches. The node that moved
// is found by its old name, which can be ahead of the events when it came
// from a listing; the kernel says what stands at the new name now.
void directory_moved(watch_tree *t, const sink &s, int node, int parent, const char *name,
                     size_t length) {
    // Named before the node is forgotten: the tree, behind the events, may
    // hold the new parent below it.
    if (!build_system_path(t, parent, name, length)) {
        unwatched(t, s, parent, name, length, ENAMETOOLONG);
        forget(t, node, false);
        return;
    }
    // Found by a name the events gave it: it is the one that moved, wherever
    // it stands by now (asking the file system, ahead of the events, could
    // only mislead when names are swapped or taken again).
    // (Unless the new parent is one the tree holds below it: then the tree
    // is behind after all.)
    if (placed_by_events(t, node) && !is_below(t, parent, node)) {
        relocate(t, node, parent, name, length);
        placed_by_rename(t, node);
        return;
    }
    int wd = t->ops.add_watch(t->ops.context, t->path, DIRECTORY_MASK);
    if (wd == t->nodes[node].wd) {
        relocate(t, node, parent, name, length);
        placed_by_rename(t, node);
        return;
    }
    if (wd == -ENOENT || wd == -ENOTDIR) {
        // Moved on again already, and the next events say where; but that
        // the node is the one that moved is a guess now. When the new
        // parent's own path no longer holds either, what stands there is
        // looked at once the renames above it are read.
        relocate(t, node, parent, name, length);
        flag_missed(t, node, MARK_SUSPECT);
        if (parent != TREE_ROOT && !still_there(t, parent)) flag_missed(t, parent, MARK_MISSED);
        return;
    }
    if (wd < 0) {
        unwatched(t, s, parent, name, length, -wd);
        forget(t, node, false);
        return;
    }
    // Another directory stands there now. If the node still stands at its
    // old name, it never moved (a listing named it after the rename): the
    // one standing here is the one that moved, placed (or filled, if new)
    // as arrived. Else the node moved here and on, and the one here came
    // later: one the tree knows is placed by its own events, a new one is
    // filled as arrived (its events may be among those read already); the
    // node takes the name, so that the events up to its next move are its
    // (a guess, checked at the end of the batch), and its next move finds
    // it first.
    if (still_there(t, node)) {
        directory_arrived(t, s, parent, name, length, LIST_ARRIVED);
    } else {
        const char *known_name = t->nodes[node].name; // replaced whenever it is relocated
        if (tree_find(t, wd) < 0) directory_arrived(t, s, parent, name, length, LIST_ARRIVED);
        // Unless the arrival's listing found where it stands now.
        if (t->nodes[node].wd >= 0 && t->nodes[node].name == known_name) {
            relocate(t, node, parent, name, length);
            flag_missed(t, node, MARK_SUSPECT);
        }
    }
    // Watched above, and not taken (the arrival failed or found another
    // directory by then, or it is left to its own events): not to be kept.
    if (tree_find(t, wd) < 0) t->ops.remove_watch(t->ops.context, wd);
}

// Lists the directories that were missed, now that the renames before them
// were read; those whose path still does not hold wait for the next batch.
void retry_missed(watch_tree *t, const sink &s) {
    if (t->nodes[TREE_ROOT].mark != MARK_BELOW) return;
    t->nodes[TREE_ROOT].mark = t->mark;
    bool waiting = false;
    for (int n = 1; n < t->node_count; n++) {
        unsigned flags = t->nodes[n].mark;
        if (t->nodes[n].wd < 0 || flags >= FIRST_MARK) continue;
        if (!still_there(t, n)) {
            // Where its parent stands, it does not: it left, and its own
            // events bring it back if it is still in the tree. Else a rename
            // above it is still to be read. One placed by a guess waits: it
            // may be renamed on and on, its next rename (read later) naming
            // it where the guess put it; a wrong guess is corrected by its
            // own next move into or within the tree.
            int parent = t->nodes[n].parent;
            if (flags & MARK_SUSPECT) {
                waiting = true;
            } else if (parent == TREE_ROOT || still_there(t, parent)) {
                forget(t, n, false);
            } else {
                waiting = true;
            }
            continue;
        }
        t->nodes[n].mark = t->mark;
        t->work_count = 0;
        if (flags & MARK_UNLISTED) {
            if (push_work(t, n)) list_queued(t, s, LIST_ARRIVED);
            continue;
        }
        // Its files were reported by their events; subdirectories it holds
        // that the tree lacks (created while its path did not hold, when
        // it was missed or moved on) are filled as arrived.
        if (!build_system_path(t, n, nullptr, 0)) continue;
        int error = 0;
        void *directory = t->ops.open_directory(t->ops.context, t->path, false, &error);
        if (!directory) continue;
        bool is_directory = false;
        while (const char *entry = t->ops.next_entry(t->ops.context, directory, &is_directory)) {
            if (is_directory) add_directory(t, s, n, entry, strlen(entry), LIST_MISSED);
        }
        t->ops.close_directory(t->ops.context, directory);
        list_queued(t, s, LIST_ARRIVED);
    }
    if (waiting) t->nodes[TREE_ROOT].mark = MARK_BELOW;
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
    t->mark = FIRST_MARK + 1;
    sink s = {on_record, context};
    if (strlen(root) >= sizeof t->path) return ENAMETOOLONG;
    int wd = t->ops.add_watch(t->ops.context, root, ROOT_MASK);
    if (wd < 0) return -wd;
    if (new_node(t, wd, -1, "", 0) != TREE_ROOT || !push_work(t, TREE_ROOT)) return ENOMEM;
    list_queued(t, s, LIST_SETUP);
    retry_missed(t, s);
    return 0;
}

namespace {

// Where the IN_MOVED_TO with cookie stands in events[from, length), or
// length. Events of other processes can fall between the two halves of one
// rename.
size_t find_moved_to(const unsigned char *events, size_t length, size_t from, uint32_t cookie) {
    for (size_t offset = from; length - offset >= EVENT_HEADER;) {
        inotify_event event;
        memcpy(&event, events + offset, EVENT_HEADER);
        if (event.len > length - offset - EVENT_HEADER) break;
        if ((event.mask & IN_MOVED_TO) && event.cookie == cookie) return offset;
        offset += EVENT_HEADER + event.len;
    }
    return length;
}

// The renames whose IN_MOVED_TO was taken ahead of its place in a batch.
struct taken_ahead {
    size_t offsets[32];
    int count;
};

bool take_ahead(taken_ahead *taken, size_t offset) {
    if (taken->count == static_cast<int>(sizeof taken->offsets / sizeof taken->offsets[0])) return false;
    taken->offsets[taken->count++] = offset;
    return true;
}

bool was_taken(taken_ahead *taken, size_t offset) {
    for (int i = 0; i < taken->count; i++) {
        if (taken->offsets[i] == offset) {
            taken->offsets[i] = taken->offsets[--taken->count];
            return true;
        }
    }
    return false;
}

// The IN_MOVED_TO half of a directory's rename; moved is the node that left,
// or -1 when none is known, and paired whether the IN_MOVED_FROM was seen.
void directory_moved_to(watch_tree *t, const sink &s, int moved, bool paired, int parent,
                        const char *name, size_t length) {
    if (moved >= 0) {
        directory_moved(t, s, moved, parent, name, length);
    } else {
        directory_arrived(t, s, parent, name, length, paired ? LIST_ARRIVED : LIST_MOVED_IN);
    }
}

} // namespace

int tree_handle_events(watch_tree *t, const unsigned char *events, size_t length,
                       record_fn on_record, void *context) {
    sink s = {on_record, context};
    taken_ahead taken;
    taken.count = 0;
    // Missed directories wait for renames or removals of directories: a
    // batch without any leaves them be. (Looking costs a watch added and
    // removed, whose IN_IGNORED is a batch of its own.)
    bool directories_changed = false;
    next_batch(t);
    size_t offset = 0;
    while (offset < length) {
        inotify_event event;
        if (length - offset < EVENT_HEADER) {
            emit(s, RECORD_UNREADABLE, nullptr, nullptr);
            break;
        }
        memcpy(&event, events + offset, EVENT_HEADER);
        if (event.len > length - offset - EVENT_HEADER) {
            emit(s, RECORD_UNREADABLE, nullptr, nullptr);
            break;
        }
        const char *name = reinterpret_cast<const char *>(events + offset + EVENT_HEADER);
        size_t name_length = strnlen(name, event.len);
        if (was_taken(&taken, offset)) {
            offset += EVENT_HEADER + event.len;
            continue;
        }
        offset += EVENT_HEADER + event.len;
        t->batch_left = length - offset;

        if (event.mask & IN_Q_OVERFLOW) {
            directories_changed = true;
            settle_move(t, s);
            emit(s, RECORD_LOST, nullptr, nullptr);
            if (int error = rescan(t, s)) return error;
            continue;
        }
        if (t->move_pending && !((event.mask & IN_MOVED_TO) && event.cookie == t->move_cookie)) {
            settle_move(t, s);
        }
        int node = tree_find(t, event.wd);
        if (node < 0) continue; // a watch already forgotten
        if (node == TREE_ROOT && (event.mask & ROOT_GONE)) return ENOENT;
        if (event.mask & IN_IGNORED) {
            directories_changed = true;
            forget(t, node, true);
            continue;
        }
        if (name_length == 0) continue;
        if (event.mask & IN_ISDIR) {
            directories_changed = true;
            // Directories are followed, not reported: their files are.
            if (event.mask & IN_CREATE) {
                directory_arrived(t, s, node, name, name_length, LIST_CREATED);
            } else if (event.mask & IN_MOVED_FROM) {
                int moved = moved_child(t, node, name, name_length);
                size_t to = find_moved_to(events, length, offset, event.cookie);
                if (to < length && take_ahead(&taken, to)) {
                    // Both halves are at hand: the rename is one step, here.
                    inotify_event arrived;
                    memcpy(&arrived, events + to, EVENT_HEADER);
                    const char *to_name = reinterpret_cast<const char *>(events + to + EVENT_HEADER);
                    int to_parent = tree_find(t, arrived.wd);
                    if (to_parent < 0) {
                        // Into a directory no longer watched: out of the tree.
                        if (moved >= 0) forget(t, moved, false);
                    } else {
                        directory_moved_to(t, s, moved, true, to_parent, to_name,
                                           strnlen(to_name, arrived.len));
                    }
                } else {
                    // The other half comes later, or never (moved out).
                    t->move_pending = true;
                    t->move_cookie = event.cookie;
                    t->move_node = moved;
                }
            } else if (event.mask & IN_MOVED_TO) {
                // A pending move left here has this event's cookie.
                bool paired = t->move_pending;
                int moved = paired ? t->move_node : -1;
                t->move_pending = false;
                directory_moved_to(t, s, moved, paired, node, name, name_length);
            }
            // A deleted directory is forgotten on its own IN_IGNORED.
            continue;
        }
        if (event.mask & FILE_EVENTS) report_file(t, s, node, name, name_length);
    }
    if (directories_changed) retry_missed(t, s);
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
