// The tree's two indexes over its nodes: by watch descriptor, and by parent
// and name. Open addressing with linear probing and backward-shift deletion,
// so finding, adding and removing a node take constant time on average
// whatever the tree's size. Nodes with the same parent and name (the tree
// can hold two for a while, when a listing ran ahead of a rename) share one
// probe run, so all of them can be visited.
#pragma once

#include <stddef.h>

struct watch_tree;

struct node_index {
    int *slots; // node numbers, -1 for empty
    size_t slot_count; // a power of two, or 0
    size_t used;
};

// The index a node's key lives in, with its hash.
enum index_kind { BY_WD, BY_NAME };

bool index_insert(watch_tree *tree, index_kind kind, int node);
void index_remove(watch_tree *tree, index_kind kind, int node);
void index_release(node_index *index);

// The node watching wd, or -1.
int index_find_wd(const watch_tree *tree, int wd);

// Walks the nodes named name below parent: first for the first one, then
// with the *slot it left to get the next. Returns the node, or -1 at the end.
int index_next_named(const watch_tree *tree, int parent, const char *name, size_t length,
                     size_t *slot, bool first);
