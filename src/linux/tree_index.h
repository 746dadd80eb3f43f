// An index of node numbers by a key the caller hashes: open addressing with
// linear probing and backward-shift deletion, so finding, adding and removing
// a node take constant time on average whatever the tree's size. Nodes with
// the same key (the tree can hold two folders of one name for a while, when
// a listing ran ahead of a rename) share one probe run, so all of them can
// be visited; the caller tells them apart.
#pragma once

#include <stddef.h>

// The hash of a node's key, as the index was given it.
typedef size_t (*node_hash_fn)(const void *context, int node);

struct node_index {
    int *slots;        // node numbers, -1 for empty
    size_t slot_count; // a power of two, or 0
    size_t used;
    node_hash_fn hash_of;
    const void *context; // of hash_of
};

void index_init(node_index *index, node_hash_fn hash_of, const void *context);
// False when it would not fit and memory ran out.
bool index_insert(node_index *index, int node);
void index_remove(node_index *index, int node);
void index_release(node_index *index);

// Walks the probe run of a key's hash: first for its first node, then with
// the *slot it left for the next. Every node whose key shares the run comes
// up, not only those with that key. -1 at the end.
int index_first(const node_index *index, size_t hash, size_t *slot);
int index_next(const node_index *index, size_t *slot);
