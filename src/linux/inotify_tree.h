// Translation of inotify events for a whole directory tree into the
// watcher's records. The kernel is reached only through tree_ops, so tests
// can feed synthetic events against a fake file system.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacities.h"
#include "os.h"

// What the tree asks of the kernel.
struct tree_ops {
    // Watches a directory; the watch descriptor, or -errno.
    int (*add_watch)(void *context, const char *path, uint32_t mask);
    void (*remove_watch)(void *context, int wd);
    // Lists a directory without following a symbolic link in its last
    // component (except for the root). Null with *error set on failure.
    void *(*open_directory)(void *context, const char *path, bool is_root,
                            int *error);
    // The next entry other than "." and "..", or null at the end.
    const char *(*next_entry)(void *context, void *directory, bool *is_directory);
    void (*close_directory)(void *context, void *directory);
    void *context;
    // Whether events were read or queued that the tree has not been handed
    // yet. Optional: without it, every listing counts as ahead of the events.
    bool (*events_pending)(void *context);
};

// One watched directory. Its path is found by walking parents, so renaming a
// directory is one update, whatever lies below it.
struct tree_node {
    int wd;
    int parent;       // -1 for the root
    int first_child;
    int next_sibling; // also chains free slots
    unsigned mark;    // how far its place is trusted, or work flagged on it
    bool reported;    // listed with its files reported as changes
    char *name;       // own allocation; empty for the root
};

struct watch_tree {
    const char *root; // the directory field as written
    tree_ops ops;

    tree_node *nodes;
    int node_count; // slots ever used
    int node_capacity;
    int free_slot;

    int *wd_slots; // open addressing: watch descriptor -> node
    size_t wd_slot_count;
    size_t wd_used;

    int *work; // directories waiting to be listed
    int work_count;
    int work_capacity;

    // A directory moved away, until the next event tells whether it stayed
    // inside the tree.
    bool move_pending;
    uint32_t move_cookie;
    int move_node;

    unsigned mark; // the batch in hand: reads, rescans and set-up, counted

    size_t batch_left; // bytes of the batch in hand after the event in hand

    char path[PATH_CAPACITY];     // directory path for system calls
    char relative[PATH_CAPACITY]; // relative path of the record in hand
    char detail[192];
};

// The root is node 0.
static const int TREE_ROOT = 0;

// Watches root and every directory below it, reporting directories that
// cannot be watched. Returns 0, or the errno of the failed root watch.
int tree_start(watch_tree *tree, const char *root, const tree_ops *ops,
               record_fn on_record, void *context);

// Translates one buffer of inotify events into records, in order. Returns 0,
// or an errno once the root itself is gone.
int tree_handle_events(watch_tree *tree, const unsigned char *events,
                       size_t length, record_fn on_record, void *context);

// Releases what the tree holds, without removing kernel watches.
void tree_release(watch_tree *tree);

// The node watching wd, or -1. For tests.
int tree_find(const watch_tree *tree, int wd);

// Writes the path of node relative to the root; false when it does not fit.
bool tree_relative_path(const watch_tree *tree, int node, char *out,
                        size_t capacity);
