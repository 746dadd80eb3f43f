// Watching and listing directories by their paths below the root, ahead of
// the events still queued.
#include "tree_listing.h"

#include <errno.h>
#include <string.h>
#include <sys/inotify.h>

// A file closed after writing is a change too: a write through a shared
// mapping makes no other event.
const uint32_t FILE_EVENTS =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// Writes to a file that is already unlinked name no file to scan. Masks are
// only ever added to: the root seen again through a mount inside the tree
// keeps the events that tell its own end. A watch is added on a directory
// already opened without following a link, so the mask has no say in that.
const uint32_t DIRECTORY_MASK = FILE_EVENTS | IN_EXCL_UNLINK | IN_ONLYDIR | IN_MASK_ADD;
// The root's own end ends the watch.
const uint32_t ROOT_MASK =
    FILE_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR | IN_MASK_ADD;

namespace {

void close_directory(watch_tree *t, void *directory) {
    t->ops.lister.close(t->ops.lister.context, directory);
}

void release_held(watch_tree *t);

// Opens the directory at t->path below the root; or, given in (its parent,
// open), its last name (length bytes) below in. Never through a link. Null
// with *error set.
void *open_path(watch_tree *t, void *in, size_t length, int *error) {
    const lister_ops &l = t->ops.lister;
    const char *path = in ? t->path + strlen(t->path) - length : t->path;
    void *directory = l.open_below(l.context, in, path, error);
    // Directories kept open for their listing are only a shortcut: given
    // up when descriptors run out, and opened again when their turn comes.
    if (!directory && *error == EMFILE && t->sync.held_count) {
        release_held(t);
        directory = l.open_below(l.context, in, path, error);
    }
    return directory;
}

} // namespace

int watch_path(watch_tree *t, void *in, size_t length, void **kept) {
    int error = 0;
    void *directory = open_path(t, in, length, &error);
    if (!directory) return -error;
    int wd = t->ops.add_watch(t->ops.context, directory, DIRECTORY_MASK);
    if (kept && wd >= 0) *kept = directory;
    else close_directory(t, directory);
    return wd;
}

namespace {

// node's directory opened for listing, when it stands at t->path, built for
// it (the root always does): null otherwise, *error ENOENT when another
// directory stands there.
void *open_if_there(watch_tree *t, int node, int *error) {
    void *directory = open_path(t, nullptr, 0, error);
    if (!directory || node == TREE_ROOT) return directory;
    int wd = t->ops.add_watch(t->ops.context, directory, DIRECTORY_MASK);
    if (wd >= 0 && tree_find(t, wd) < 0) drop_watch(t, wd);
    if (wd == t->nodes[node].wd) return directory;
    close_directory(t, directory);
    *error = ENOENT;
    return nullptr;
}

// Keeps node's directory, opened and watched at set-up while its parent was
// listed, for its own listing. False without room.
bool hold(watch_tree *t, int node, void *directory) {
    if (t->sync.held_count == HELD_DIRECTORIES) return false;
    t->sync.held[t->sync.held_count++] = held_directory{node, t->nodes[node].wd, directory};
    return true;
}

// The directory kept for node, or null. The work list is taken from its
// end, so the one asked for is most often the last kept.
void *take_held(watch_tree *t, int node) {
    for (int i = t->sync.held_count - 1; i >= 0; i--) {
        held_directory h = t->sync.held[i];
        if (h.node != node || h.wd != t->nodes[node].wd) continue;
        t->sync.held[i] = t->sync.held[--t->sync.held_count];
        return h.directory;
    }
    return nullptr;
}

void release_held(watch_tree *t) {
    while (t->sync.held_count) close_directory(t, t->sync.held[--t->sync.held_count].directory);
}

// In a rescan, keeps top and what lies below it as known.
void keep_subtree(watch_tree *t, int top) {
    for (int n = top; n >= 0; n = next_below(t, top, n)) t->nodes[n].marks |= MARK_SEEN;
}

// In a rescan, for a directory that cannot be listed: the subdirectories the
// tree knows in it are listed in turn if they still stand there (nothing
// else tells whether they left); those whose paths are too long to ask
// about are kept as they are.
void rescan_known_children(watch_tree *t, int node) {
    t->nodes[node].marks |= MARK_SEEN;
    for (int c = t->nodes[node].first_child; c >= 0; c = t->nodes[c].next_sibling) {
        if (!build_system_path(t, c, nullptr, 0)) {
            keep_subtree(t, c);
        } else if (!(t->nodes[c].marks & MARK_SEEN) && rewatch_confirms(t, c)) {
            t->nodes[c].marks |= MARK_SEEN;
            push_node(&t->sync.work, c); // without room, kept as known, unlisted
        }
    }
}

// A directory the tree knows, found by a listing at parent/name.
void add_known_directory(watch_tree *t, const sink &s, int node, int parent, const char *name,
                         size_t length, list_mode mode, bool check_parent) {
    if (mode == LIST_MOVED_IN) {
        // Known from before it left: what is in it may have changed since.
        mark_reported(t, node, false);
        mode = LIST_ARRIVED;
    }
    bool elsewhere = t->nodes[node].parent != parent || !has_name(t, node, name, length);
    if (elsewhere && !check_parent && mode != LIST_RESCAN && placed_by_events(t, node)) {
        // The events put it elsewhere, and the events still queued say how
        // it came here: until they are read, changes in it happened where
        // they put it. (If they only say that it left, it went here.)
        note_sighting(t, node, parent, name, length);
        return;
    }
    // Placed where this listing saw it: an older sighting says no more.
    drop_sighting(t, node);
    bool moved = relocate(t, node, parent, name, length);
    if (moved && mode == LIST_RESCAN) push_node(&t->sync.moved, node);
    if (moved && mode != LIST_RESCAN && t->nodes[node].flags == 0) mark_placed(t, node);
    if (mode == LIST_MISSED) return; // its own events tell the rest
    if (moved && mode == LIST_ARRIVED && !check_parent) {
        // Found inside a directory that just arrived, where no event could
        // say it went: where it was meanwhile is unknown, and what is in it
        // may have changed unseen. (One found at the name of an event was
        // renamed there within the tree: its events are read, or still to be.)
        mark_reported(t, node, false);
    }
    bool again = mode == LIST_ARRIVED && !(t->nodes[node].marks & MARK_REPORTED);
    if (mode == LIST_RESCAN) {
        // Listed once per rescan: a mount can show a directory inside itself.
        again = !(t->nodes[node].marks & MARK_SEEN);
        t->nodes[node].marks |= MARK_SEEN;
    }
    if (again && !push_node(&t->sync.work, node)) unwatched(t, s, parent, name, length, ENOMEM);
}

} // namespace

