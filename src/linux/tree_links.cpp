// Hard-linked files in an inotify tree: the listing that finds those already
// there, and the events of their own watches, reported under the tree's
// names for them.
#include "tree_links.h"

#include <string.h>

#include "changed_walk.h"
#include "tree_listing.h"

namespace {

const uint32_t WRITES = IN_MODIFY | IN_CLOSE_WRITE;

linked_key wd_key(int wd) {
    linked_key key;
    linked_key_of(&key, &wd, sizeof wd);
    return key;
}

int key_wd(const linked_key &key) {
    int wd;
    memcpy(&wd, key.bytes, sizeof wd);
    return wd;
}

// Lists one folder: each linked file in it followed, and reported when it
// changed since the listing's mark. False when its path does not hold.
bool list_folder(watch_tree *t, const sink &s, int node) {
    if (!build_system_path(t, node, nullptr, 0)) return true; // too deep to name: nothing to list
    if (node != TREE_ROOT && !rewatch_confirms(t, node)) return false;
    const lister_ops &l = t->ops.lister;
    int error = 0;
    // rewatch_confirms built the path again.
    void *directory = l.open_below(l.context, nullptr, t->path, &error);
    if (directory && l.list(l.context, directory) != 0) {
        l.close(l.context, directory);
        directory = nullptr;
    }
    if (!directory) return true; // gone (its events tell), or named when it was watched
    bool is_directory = false;
    while (const char *entry = l.next_entry(l.context, directory, &is_directory)) {
        if (is_directory) continue;
        size_t length = strlen(entry);
        linked_stat file;
        if (look_linked(t, s, node, entry, length, directory, &file) < 0) continue;
        if (!changed_since(file.changed_at, t->linking.since)) continue;
        // Written through another name before it was followed.
        t->linking.look_skipped = true;
        report_file(t, s, node, entry, length, t->linking.since);
        t->linking.look_skipped = false;
    }
    l.close(l.context, directory);
    return true;
}

// Whether the event before the one in hand was the same write seen by the
// watch of the folder holding the name: the kernel queues that one first.
bool seen_by_folder(const parsed_event *previous, int folder, const linked_name &n, uint32_t writes) {
    return previous && previous->wd == folder && (previous->mask & WRITES) == writes &&
           previous->name_length == n.length && memcmp(previous->name, n.name, n.length) == 0;
}

} // namespace

void tree_links_start(watch_tree *t, int64_t since) {
    if (!t->ops.watch_linked) return;
    if (!tree_links_pending(t) || since < t->linking.since) t->linking.since = since;
    // Every slot in use now, in turn; a folder watched later was listed
    // with its files reported, each looked at then.
    t->linking.next = 0;
    t->linking.end = t->node_count;
    t->linking.waiting.count = 0;
}

bool tree_links_pending(const watch_tree *t) { return t->linking.next < t->linking.end; }

void tree_links_discover(watch_tree *t, hand_record_fn on_record, void *context, int folders) {
    sink s = {on_record, context};
    // Folders where a name was not found while the tree was behind: listed
    // once it is not (those whose paths do not hold then wait as below).
    if (t->linking.recheck.count && kernel_queue_empty(t)) {
        node_list recheck = take_list(&t->linking.recheck);
        for (int i = 0; i < recheck.count; i++) {
            int node = recheck.items[i];
            if (!(t->nodes[node].marks & MARK_LINK_RECHECK)) continue; // a slot freed and taken again
            t->nodes[node].marks &= static_cast<uint8_t>(~MARK_LINK_RECHECK);
            if (t->nodes[node].wd >= 0 && !list_folder(t, s, node)) push_node(&t->linking.waiting, node);
        }
        release_list(&recheck);
    }
    // Those that waited for their paths: tried once more each time.
    node_list waiting = take_list(&t->linking.waiting);
    for (int i = 0; i < waiting.count; i++) {
        int node = waiting.items[i];
        if (t->nodes[node].wd >= 0 && !list_folder(t, s, node)) push_node(&t->linking.waiting, node);
    }
    release_list(&waiting);
    for (; folders > 0 && t->linking.next < t->linking.end; folders--) {
        int node = t->linking.next++;
        if (t->nodes[node].wd >= 0 && !list_folder(t, s, node)) push_node(&t->linking.waiting, node);
    }
}

bool links_event(watch_tree *t, const sink &s, const parsed_event &event, const parsed_event *previous) {
    linked_key file = wd_key(event.wd);
    if (!linked_follows(&t->linking.files, file)) return false;
    linked_files &l = t->linking.files;
    // Nothing but linked_names_of writes found: looking at a name below can
    // change the table, not the list.
    int count = linked_names_of(&l, file);
    bool forgotten = false;
    for (int i = 0; i < count; i++) {
        int entry = l.found[i];
        const linked_name &n = l.names[entry];
        if (!n.used || key_wd(n.file) != event.wd) continue; // dropped, or taken again
        int folder = key_wd(n.folder);
        int node = tree_find(t, folder);
        if (node < 0 || (event.mask & IN_IGNORED)) {
            // Its folder left the tree, or the file is gone: the name goes.
            linked_remove(&l, entry);
            forgotten = true;
            continue;
        }
        char name[NAME_MAX + 1];
        size_t length = n.length;
        memcpy(name, n.name, length + 1);
        // Its link count changed: one left may be its name here alone.
        if (event.mask & IN_ATTRIB) look_linked(t, s, node, name, length, nullptr, nullptr);
        uint32_t writes = event.mask & WRITES;
        if (!writes || seen_by_folder(previous, folder, n, writes)) continue;
        // Under the name the events read so far give it, as every change:
        // the file system may be ahead of them.
        t->linking.look_skipped = true;
        report_file(t, s, node, name, length, t->stream.events_since);
        t->linking.look_skipped = false;
    }
    // The kernel dropped its watch when the file went; a file left here
    // without names is no longer watched (look_linked drops its own).
    if (forgotten && !(event.mask & IN_IGNORED) && !linked_follows(&l, file)) drop_watch(t, event.wd);
    return true;
}
