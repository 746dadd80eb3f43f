// The tree's nodes, their links and paths, and how far each is trusted.
#include "tree_nodes.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Not yet fixed: the node waits for fix_trust_points.
const uint64_t PLACING = UINT64_MAX;

size_t hash_wd(int wd) { return static_cast<uint32_t>(wd) * 2654435761u; }

size_t hash_name(int parent, const char *name, size_t length) {
    uint64_t h = 14695981039346656037ull ^ static_cast<uint32_t>(parent);
    for (size_t i = 0; i < length; i++) {
        h ^= static_cast<unsigned char>(name[i]);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h ^ (h >> 29));
}

size_t wd_key(const void *context, int node) {
    return hash_wd(static_cast<const watch_tree *>(context)->nodes[node].wd);
}

size_t name_key(const void *context, int node) {
    const tree_node &n = static_cast<const watch_tree *>(context)->nodes[node];
    return hash_name(n.parent, node_name(n), n.name_length);
}

char *copy_name(const char *name, size_t length) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, name, length);
    copy[length] = '\0';
    return copy;
}

// Gives n the name; false when memory ran out (n keeps its old one).
bool set_name(tree_node &n, const char *name, size_t length) {
    if (length > UINT16_MAX) return false;
    char *copy = nullptr;
    if (length >= NODE_NAME_INSIDE && !(copy = copy_name(name, length))) return false;
    if (n.name_length >= NODE_NAME_INSIDE) free(n.long_name);
    n.name_length = static_cast<uint16_t>(length);
    if (copy) {
        n.long_name = copy;
    } else {
        memcpy(n.short_name, name, length);
        n.short_name[length] = '\0';
    }
    return true;
}

void link_child(watch_tree *t, int node, int parent) {
    tree_node &n = t->nodes[node];
    n.parent = parent;
    n.prev_sibling = -1;
    n.next_sibling = t->nodes[parent].first_child;
    if (n.next_sibling >= 0) t->nodes[n.next_sibling].prev_sibling = node;
    t->nodes[parent].first_child = node;
}

void unlink_child(watch_tree *t, int node) {
    tree_node &n = t->nodes[node];
    if (n.parent < 0) return;
    if (n.prev_sibling >= 0) t->nodes[n.prev_sibling].next_sibling = n.next_sibling;
    else t->nodes[n.parent].first_child = n.next_sibling;
    if (n.next_sibling >= 0) t->nodes[n.next_sibling].prev_sibling = n.prev_sibling;
    n.parent = -1;
    n.next_sibling = -1;
    n.prev_sibling = -1;
}

void free_slot(watch_tree *t, int node) {
    drop_sighting(t, node);
    tree_node &n = t->nodes[node];
    set_name(n, "", 0);
    n.wd = -1;
    n.parent = -1;
    n.first_child = -1;
    n.prev_sibling = -1;
    n.next_sibling = t->free_slot;
    t->free_slot = node;
}

bool grow_nodes(watch_tree *t) {
    int capacity = t->node_capacity ? t->node_capacity * 2 : 64;
    void *grown = realloc(t->nodes, static_cast<size_t>(capacity) * sizeof *t->nodes);
    if (!grown) return false;
    t->nodes = static_cast<tree_node *>(grown);
    if (t->sightings) {
        grown = realloc(t->sightings, static_cast<size_t>(capacity) * sizeof *t->sightings);
        if (!grown) return false; // the nodes' room is only used up to node_capacity
        t->sightings = static_cast<tree_sighting *>(grown);
    }
    t->node_capacity = capacity;
    return true;
}

} // namespace

bool hand(const sink &s, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    return s.on_record(s.context, &record);
}