bool rewatch_confirms(watch_tree *t, int node) {
    if (!build_system_path(t, node, nullptr, 0)) return false;
    observe(t);
    int wd = watch_path(t, nullptr, 0, nullptr);
    // Not to be kept: a directory found here that the tree does not know is
    // watched when its own event comes.
    if (wd >= 0 && tree_find(t, wd) < 0) drop_watch(t, wd);
    return wd == t->nodes[node].wd;
}

int watch_root(watch_tree *t) {
    const lister_ops &l = t->ops.lister;
    int error = 0;
    void *root = l.open_root(l.context, t->root, &error);
    if (!root) return -error;
    int wd = t->ops.add_watch(t->ops.context, root, ROOT_MASK);
    close_directory(t, root);
    return wd;
}

namespace {

// add_directory, once the directory at parent/name was watched as wd (or
// -errno).
void add_watched(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                 list_mode mode, bool check_parent, int wd) {
    if (wd == -ENOENT || wd == -ENOTDIR) {
        // Gone or replaced since it was seen, and its own events tell the
        // rest; unless the parent's path no longer holds, when nothing would:
        // the parent is looked at again once it does. (A rescan lists the
        // paths as they are.) One the tree knows by this name but never
        // listed whole (a listing found it before its event came) has moved
        // on with its files still due: it is listed where it stands then.
        if (mode == LIST_RESCAN) return;
        int known = check_parent ? child_named(t, parent, name, length) : -1;
        if (known >= 0 && !(t->nodes[known].marks & MARK_REPORTED)) flag_node(t, known, NODE_UNLISTED);
        if (parent != TREE_ROOT && !rewatch_confirms(t, parent)) flag_node(t, parent, NODE_MISSED);
        return;
    }
    if (wd < 0) {
        unwatched(t, s, parent, name, length, -wd);
        return;
    }
    int node = tree_find(t, wd);
    if (check_parent && parent != TREE_ROOT && !rewatch_confirms(t, parent)) {
        // Found through a path that another directory holds by now: not
        // necessarily the parent's child. Looked at once the path holds.
        if (node < 0) drop_watch(t, wd);
        flag_node(t, parent, NODE_MISSED);
        return;
    }
    if (node == TREE_ROOT) return; // the root seen again through a mount
    if (node >= 0 && mode == LIST_CREATED) {
        // A directory the tree knew before cannot be the one created: a
        // rename brought it here, and its events place it; unless the tree
        // placed it by a guess, which this corrects.
        bool elsewhere = t->nodes[node].parent != parent || !has_name(t, node, name, length);
        if (elsewhere && !(t->nodes[node].flags & NODE_SUSPECT)) return;
    }
    // A folder the tree watches elsewhere, shown here by a bind mount: its
    // files are the same, reported under the path the tree has for it.
    if (node >= 0 && mode == LIST_MOUNTED) return;
    if (mode == LIST_CREATED || mode == LIST_MOUNTED) mode = LIST_ARRIVED;
    if (node >= 0) {
        add_known_directory(t, s, node, parent, name, length, mode, check_parent);
        return;
    }
    node = new_node(t, wd, parent, name, length);
    // A rescan lists it to watch what is below; its files are reported after.
    if (node >= 0 && mode == LIST_RESCAN) push_node(&t->sync.moved, node);
    if (node < 0 || !push_node(&t->sync.work, node)) {
        if (node >= 0) forget(t, node, false);
        else drop_watch(t, wd);
        unwatched(t, s, parent, name, length, ENOMEM);
    }
}

} // namespace

