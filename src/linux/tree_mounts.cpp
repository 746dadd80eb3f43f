// Mounts and unmounts inside the inotify tree: a watch is on an inode, so
// the watches on a folder that a mount covers go on seeing the hidden
// folder, and nothing sees the mount. They are replaced where the table
// says what shows changed.
#include "inotify_tree.h"

#include <string.h>

#include "tree_listing.h"
#include "tree_nodes.h"

void tree_mount_changed(watch_tree *t, const char *relative, hand_record_fn on_record,
                        void *context) {
    sink s = {on_record, context};
    // The node of each name on the way, as far as the tree knows them.
    int parent = TREE_ROOT;
    const char *name = relative;
    for (;;) {
        const char *slash = strchr(name, '/');
        size_t length = slash ? static_cast<size_t>(slash - name) : strlen(name);
        if (!length) return; // the root itself: its guard tells
        int node = child_named(t, parent, name, length);
        if (slash) {
            // A folder on the way that the tree does not watch (named when
            // it was met, or its event still to come) has none below it.
            if (node < 0) return;
            parent = node;
            name = slash + 1;
            continue;
        }
        // (Two of that name, while a listing ran ahead of a rename: both.)
        for (; node >= 0; node = child_named(t, parent, name, length)) forget(t, node, false);
        t->sync.work.count = 0;
        directory_arrived(t, s, parent, name, length, LIST_MOUNTED);
        return;
    }
}