int new_node(watch_tree *t, int wd, int parent, const char *name, size_t length) {
    tree_node made;
    memset(&made, 0, sizeof made);
    if (!set_name(made, name, length)) return -1;
    int node = t->free_slot;
    if (node >= 0) {
        t->free_slot = t->nodes[node].next_sibling;
    } else {
        if (t->node_count == t->node_capacity && !grow_nodes(t)) {
            set_name(made, "", 0);
            return -1;
        }
        node = t->node_count++;
    }
    tree_node &n = t->nodes[node];
    n = made;
    n.wd = wd;
    n.parent = -1;
    n.first_child = -1;
    n.next_sibling = -1;
    n.prev_sibling = -1;
    // Reached by a rescan under way, and new to a pass that watches for moves.
    n.marks = MARK_SEEN | MARK_MOVED;
    if (parent >= 0) link_child(t, node, parent);
    bool indexed = index_insert(&t->by_wd, node);
    if (indexed && parent >= 0 && !index_insert(&t->by_name, node)) {
        index_remove(&t->by_wd, node);
        indexed = false;
    }
    if (!indexed) {
        unlink_child(t, node);
        free_slot(t, node);
        return -1;
    }
    mark_placed(t, node);
    return node;
}

void forget(watch_tree *t, int node, bool own_watch_gone) {
    if (t->nodes[node].parent >= 0) {
        touch_directory(t, t->nodes[node].parent);
        index_remove(&t->by_name, node);
    }
    unlink_child(t, node);
    t->nodes[node].next_sibling = -1;
    // Chained through next_sibling, which is free now; children leave the
    // name index before their parent's slot can be taken again.
    int stack = node;
    while (stack >= 0) {
        int n = stack;
        stack = t->nodes[n].next_sibling;
        for (int c = t->nodes[n].first_child; c >= 0;) {
            int next = t->nodes[c].next_sibling;
            index_remove(&t->by_name, c);
            t->nodes[c].next_sibling = stack;
            stack = c;
            c = next;
        }
        if (n != node || !own_watch_gone) drop_watch(t, t->nodes[n].wd);
        index_remove(&t->by_wd, n);
        if (t->stream.move_pending && t->stream.move_node == n) t->stream.move_node = -1;
        free_slot(t, n);
    }
}

bool is_below(const watch_tree *t, int node, int ancestor) {
    for (int n = node, steps = 0; n >= 0 && steps <= t->node_count; n = t->nodes[n].parent, steps++) {
        if (n == ancestor) return true;
    }
    return false;
}

bool has_name(const watch_tree *t, int node, const char *name, size_t length) {
    const tree_node &n = t->nodes[node];
    return n.name_length == length && memcmp(node_name(n), name, length) == 0;
}

bool relocate(watch_tree *t, int node, int parent, const char *name, size_t length) {
    if (node == TREE_ROOT || is_below(t, parent, node)) return false;
    tree_node &n = t->nodes[node];
    if (n.parent == parent && has_name(t, node, name, length)) return false;
    index_remove(&t->by_name, node);
    if (!set_name(n, name, length)) {
        index_insert(&t->by_name, node); // the room it just left
        return false; // keeps the old place: a stale name beats none
    }
    touch_directory(t, n.parent);
    touch_directory(t, parent);
    touch_directory(t, node);
    unlink_child(t, node);
    n.marks |= MARK_MOVED;
    link_child(t, node, parent);
    if (!index_insert(&t->by_name, node)) {
        // Unfindable by name, it would never be followed: let it go.
        forget(t, node, false);
    }
    return true;
}

void note_sighting(watch_tree *t, int node, int parent, const char *name, size_t length) {
    if (!t->sightings) {
        t->sightings = static_cast<tree_sighting *>(
            malloc(static_cast<size_t>(t->node_capacity) * sizeof *t->sightings));
        if (!t->sightings) return; // then a move that arrives nowhere is taken as leaving
    }
    char *copy = copy_name(name, length);
    if (!copy) return;
    drop_sighting(t, node);
    t->nodes[node].marks |= MARK_SIGHTED;
    t->sightings[node] = tree_sighting{parent, t->nodes[parent].wd, copy, length,
                                       t->stream.stream_end + t->ops.queued_bytes(t->ops.context)};
}

void drop_sighting(watch_tree *t, int node) {
    tree_node &n = t->nodes[node];
    if (!(n.marks & MARK_SIGHTED)) return;
    n.marks &= static_cast<uint8_t>(~MARK_SIGHTED);
    free(t->sightings[node].name);
}