void add_directory(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                   list_mode mode, bool check_parent, void *in) {
    if (!build_system_path(t, parent, name, length)) {
        // One the tree watches already (renames took it this deep) stays.
        int known = child_named(t, parent, name, length);
        if (known < 0) unwatched(t, s, parent, name, length, ENAMETOOLONG);
        else if (mode == LIST_RESCAN) keep_subtree(t, known);
        return;
    }
    observe(t);
    // At set-up, one found in its parent's listing stays open for its own.
    void *kept = nullptr;
    int wd = watch_path(t, in, length, mode == LIST_SETUP && in ? &kept : nullptr);
    int queued = t->sync.work.count;
    add_watched(t, s, parent, name, length, mode, check_parent, wd);
    if (!kept) return;
    int node = t->sync.work.count > queued ? t->sync.work.items[t->sync.work.count - 1] : -1;
    if (node < 0 || !hold(t, node, kept)) close_directory(t, kept);
}

void list_queued(watch_tree *t, const sink &s, list_mode mode) {
    bool report_files = mode == LIST_ARRIVED;
    listing_begin(t);
    while (t->sync.work.count) {
        int node = t->sync.work.items[--t->sync.work.count];
        if (t->nodes[node].wd < 0) continue;
        if (report_files && (t->nodes[node].marks & MARK_REPORTED)) continue; // listed with another
        int error = 0;
        void *directory = take_held(t, node);
        if (!directory) {
            if (!build_system_path(t, node, nullptr, 0)) {
                // Too deep to list (reported when watched); in a rescan, what
                // lies below stays as known.
                if (mode == LIST_RESCAN) keep_subtree(t, node);
                continue;
            }
            observe(t);
            directory = open_if_there(t, node, &error);
        }
        if (!directory && (error == ENOENT || error == ENOTDIR)) {
            // The path can name another directory by now, or none, when
            // renames of this one or above it are still to be read: it is
            // listed whole once its path holds.
            if (node != TREE_ROOT && mode == LIST_RESCAN) keep_subtree(t, node);
            if (node != TREE_ROOT) flag_node(t, node, NODE_UNLISTED);
            continue;
        }
        touch_directory(t, node);
        observe(t);
        if (directory && (error = t->ops.lister.list(t->ops.lister.context, directory))) {
            close_directory(t, directory);
            directory = nullptr;
        }
        if (!directory) {
            // Watched but not listed: what lies below stays as known.
            if (mode == LIST_RESCAN) rescan_known_children(t, node);
            if (node == TREE_ROOT) {
                describe_error(t, error);
                hand(s, RECORD_UNWATCHED, "", t->detail);
            } else {
                const tree_node &n = t->nodes[node];
                unwatched(t, s, n.parent, node_name(n), n.name_length, error);
            }
            continue;
        }
        if (report_files) {
            t->nodes[node].marks |= MARK_REPORTED;
            t->nodes[node].arrived_at = seconds_up(t->stream.events_since);
        }
        bool is_directory = false;
        const lister_ops &l = t->ops.lister;
        while (const char *entry = l.next_entry(l.context, directory, &is_directory)) {
            if (is_directory) {
                add_directory(t, s, node, entry, strlen(entry), mode, false, directory);
            } else if (report_files) {
                report_file(t, s, node, entry, strlen(entry), 0);
            }
        }
        close_directory(t, directory);
    }
    listing_end(t);
    release_held(t);
    fix_trust_points(t);
}

