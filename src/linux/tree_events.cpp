// Translation of inotify events into records and tree updates: the entry
// points declared in inotify_tree.h.
#include "inotify_tree.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

#include "rename_pairs.h"
#include "tree_links.h"
#include "tree_listing.h"

namespace {

const uint32_t ROOT_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
const size_t EVENT_HEADER = sizeof(inotify_event);

bool is_directory_arrival(const parsed_event &event) {
    return (event.mask & IN_MOVED_TO) && (event.mask & IN_ISDIR);
}

// The child that left parent's name, for a directory's IN_MOVED_FROM. When
// the tree holds two of that name (one was found by a listing, or created,
// before the rename was read), the one that moved no longer stands there.
int moved_child(watch_tree *t, int parent, const char *name, size_t length) {
    size_t slot = 0;
    int first = next_named(t, parent, name, length, &slot, true);
    if (first < 0) return -1;
    size_t after = slot;
    if (next_named(t, parent, name, length, &after, false) < 0) return first;
    // The others that do not stand there either left unseen: checked later.
    int moved = -1;
    for (int c = first; c >= 0; c = next_named(t, parent, name, length, &slot, false)) {
        if (rewatch_confirms(t, c)) continue;
        if (moved < 0) moved = c;
        else flag_node(t, c, NODE_SUSPECT);
    }
    return moved >= 0 ? moved : first;
}

// A directory moved away and not moved back in: it left the tree. Unless a
// listing saw it inside, or it still stands where the tree knows it: then
// either the node was taken for the one that left by a name a listing gave
// it after the move, or it left and came back since; in case, what is in it
// is reported again.
void end_unpaired_move(watch_tree *t, const sink &s) {
    if (!t->stream.move_pending) return;
    t->stream.move_pending = false;
    int node = t->stream.move_node;
    if (node < 0) return;
    if (move_to_sighting(t, node, t->stream.move_position)) {
        // Into a directory watched only after the move, where a listing saw
        // it: where it was meanwhile is unknown, so what is in it is
        // reported again.
        mark_placed(t, node);
    } else if (placed_by_events(t, node) || !rewatch_confirms(t, node)) {
        forget(t, node, false);
        return;
    }
    mark_reported(t, node, false);
    t->sync.work.count = 0;
    if (push_node(&t->sync.work, node)) list_queued(t, s, LIST_ARRIVED);
}

// A directory renamed inside the tree: files changed there lately may still
// wait for their scan under the old path, which no longer leads to them.
// Every folder below it is listed again once the watcher has taken what is
// queued, for what changed since every change before the rename had been
// scanned; a folder that arrived since then, for all its files (they came
// in unchanged, their times say nothing).
void renamed(watch_tree *t, int node) {
    if (t->nodes[node].wd < 0) return;
    for (int n = node; n >= 0; n = next_below(t, node, n)) {
        bool arrived = seconds_ns(t->nodes[n].arrived_at) >= t->stream.scanned_before;
        mark_dirty(t, n, arrived ? 0 : t->stream.scanned_before);
    }
}

// Another directory stands at the new name than the node that moved there.
// If the node still stands at its old name, it never moved (a listing named
// it after the rename): the one standing here is the one that moved, placed
// (or filled, if new) as arrived. Else the node moved here and on, and the
// one here came later: one the tree knows is placed by its own events, a new
// one is filled as arrived (its events may be among those read already); the
// node takes the name, so that the events up to its next move are its (a
// guess, checked later), and its next move finds it first.
void moved_onto_another(watch_tree *t, const sink &s, int node, int wd, int parent,
                        const char *name, size_t length) {
    if (rewatch_confirms(t, node)) {
        directory_arrived(t, s, parent, name, length, LIST_ARRIVED);
    } else {
        t->nodes[node].marks &= static_cast<uint8_t>(~MARK_MOVED);
        if (tree_find(t, wd) < 0) directory_arrived(t, s, parent, name, length, LIST_ARRIVED);
        // Unless the arrival's listing found where it stands now (or its
        // slot went to another).
        if (t->nodes[node].wd >= 0 && !(t->nodes[node].marks & MARK_MOVED)) {
            relocate(t, node, parent, name, length);
            flag_node(t, node, NODE_SUSPECT);
            renamed(t, node);
        }
    }
    // Watched to look, and not taken (the arrival failed or found another
    // directory by then, or it is left to its own events): not to be kept.
    if (tree_find(t, wd) < 0) drop_watch(t, wd);
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
    // only mislead when names are swapped or taken again). Unless the new
    // parent is one the tree holds below it: then the tree is behind after all.
    // A listing that saw it before this rename saw it where it left from.
    if (sighted_before(t, node, t->stream.position)) drop_sighting(t, node);
    if (placed_by_events(t, node) && !is_below(t, parent, node)) {
        relocate(t, node, parent, name, length);
        placed_by_rename(t, node);
        renamed(t, node);
        return;
    }
    observe(t);
    int wd = watch_path(t, nullptr, 0, nullptr);
    if (wd == t->nodes[node].wd) {
        relocate(t, node, parent, name, length);
        placed_by_rename(t, node);
        renamed(t, node);
        return;
    }
    if (wd == -ENOENT || wd == -ENOTDIR) {
        // Moved on again already, and the next events say where; but that
        // the node is the one that moved is a guess now. When the new
        // parent's own path no longer holds either, what stands there is
        // looked at once the renames above it are read.
        relocate(t, node, parent, name, length);
        flag_node(t, node, NODE_SUSPECT);
        renamed(t, node);
        if (parent != TREE_ROOT && !rewatch_confirms(t, parent)) flag_node(t, parent, NODE_MISSED);
        return;
    }
    if (wd < 0) {
        unwatched(t, s, parent, name, length, -wd);
        forget(t, node, false);
        return;
    }
    moved_onto_another(t, s, node, wd, parent, name, length);
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

// The IN_MOVED_FROM half: handled with its other half at once when that is
// in the same buffer, else left pending until the next event.
void directory_moved_from(watch_tree *t, const sink &s, const event_batch *batch, size_t at,
                          int node, const char *name, size_t length, uint32_t cookie) {
    int moved = moved_child(t, node, name, length);
    size_t to = pairs_take(&t->stream.pairs, cookie, at + 1);
    if (to == NO_PAIR) {
        t->stream.move_pending = true;
        t->stream.move_cookie = cookie;
        t->stream.move_node = moved;
        t->stream.move_position = t->stream.position;
        return;
    }
    const parsed_event &arrived = batch->events[to];
    int to_parent = tree_find(t, arrived.wd);
    if (to_parent < 0) {
        // Into a directory no longer watched: out of the tree.
        if (moved >= 0) forget(t, moved, false);
    } else {
        directory_moved_to(t, s, moved, true, to_parent, arrived.name, arrived.name_length);
    }
}

// A directory's own event: followed, not reported (its files are).
void directory_event(watch_tree *t, const sink &s, const event_batch *batch, size_t at, int node,
                     const char *name, size_t length) {
    const parsed_event &event = batch->events[at];
    if (event.mask & IN_CREATE) {
        directory_arrived(t, s, node, name, length, LIST_CREATED);
    } else if (event.mask & IN_MOVED_FROM) {
        directory_moved_from(t, s, batch, at, node, name, length, event.cookie);
    } else if (event.mask & IN_MOVED_TO) {
        // A pending move left here has this event's cookie.
        bool paired = t->stream.move_pending;
        int moved = paired ? t->stream.move_node : -1;
        t->stream.move_pending = false;
        directory_moved_to(t, s, moved, paired, node, name, length);
    }
    // A deleted directory is forgotten on its own IN_IGNORED.
}

// Nothing is queued: the file system stands as the events read leave it, so
// what the tree still doubts is looked at now instead of waited for. A move
// away is over (its other half would be queued), and flagged work is tried.
// If the tree looked ahead of its events since it last rested, every
// directory changed since is checked against the file system; anything that
// does not hold means the tree took one directory for another, and it is
// listed again whole. 0, or ENOENT when the root is gone.
int check_at_rest(watch_tree *t, const sink &s, bool forced) {
    end_unpaired_move(t, s);
    retry_flagged(t, s);
    bool doubtful = t->sync.retry.count > 0;
    if (t->sync.ahead && !doubtful && !forced && t->stream.stream_end < t->sync.verify_after) return 0;
    unsigned dropped = t->stream.dropped_watches;
    uint64_t listed = t->sync.listed;
    size_t queued = t->ops.queued_bytes(t->ops.context);
    for (int i = 0; t->sync.ahead && !doubtful && i < list_end(t, &t->sync.verify); i++) {
        int node = list_at(&t->sync.verify, i);
        if (t->nodes[node].wd >= 0 && (t->nodes[node].marks & MARK_VERIFYING)) {
            doubtful = !verify_directory(t, node);
        }
    }
    // What changed while it looked may be what it saw: it looks again at its
    // next rest. (Its own looks queue an IN_IGNORED for each watch it
    // added to look and removed.)
    size_t own = (t->stream.dropped_watches - dropped) * EVENT_HEADER;
    if (doubtful && t->ops.queued_bytes(t->ops.context) > queued + own) {
        t->sync.verify_after = t->stream.stream_end + (t->sync.listed - listed) * EVENT_HEADER;
        return 0;
    }
    end_verify(t);
    if (!doubtful) return 0;
    int error = rescan(t, s);
    fix_trust_points(t);
    // What the rescan placed is as it stands now.
    end_verify(t);
    return error;
}

} // namespace

int tree_handle_batch(watch_tree *t, const event_batch *batch, size_t length,
                      hand_record_fn on_record, void *context) {
    sink s = {on_record, context};
    // Flagged work waits for renames or removals of directories: a buffer
    // without any leaves it be.
    bool directories_changed = false;
    uint64_t base = t->stream.stream_end;
    t->stream.stream_end += length;
    pairs_build(&t->stream.pairs, batch);
    for (size_t i = 0; i < batch->count; i++) {
        const parsed_event &event = batch->events[i];
        const char *name = event.name;
        size_t name_length = event.name_length;
        // The event before (a write is seen by a folder's watch, then by the
        // file's own).
        const parsed_event *previous = i ? &batch->events[i - 1] : nullptr;
        // Where the event starts: a place fixed at or before it predates it.
        t->stream.position = base + event.offset;
        t->stream.event_end = base + event.end;
        if (is_directory_arrival(event) && pairs_taken(&t->stream.pairs, event.cookie, i)) continue;

        if (event.mask & IN_Q_OVERFLOW) {
            directories_changed = true;
            end_unpaired_move(t, s);
            hand(s, RECORD_LOST, nullptr, nullptr);
            if (int error = rescan(t, s)) return error;
            // What changed in the lost window is found by its time.
            for (int n = 0; n < t->node_count; n++) {
                if (t->nodes[n].wd >= 0) mark_dirty(t, n, t->stream.events_since);
            }
            // So are names given to linked files, and writes through their
            // other names.
            tree_links_start(t, t->stream.events_since);
            continue;
        }
        if (t->stream.move_pending && !((event.mask & IN_MOVED_TO) && event.cookie == t->stream.move_cookie)) {
            end_unpaired_move(t, s);
        }
        int node = tree_find(t, event.wd);
        if (node < 0) {
            // A followed file's own watch, or a watch already forgotten.
            links_event(t, s, event, previous);
            continue;
        }
        if (node == TREE_ROOT && (event.mask & ROOT_GONE)) return ENOENT;
        if (event.mask & IN_IGNORED) {
            directories_changed = true;
            forget(t, node, true);
            continue;
        }
        if (name_length == 0) continue;
        if (event.mask & IN_ISDIR) {
            directories_changed = true;
            directory_event(t, s, batch, i, node, name, name_length);
            touch_directory(t, node);
            continue;
        }
        if (event.mask & FILE_EVENTS) {
            // A write alone does not change what a name holds; a name gone
            // holds nothing of what was kept for it.
            bool gone = event.mask & (IN_DELETE | IN_MOVED_FROM);
            t->linking.look_skipped = event.mask == IN_MODIFY || gone;
            report_file(t, s, node, name, name_length, t->stream.events_since);
            t->linking.look_skipped = false;
            if (gone) linked_name_left(t, node, name, name_length);
        }
    }
    if (batch->cut) hand(s, RECORD_UNREADABLE, nullptr, nullptr);
    t->stream.position = t->stream.event_end = t->stream.stream_end;
    if (directories_changed) retry_flagged(t, s);
    fix_trust_points(t);
    if (kernel_queue_empty(t)) return check_at_rest(t, s, false);
    return 0;
}

int tree_handle_events(watch_tree *t, const unsigned char *events, size_t length,
                       hand_record_fn on_record, void *context) {
    batch_parse(&t->stream.batch, events, length);
    return tree_handle_batch(t, &t->stream.batch, length, on_record, context);
}

bool tree_check_owed(const watch_tree *t) {
    return t->sync.ahead && (t->sync.verify.count > 0 || t->sync.verify.spilled);
}

int tree_run_owed_check(watch_tree *t, hand_record_fn on_record, void *context) {
    sink s = {on_record, context};
    if (!kernel_queue_empty(t)) return 0;
    return check_at_rest(t, s, true);
}

int tree_start(watch_tree *t, const char *root, const tree_ops *ops, hand_record_fn on_record,
               void *context) {
    memset(t, 0, sizeof *t);
    t->root = root;
    t->ops = *ops;
    nodes_init(t);
    t->stream.move_node = -1;
    sink s = {on_record, context};
    if (strlen(root) >= sizeof t->path) return ENAMETOOLONG;
    int wd = watch_root(t);
    if (wd < 0) return -wd;
    if (new_node(t, wd, -1, "", 0) != TREE_ROOT || !push_node(&t->sync.work, TREE_ROOT)) return ENOMEM;
    list_queued(t, s, LIST_SETUP);
    retry_flagged(t, s);
    return 0;
}

void tree_release(watch_tree *t) {
    nodes_release(t);
    release_list(&t->sync.work);
    release_list(&t->sync.retry);
    release_list(&t->placing);
    release_list(&t->sync.verify);
    release_list(&t->sync.moved);
    release_list(&t->dirty);
    release_list(&t->linking.waiting);
    release_list(&t->linking.recheck);
    linked_release(&t->linking.files);
    pairs_release(&t->stream.pairs);
    batch_release(&t->stream.batch);
}

bool tree_has_dirty(const watch_tree *t) { return t->dirty.count > 0; }

void tree_report_dirty(watch_tree *t, hand_record_fn on_record, void *context) {
    sink s = {on_record, context};
    report_dirty(t, s);
}