bool sighted_before(const watch_tree *t, int node, uint64_t position) {
    return (t->nodes[node].marks & MARK_SIGHTED) && t->sightings[node].at <= position;
}

bool move_to_sighting(watch_tree *t, int node, uint64_t position) {
    if (!(t->nodes[node].marks & MARK_SIGHTED)) return false;
    const tree_sighting &seen = t->sightings[node];
    int parent = seen.parent;
    // A listing made before the move saw it where it left from.
    if (seen.at <= position || t->nodes[parent].wd != seen.parent_wd || t->nodes[parent].wd < 0 ||
        is_below(t, parent, node)) {
        return false;
    }
    char name[NAME_MAX + 1];
    size_t length = seen.length < sizeof name ? seen.length : sizeof name - 1;
    memcpy(name, seen.name, length);
    drop_sighting(t, node);
    return relocate(t, node, parent, name, length);
}

void nodes_init(watch_tree *t) {
    t->free_slot = -1;
    t->placing.limit = NODE_LIST_LIMIT;
    t->sync.verify.limit = NODE_LIST_LIMIT;
    index_init(&t->by_wd, wd_key, t);
    index_init(&t->by_name, name_key, t);
}

void nodes_release(watch_tree *t) {
    for (int n = 0; n < t->node_count; n++) {
        set_name(t->nodes[n], "", 0);
        drop_sighting(t, n);
    }
    free(t->nodes);
    free(t->sightings);
    t->nodes = nullptr;
    t->sightings = nullptr;
    t->node_count = t->node_capacity = 0;
    index_release(&t->by_wd);
    index_release(&t->by_name);
}

int tree_find(const watch_tree *t, int wd) {
    size_t slot = 0;
    for (int n = index_first(&t->by_wd, hash_wd(wd), &slot); n >= 0; n = index_next(&t->by_wd, &slot)) {
        if (t->nodes[n].wd == wd) return n;
    }
    return -1;
}

int next_named(const watch_tree *t, int parent, const char *name, size_t length, size_t *slot,
               bool first) {
    const node_index &index = t->by_name;
    int n = first ? index_first(&index, hash_name(parent, name, length), slot) : index_next(&index, slot);
    for (; n >= 0; n = index_next(&index, slot)) {
        if (t->nodes[n].parent == parent && has_name(t, n, name, length)) return n;
    }
    return -1;
}

bool tree_relative_path(const watch_tree *t, int node, char *out, size_t capacity) {
    return build_relative(t, node, nullptr, 0, out, capacity);
}

int child_named(const watch_tree *t, int parent, const char *name, size_t length) {
    size_t slot = 0;
    return next_named(t, parent, name, length, &slot, true);
}

int next_below(const watch_tree *t, int top, int n) {
    if (t->nodes[n].first_child >= 0) return t->nodes[n].first_child;
    while (n != top && t->nodes[n].next_sibling < 0) n = t->nodes[n].parent;
    return n == top ? -1 : t->nodes[n].next_sibling;
}

void mark_reported(watch_tree *t, int top, bool reported) {
    for (int n = top; n >= 0; n = next_below(t, top, n)) {
        if (reported) t->nodes[n].marks |= MARK_REPORTED;
        else t->nodes[n].marks &= static_cast<uint8_t>(~MARK_REPORTED);
    }
}

bool build_relative(const watch_tree *t, int node, const char *name, size_t name_length,
                    char *out, size_t capacity) {
    size_t length = name ? name_length : 0;
    int steps = 0;
    for (int n = node; n != TREE_ROOT; n = t->nodes[n].parent) {
        if (n < 0 || ++steps > t->node_count) return false; // not a tree: refuse
        length += t->nodes[n].name_length + 1;
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
        size_t part = t->nodes[n].name_length;
        end -= part;
        memcpy(out + end, node_name(t->nodes[n]), part);
        if (end) out[--end] = '/';
    }
    return true;
}