void directory_arrived(watch_tree *t, const sink &s, int parent, const char *name, size_t length,
                       list_mode mode) {
    add_directory(t, s, parent, name, length, mode, true, nullptr);
    list_queued(t, s, LIST_ARRIVED);
}

namespace {

// Whether the subdirectory entry of node's listing (of directory, open) is
// the child the tree has there; *matched counts the children so found.
// Entries that cannot be watched were named when they were met.
bool entry_matches(watch_tree *t, int node, void *directory, const char *entry, int *matched) {
    size_t length = strlen(entry);
    if (!build_system_path(t, node, entry, length)) return true;
    int wd = watch_path(t, directory, length, nullptr);
    if (wd == -ENOENT || wd == -ENOTDIR) return false;
    if (wd < 0) return true;
    int found = tree_find(t, wd);
    if (found < 0) {
        drop_watch(t, wd);
        return false;
    }
    if (found == TREE_ROOT) return true; // the root seen again through a mount
    if (t->nodes[found].parent != node || !has_name(t, found, entry, length)) {
        // Seen here through a mount, and standing where the tree has it too.
        return rewatch_confirms(t, found);
    }
    (*matched)++;
    return true;
}

} // namespace

bool verify_directory(watch_tree *t, int node) {
    // One too deep to name cannot be looked at, nor helped by a listing.
    if (!build_system_path(t, node, nullptr, 0)) return true;
    observe(t);
    int error = 0;
    void *directory = open_if_there(t, node, &error);
    if (directory && (error = t->ops.lister.list(t->ops.lister.context, directory))) {
        close_directory(t, directory);
        directory = nullptr;
    }
    if (!directory) return error != ENOENT && error != ENOTDIR; // unreadable ones were named
    bool matches = true;
    int matched = 0;
    bool is_directory = false;
    const lister_ops &l = t->ops.lister;
    while (const char *entry = l.next_entry(l.context, directory, &is_directory)) {
        t->sync.listed++;
        if (is_directory && matches) matches = entry_matches(t, node, directory, entry, &matched);
    }
    close_directory(t, directory);
    // Every child the listing did not find must be one too deep to name (a
    // listing finds a child at most once: its name is one entry).
    for (int c = t->nodes[node].first_child; matches && c >= 0; c = t->nodes[c].next_sibling) {
        if (build_system_path(t, c, nullptr, 0)) matched--;
    }
    return matches && matched == 0;
}

namespace {

// One flagged directory, tried again. False when its path still does not
// hold and it waits for more events.
bool retry_one(watch_tree *t, const sink &s, int n) {
    unsigned flags = t->nodes[n].flags;
    if (!rewatch_confirms(t, n)) {
        // Where its parent stands, it does not: it left, and its own events
        // bring it back if it is still in the tree. Else a rename above it
        // is still to be read. One placed by a guess waits: it may be
        // renamed on and on, its next rename (read later) naming it where
        // the guess put it; a wrong guess is corrected by its own next move
        // into or within the tree.
        int parent = t->nodes[n].parent;
        if (flags & NODE_SUSPECT) return false;
        if (parent != TREE_ROOT && !rewatch_confirms(t, parent)) return false;
        forget(t, n, false);
        return true;
    }
    t->nodes[n].flags = 0;
    mark_placed(t, n);
    t->sync.work.count = 0;
    if (flags & NODE_UNLISTED) {
        if (push_node(&t->sync.work, n)) list_queued(t, s, LIST_ARRIVED);
        return true;
    }
    // Its files were reported by their events; subdirectories it holds that
    // the tree lacks (created while its path did not hold, when it was
    // missed or moved on) are filled as arrived.
    if (!build_system_path(t, n, nullptr, 0)) return true;
    int error = 0;
    void *directory = open_path(t, nullptr, 0, &error);
    if (!directory) return true;
    const lister_ops &l = t->ops.lister;
    bool is_directory = false;
    if (l.list(l.context, directory) == 0) {
        while (const char *entry = l.next_entry(l.context, directory, &is_directory)) {
            if (is_directory) add_directory(t, s, n, entry, strlen(entry), LIST_MISSED, false, directory);
        }
    }
    close_directory(t, directory);
    list_queued(t, s, LIST_ARRIVED);
    return true;
}

} // namespace

void retry_flagged(watch_tree *t, const sink &s) {
    if (!t->sync.retry.count) return;
    // Taken whole: what is flagged while these are tried waits for the next
    // time, as does what still cannot be done.
    node_list taken = take_list(&t->sync.retry);
    for (int i = 0; i < taken.count; i++) {
        int n = taken.items[i];
        if (!(t->nodes[n].marks & MARK_RETRYING)) continue; // a slot freed and taken again
        t->nodes[n].marks &= static_cast<uint8_t>(~MARK_RETRYING);
        if (t->nodes[n].wd < 0 || !t->nodes[n].flags) continue;
        if (!retry_one(t, s, n) && t->nodes[n].wd >= 0) {
            unsigned flags = t->nodes[n].flags;
            t->nodes[n].flags = 0;
            flag_node(t, n, flags);
        }
    }
    release_list(&taken);
    fix_trust_points(t);
}

