// The tree's nodes: slots, parent and child links, names, paths, how far
// each node's place is trusted, and the records the tree hands on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tree_model.h"

// Where the tree hands its records.
struct sink {
    hand_record_fn on_record;
    void *context;
};

// False when the record was dropped.
bool hand(const sink &s, record_kind kind, const char *path, const char *detail);

// A new node for wd under parent (-1 for the root); -1 when memory ran out.
// Its place is not trusted until fix_trust_points.
int new_node(watch_tree *t, int wd, int parent, const char *name, size_t length);

// Forgets node and everything below it, removing their kernel watches; the
// node's own is left alone when the kernel already dropped it (the watches
// below it may still be alive, as on a mount inside an unmounted one).
void forget(watch_tree *t, int node, bool own_watch_gone);

// Puts node under parent with a new name. True when it moved.
bool relocate(watch_tree *t, int node, int parent, const char *name, size_t length);

// Notes where a listing saw node, away from where the events put it.
void note_sighting(watch_tree *t, int node, int parent, const char *name, size_t length);
// Forgets where node was seen, once events read later place it.
void drop_sighting(watch_tree *t, int node);
// Whether a listing saw node elsewhere before position in the stream.
bool sighted_before(const watch_tree *t, int node, uint64_t position);
// Moves node to where a listing saw it after an event at position, if that
// still can be. True when it moved.
bool move_to_sighting(watch_tree *t, int node, uint64_t position);

// An empty tree's slots and indexes; what they hold, released.
void nodes_init(watch_tree *t);
void nodes_release(watch_tree *t);

// Walks the nodes named name below parent: first for the first one, then
// with the *slot it left to get the next. Returns the node, or -1 at the end.
int next_named(const watch_tree *t, int parent, const char *name, size_t length, size_t *slot,
               bool first);
// The first child of parent with that name, or -1.
int child_named(const watch_tree *t, int parent, const char *name, size_t length);
bool has_name(const watch_tree *t, int node, const char *name, size_t length);
bool is_below(const watch_tree *t, int node, int ancestor);

// The node after n in a walk of top's subtree, or -1. Without recursion:
// renames can stack directories deeper than any path.
int next_below(const watch_tree *t, int top, int n);

// Sets whether top and everything below it were listed with their files
// reported.
void mark_reported(watch_tree *t, int top, bool reported);

// Relative path of node, then "/" and name when name is given.
bool build_relative(const watch_tree *t, int node, const char *name, size_t name_length,
                    char *out, size_t capacity);
// The path of node's directory (then "/" and name, when given) below the
// root, for opening it there, into t->path ("" for the root itself); false
// when the root's path and it would not fit in a path.
bool build_system_path(watch_tree *t, int node, const char *name, size_t name_length);

// Whether node, or a folder above it, stands where the tree put it by a
// guess still to be checked.
bool placed_by_guess(const watch_tree *t, int node);

// Records about a directory below node that cannot be watched, and about a
// file that changed.
void describe_error(watch_tree *t, int error);
void unwatched(watch_tree *t, const sink &s, int node, const char *name, size_t length, int error);
// A dropped report leaves the folder dirty since dirty_since (0: every file).
// The name's hard links are looked at (look_linked) unless look_skipped.
void report_file(watch_tree *t, const sink &s, int node, const char *name, size_t length,
                 int64_t dirty_since);
// Makes the linked files followed agree with what stands at name in node's
// folder now (looked up in the open directory, when given): a regular file
// with more than one link is watched by its inode and the name kept for it;
// the same file with no other name left, or nothing while nothing waits to
// be read, has the name forgotten (a file left without names is no longer
// watched). Nothing found while events wait may only mean the tree is
// behind: the folder is listed again once nothing waits. The file's watch
// descriptor, with *file, or -1. What cannot be followed is told once, by
// the field's line.
int look_linked(watch_tree *t, const sink &s, int node, const char *name, size_t length,
                void *directory, linked_stat *file);
// A name deleted or moved away by an event: forgotten, unless the same file
// stands there still (two names exchanged).
void linked_name_left(watch_tree *t, int node, const char *name, size_t length);
void mark_dirty(watch_tree *t, int node, int64_t since);

// Whether the kernel holds no event for the tree, unread.
bool kernel_queue_empty(const watch_tree *t);

// False when it could not be kept (a list with a limit spills instead).
bool push_node(node_list *list, int node);
void release_list(node_list *list);
// How far to walk a list: its nodes, or every slot when it spilled; and
// the node at a step of that walk. Its user checks the node's mark.
int list_end(const watch_tree *t, const node_list *list);
int list_at(const node_list *list, int i);
// Empties a list, spilled or not.
void clear_list(node_list *list);
// The list as it is, for its user to walk and release; an empty one is left
// in its place, so what is pushed meanwhile waits for the next time.
node_list take_list(node_list *list);

// Trust. A node placed by what the file system showed is trusted once the
// events queued by then have been read: fix_trust_points fixes that point for
// every node placed since the last call.
bool placed_by_events(const watch_tree *t, int node);
void mark_placed(watch_tree *t, int node);
void fix_trust_points(watch_tree *t);
// A rename read and confirmed: the node's place follows the events again.
void placed_by_rename(watch_tree *t, int node);
// Notes a directory whose place or subdirectories changed: checked when the
// tree rests, if it looked ahead of the events meanwhile.
void touch_directory(watch_tree *t, int node);
// The check at rest is over: nothing is left to check, nothing looked ahead.
void end_verify(watch_tree *t);
// Removes a kernel watch (the kernel then queues an IN_IGNORED for it).
void drop_watch(watch_tree *t, int wd);
// Called before the tree looks at the file system: notes whether it looks
// ahead of events still to be read.
void observe(watch_tree *t);
// Brackets a listing: its looks are observed once, at its end.
void listing_begin(watch_tree *t);
void listing_end(watch_tree *t);
// Flags work on a node whose path does not hold; it is tried again later.
void flag_node(watch_tree *t, int node, unsigned flag);