bool build_system_path(watch_tree *t, int node, const char *name, size_t name_length) {
    // Held to what a full path can hold: the root's path, a separator, this.
    size_t root_length = strlen(t->root);
    if (root_length + 1 >= sizeof t->path) return false;
    if (node == TREE_ROOT && !name) {
        t->path[0] = '\0';
        return true;
    }
    return build_relative(t, node, name, name_length, t->path, sizeof t->path - root_length - 1);
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

void unwatched(watch_tree *t, const sink &s, int node, const char *name, size_t length, int error) {
    describe_error(t, error);
    if (build_relative(t, node, name, length, t->relative, sizeof t->relative)) {
        hand(s, RECORD_UNWATCHED, t->relative, t->detail);
        return;
    }
    watch_record r =
        last_name_record(RECORD_UNWATCHED, name, length, t->relative, sizeof t->relative, t->detail);
    hand(s, r.kind, r.path, r.detail);
}

bool placed_by_guess(const watch_tree *t, int node) {
    for (int n = node; n >= 0; n = t->nodes[n].parent) {
        if (t->nodes[n].flags & NODE_SUSPECT) return true;
    }
    return false;
}

void report_file(watch_tree *t, const sink &s, int node, const char *name, size_t length,
                 int64_t dirty_since) {
    // A folder placed by a guess may be another than the one standing at its
    // path: its file is owed, not named there, until the guess is checked
    // (the rest after the events confirms it or lists the tree again).
    if (placed_by_guess(t, node)) {
        mark_dirty(t, node, dirty_since);
        return;
    }
    bool queued;
    if (build_relative(t, node, name, length, t->relative, sizeof t->relative)) {
        queued = hand(s, RECORD_CHANGE, t->relative, nullptr);
    } else {
        watch_record r =
            last_name_record(RECORD_CHANGE, name, length, t->relative, sizeof t->relative, nullptr);
        queued = hand(s, r.kind, r.path, nullptr);
    }
    if (!queued) mark_dirty(t, node, dirty_since);
    // Whatever stands at the name now may have other names: followed from
    // the moment its change is queued, before its detection can run.
    if (!t->linking.look_skipped) look_linked(t, s, node, name, length, nullptr, nullptr);
}

namespace {

linked_key wd_key(int wd) {
    linked_key key;
    linked_key_of(&key, &wd, sizeof wd);
    return key;
}

// Once per field: from now on some writes through other names of linked
// files are not seen.
void tell_unfollowed(watch_tree *t, const sink &s, const char *why) {
    if (t->linking.told) return;
    char line[sizeof t->detail + 96];
    snprintf(line, sizeof line, "%s: changes made through other names of hard-linked files are "
             "no longer all seen", why);
    t->linking.told = hand(s, RECORD_UNWATCHED, "", line);
}

// Names kept in folders the tree no longer watches: forgotten, to make room
// (the watch of keep, the file about to be kept, stays).
void drop_stale_names(watch_tree *t, int keep) {
    linked_files &l = t->linking.files;
    for (int entry = 0; entry < l.high; entry++) {
        if (!l.names[entry].used) continue;
        int folder;
        memcpy(&folder, l.names[entry].folder.bytes, sizeof folder);
        if (tree_find(t, folder) >= 0) continue;
        int file;
        memcpy(&file, l.names[entry].file.bytes, sizeof file);
        linked_remove(&l, entry);
        if (file != keep && !linked_follows(&l, wd_key(file))) drop_watch(t, file);
    }
}

} // namespace

namespace {

// Forgets a name, and the file's watch with its last name.
void forget_name(watch_tree *t, int entry) {
    int file;
    memcpy(&file, t->linking.files.names[entry].file.bytes, sizeof file);
    linked_remove(&t->linking.files, entry);
    if (!linked_follows(&t->linking.files, wd_key(file))) drop_watch(t, file);
}

// Whether the file system may be ahead of what the tree has read: events
// wait in the buffer in hand or in the kernel.
bool behind(watch_tree *t) { return t->stream.stream_end > t->stream.event_end || !kernel_queue_empty(t); }

// Looks at name in node's folder, opened below the root without following a
// link (the path the tree has; a folder that is not there leaves the file
// not found). False when the folder is too deep to name.
bool look_in_folder(watch_tree *t, int node, const char *name, bool watch, linked_stat *file,
                    int *wd) {
    if (!build_system_path(t, node, nullptr, 0)) return false;
    const lister_ops &l = t->ops.lister;
    int error = 0;
    void *folder = l.open_below(l.context, nullptr, t->path, &error);
    if (!folder) return true;
    *wd = t->ops.watch_linked(t->ops.context, folder, name, watch, file);
    l.close(l.context, folder);
    return true;
}

bool same_file(const linked_name &n, const linked_stat &file) {
    return file.present && n.device == file.device && n.inode == file.inode;
}

} // namespace

int look_linked(watch_tree *t, const sink &s, int node, const char *name, size_t length,
                void *directory, linked_stat *found) {
    if (!t->ops.watch_linked || t->nodes[node].wd < 0) return -1;
    linked_stat file = {false, 0, 0, 0};
    int wd = -1;
    if (directory) {
        wd = t->ops.watch_linked(t->ops.context, directory, name, true, &file);
    } else if (!look_in_folder(t, node, name, true, &file, &wd)) {
        return -1; // too deep to look at
    }
    if (wd < -1) {
        describe_error(t, -wd);
        tell_unfollowed(t, s, t->detail);
        return -1;
    }
    linked_key folder = wd_key(t->nodes[node].wd);
    if (wd < 0) {
        int entry = linked_find(&t->linking.files, folder, name, length);
        if (!file.present && behind(t)) {
            // The path the tree has may lead elsewhere by now (a folder on
            // it renamed): the folder is listed again once nothing waits.
            if (!(t->nodes[node].marks & MARK_LINK_RECHECK) && push_node(&t->linking.recheck, node)) {
                t->nodes[node].marks |= MARK_LINK_RECHECK;
            }
        } else if (entry >= 0 && (!file.present || same_file(t->linking.files.names[entry], file))) {
            // Gone, or the same file with no other name left.
            forget_name(t, entry);
        }
        return -1;
    }
    linked_key key = wd_key(wd);
    linked_key dropped;
    bool kept = linked_set(&t->linking.files, folder, name, length, &key, file.device, file.inode, &dropped);
    if (!kept) {
        drop_stale_names(t, wd);
        kept = linked_set(&t->linking.files, folder, name, length, &key, file.device, file.inode, &dropped);
    }
    if (dropped.size) {
        int unfollowed;
        memcpy(&unfollowed, dropped.bytes, sizeof unfollowed);
        drop_watch(t, unfollowed);
    }
    if (!kept) {
        if (!linked_follows(&t->linking.files, key)) drop_watch(t, wd);
        char why[64];
        snprintf(why, sizeof why, "more than %d names of hard-linked files", LINKED_NAMES_MAX);
        tell_unfollowed(t, s, why);
        return -1;
    }
    if (found) *found = file;
    return wd;
}

void linked_name_left(watch_tree *t, int node, const char *name, size_t length) {
    if (!t->ops.watch_linked || t->nodes[node].wd < 0) return;
    int entry = linked_find(&t->linking.files, wd_key(t->nodes[node].wd), name, length);
    if (entry < 0) return;
    // Unless the file is there still: two names exchanged.
    linked_stat file = {false, 0, 0, 0};
    int wd = -1;
    look_in_folder(t, node, name, false, &file, &wd);
    if (!same_file(t->linking.files.names[entry], file)) forget_name(t, entry);
}

void mark_dirty(watch_tree *t, int node, int64_t since) {
    tree_node &n = t->nodes[node];
    if (n.marks & MARK_DIRTY) {
        if (seconds_down(since) < n.dirty_since) n.dirty_since = seconds_down(since);
        return;
    }
    // Without room to remember it, the folder is not found again: its changes
    // stay told only by the loss line.
    if (!push_node(&t->dirty, node)) return;
    n.marks |= MARK_DIRTY;
    n.dirty_since = seconds_down(since);
}

bool kernel_queue_empty(const watch_tree *t) { return t->ops.queued_bytes(t->ops.context) == 0; }

bool push_node(node_list *list, int node) {
    if (list->spilled) return true;
    if (list->limit && list->count == list->limit) {
        list->spilled = true;
        return true;
    }
    if (list->count == list->capacity) {
        int capacity = list->capacity ? list->capacity * 2 : 64;
        void *grown = realloc(list->items, static_cast<size_t>(capacity) * sizeof *list->items);
        if (!grown) return false;
        list->items = static_cast<int *>(grown);
        list->capacity = capacity;
    }
    list->items[list->count++] = node;
    return true;
}

void release_list(node_list *list) {
    free(list->items);
    list->items = nullptr;
    list->count = list->capacity = 0;
    list->spilled = false;
}

int list_end(const watch_tree *t, const node_list *list) {
    return list->spilled ? t->node_count : list->count;
}

int list_at(const node_list *list, int i) { return list->spilled ? i : list->items[i]; }

void clear_list(node_list *list) {
    list->count = 0;
    list->spilled = false;
}

node_list take_list(node_list *list) {
    node_list taken = *list;
    *list = node_list{nullptr, 0, 0, list->limit, false};
    return taken;
}

bool placed_by_events(const watch_tree *t, int node) {
    const tree_node &n = t->nodes[node];
    return n.flags == 0 && n.trust_at <= t->stream.position;
}

void mark_placed(watch_tree *t, int node) {
    tree_node &n = t->nodes[node];
    if (n.trust_at == PLACING) return;
    // Without room to remember it, it is never trusted: every rename of it
    // is checked against the file system. (A list that spills has room.)
    n.trust_at = PLACING;
    push_node(&t->placing, node);
}

void fix_trust_points(watch_tree *t) {
    if (!t->placing.count && !t->placing.spilled) return;
    // Every event queued by now comes before this point of the stream.
    uint64_t point = t->stream.stream_end + t->ops.queued_bytes(t->ops.context);
    for (int i = 0, end = list_end(t, &t->placing); i < end; i++) {
        int node = list_at(&t->placing, i);
        tree_node &n = t->nodes[node];
        if (n.wd < 0 || n.trust_at != PLACING) continue;
        n.trust_at = point;
        touch_directory(t, node);
        if (n.parent >= 0) touch_directory(t, n.parent);
    }
    clear_list(&t->placing);
}

void placed_by_rename(watch_tree *t, int node) {
    tree_node &n = t->nodes[node];
    n.flags &= static_cast<uint8_t>(~NODE_SUSPECT);
    if (n.flags == 0) n.trust_at = 0;
}

void drop_watch(watch_tree *t, int wd) {
    t->stream.dropped_watches++;
    t->ops.remove_watch(t->ops.context, wd);
}

void observe(watch_tree *t) {
    if (t->sync.ahead) return;
    if (t->stream.stream_end > t->stream.event_end) {
        t->sync.ahead = true;
    } else if (t->sync.listing) {
        // Nothing is read during a listing: an event queued at any of its
        // looks is still queued at its end, where the kernel is asked once
        // rather than once per directory.
        t->sync.looked = true;
    } else {
        t->sync.ahead = !kernel_queue_empty(t);
    }
}

void listing_begin(watch_tree *t) { t->sync.listing = true; }

void listing_end(watch_tree *t) {
    t->sync.listing = false;
    if (t->sync.looked) observe(t);
    t->sync.looked = false;
}

void touch_directory(watch_tree *t, int node) {
    tree_node &n = t->nodes[node];
    if (n.wd >= 0 && !(n.marks & MARK_VERIFYING) && push_node(&t->sync.verify, node)) n.marks |= MARK_VERIFYING;
}

void end_verify(watch_tree *t) {
    for (int i = 0, end = list_end(t, &t->sync.verify); i < end; i++) {
        t->nodes[list_at(&t->sync.verify, i)].marks &= static_cast<uint8_t>(~MARK_VERIFYING);
    }
    clear_list(&t->sync.verify);
    t->sync.ahead = false;
}

void flag_node(watch_tree *t, int node, unsigned flag) {
    tree_node &n = t->nodes[node];
    n.flags = static_cast<uint8_t>(n.flags | flag);
    if (!(n.marks & MARK_RETRYING) && push_node(&t->sync.retry, node)) n.marks |= MARK_RETRYING;
}