namespace {

// Lists one dirty folder for files changed since its mark.
void report_dirty_folder(watch_tree *t, const sink &s, int node, int64_t since) {
    if (!build_system_path(t, node, nullptr, 0)) return; // too deep: named as it changed
    const lister_ops &l = t->ops.lister;
    int error = 0;
    void *directory = open_path(t, nullptr, 0, &error);
    if (directory && (error = l.list(l.context, directory))) {
        close_directory(t, directory);
        directory = nullptr;
    }
    if (!directory) {
        if (error == ENOENT || error == ENOTDIR) return; // gone, or moved: its events tell
        const tree_node &n = t->nodes[node];
        if (node == TREE_ROOT) {
            describe_error(t, error);
            hand(s, RECORD_UNWATCHED, "", t->detail);
        } else {
            unwatched(t, s, n.parent, node_name(n), n.name_length, error);
        }
        return;
    }
    bool is_directory = false;
    while (const char *entry = l.next_entry(l.context, directory, &is_directory)) {
        if (is_directory) continue; // a folder's own files are its own
        int64_t changed = l.changed_at(l.context, directory, entry);
        if (changed < 0 || !changed_since(changed, since)) continue;
        report_file(t, s, node, entry, strlen(entry), since);
    }
    close_directory(t, directory);
}

} // namespace

void report_dirty(watch_tree *t, const sink &s) {
    // Taken whole: what is dropped again marks its folder anew.
    node_list taken = take_list(&t->dirty);
    for (int i = 0; i < taken.count; i++) {
        tree_node &n = t->nodes[taken.items[i]];
        if (n.wd < 0 || !(n.marks & MARK_DIRTY)) continue;
        n.marks &= static_cast<uint8_t>(~MARK_DIRTY);
        // Listed where it surely stands: a guess checked first.
        if (placed_by_guess(t, taken.items[i])) {
            mark_dirty(t, taken.items[i], seconds_ns(n.dirty_since));
            continue;
        }
        report_dirty_folder(t, s, taken.items[i], seconds_ns(n.dirty_since));
    }
    release_list(&taken);
}

int rescan(watch_tree *t, const sink &s) {
    int wd = watch_root(t);
    if (wd != t->nodes[TREE_ROOT].wd && (wd >= 0 || wd == -ENOENT || wd == -ENOTDIR)) {
        if (wd >= 0 && tree_find(t, wd) < 0) drop_watch(t, wd);
        return ENOENT;
    }
    // Flagged work goes, all is listed again; what this listing misses is
    // flagged anew, and kept.
    t->sync.retry.count = 0;
    for (int n = 0; n < t->node_count; n++) {
        t->nodes[n].flags = 0;
        t->nodes[n].marks &= static_cast<uint8_t>(~(MARK_RETRYING | MARK_SEEN));
    }
    t->nodes[TREE_ROOT].marks |= MARK_SEEN;
    t->sync.work.count = 0;
    t->sync.moved.count = 0;
    if (!push_node(&t->sync.work, TREE_ROOT)) return 0;
    list_queued(t, s, LIST_RESCAN);
    for (int n = 1; n < t->node_count; n++) {
        const tree_node &node = t->nodes[n];
        if (node.wd >= 0 && !(node.marks & MARK_SEEN) && node.parent >= 0) forget(t, n, false);
    }
    // What the rescan saw is ahead of the events queued meanwhile.
    for (int n = 0; n < t->node_count; n++) {
        if (t->nodes[n].wd >= 0) mark_placed(t, n);
    }
    // A directory found elsewhere had its changes reported where it was not,
    // and one the tree did not know had them reported nowhere: what is in
    // them is reported, where they stand.
    for (int i = 0; i < t->sync.moved.count; i++) {
        int node = t->sync.moved.items[i];
        if (t->nodes[node].wd >= 0) mark_reported(t, node, false);
    }
    for (int i = 0; i < t->sync.moved.count; i++) {
        int node = t->sync.moved.items[i];
        if (t->nodes[node].wd >= 0) push_node(&t->sync.work, node);
    }
    t->sync.moved.count = 0;
    list_queued(t, s, LIST_ARRIVED);
    return 0;
}
