// The tree's model: the data an inotify tree keeps, and how to find a
// node. The sync (tree_listing.cpp) and event (tree_events.cpp) code
// build on it; nothing here calls up into them.
//
// The model. One node per watched directory: its watch descriptor, its
// parent node and its name. Nodes are found by descriptor and by (parent,
// name) in constant time; a path is found by walking parents, so renaming a
// directory is one update, whatever lies below it. Files are not kept: a
// file event is reported as its directory's path and the file's name.
//
// Events say what happened, in order. But a directory that appears must be
// watched and listed by its path, and the file system is then ahead of the
// events still queued: the path can name another directory by then. So each
// node knows from which point of the event stream on its place follows from
// the events read (trust_at); until then a rename naming it is checked
// against the file system. Work that needed a path that did not hold is
// flagged on the node and tried again once more events were read.
//
// Hard links: a regular file with more than one link can be written through
// a name outside the tree, which no folder's watch sees. Such a file is
// watched by its inode too, and a write reported under each of its names in
// the tree (linked_files.h, tree_links.cpp). Files reported are looked at
// for links as they are reported; those there at start are found by a
// listing after set-up, a few folders at a time between reads.
//
// Nothing is lost for good: when a change's record cannot be queued, its
// folder is marked dirty since a time no later than the change (one mark per
// folder), and once the watcher has taken what is queued, every file in a
// dirty folder whose status-change time is at or after its mark is reported.
// Events the kernel could not hold make every folder dirty. So does a rename
// of a directory within the tree for every folder below it: a file changed
// there just before is reported under the path it has now, not only under
// the one its event gave it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacities.h"
#include "folder_lister.h"
#include "hand_record.h"
#include "linked_files.h"
#include "os.h"
#include "rename_pairs.h"
#include "tree_index.h"

// What the tree asks of the kernel. Directories are opened below the
// root's open directory, never through a link, and watched as opened.
struct tree_ops {
    lister_ops lister;
    // Watches an open directory; the watch descriptor, or -errno.
    int (*add_watch)(void *context, void *directory, uint32_t mask);
    void (*remove_watch)(void *context, int wd);
    // Bytes of events the kernel holds that the tree has not been handed.
    size_t (*queued_bytes)(void *context);
    void *context;
    // Looks at name in an open directory without following a symbolic
    // link: with watch, a regular file with more than one link is watched by
    // its inode. Its watch descriptor; -1 when it is no such file (or watch
    // is false), or none; -errno when it cannot be watched. *file says what
    // stands there. Null where hard links are not followed.
    int (*watch_linked)(void *context, void *directory, const char *name, bool watch,
                        linked_stat *file);
};

// A directory opened and watched at set-up while its parent was listed,
// kept open for its own listing: no second look-up.
struct held_directory {
    int node;
    int wd; // the node's then, so a reused slot is no match
    void *directory;
};

// Directories kept so at once, at most: a tree's depth times its width at
// the bottom, for the trees set-up meets; beyond, a directory is opened
// again below the root when its turn comes.
static const int HELD_DIRECTORIES = 256;

// Work left on a node whose path did not hold when it was needed.
enum node_flag : uint8_t {
    NODE_MISSED = 1,   // a subdirectory may have been missed: list it for those
    NODE_UNLISTED = 2, // it was never listed: list it whole
    NODE_SUSPECT = 4,  // placed by a guess, to be confirmed
};

// What else is true of a node: the lists it is on, and marks of the passes
// that use them.
enum node_mark : uint8_t {
    MARK_REPORTED = 1,     // listed with its files reported as changes
    MARK_RETRYING = 2,     // on the retry list
    MARK_VERIFYING = 4,    // on the list of directories to check once nothing is queued
    MARK_LINK_RECHECK = 8, // on the list to look at again for linked files
    MARK_DIRTY = 16,       // on the dirty list: files since dirty_since are owed
    MARK_SEEN = 32,        // reached by the rescan under way
    MARK_SIGHTED = 64,     // a listing saw it elsewhere: its sighting holds
    MARK_MOVED = 128,      // new, or relocated, since the mark was last cleared
};

// Names this long or longer are kept in an allocation of their own; shorter
// ones, most folder names, inside the node.
static const size_t NODE_NAME_INSIDE = 16;

// One per watched directory, 56 bytes: a tree of a hundred thousand folders
// takes under six megabytes. Its two times are whole seconds since the epoch,
// each rounded the way that reports more, never less: they are marks for
// status-change times, which are compared less a margin of seconds anyway.
struct tree_node {
    int wd;           // -1 for a free slot
    int parent;       // -1 for the root and free slots
    int first_child;
    int next_sibling; // also chains free slots
    int prev_sibling;
    uint8_t flags;    // node_flag bits
    uint8_t marks;    // node_mark bits
    uint16_t name_length;
    uint64_t trust_at; // stream position from which its place follows the events
    // A change's record here was dropped: files changed since then (0 for
    // every file) are owed. Rounded down.
    uint32_t dirty_since;
    // events_since when it was listed with its files reported as arrived
    // (0: never): until every change before that was scanned, a rename of
    // it has all its files reported again, not only those changed lately.
    // Rounded up.
    uint32_t arrived_at;
    union {
        char short_name[NODE_NAME_INSIDE]; // empty for the root
        char *long_name;
    };
};

inline const char *node_name(const tree_node &n) {
    return n.name_length < NODE_NAME_INSIDE ? n.short_name : n.long_name;
}

// A node's times from and to nanoseconds since the epoch.
inline uint32_t seconds_down(int64_t ns) {
    int64_t s = ns / 1000000000;
    return s <= 0 ? 0 : s >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}
inline uint32_t seconds_up(int64_t ns) {
    int64_t s = ns <= 0 ? 0 : (ns - 1) / 1000000000 + 1;
    return s >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}
inline int64_t seconds_ns(uint32_t s) { return static_cast<int64_t>(s) * 1000000000; }

// Where a listing saw a node, when the events read so far put it elsewhere:
// where it went if its events only say that it left. Kept beside the nodes,
// by node number, for those marked MARK_SIGHTED.
struct tree_sighting {
    int parent;
    int parent_wd;  // the parent's watch then, so a reused slot is no match
    char *name;     // own allocation
    size_t length;
    uint64_t at;    // stream position of the events queued by then
};

// A growable list of node numbers. One with a limit holds that many at
// most: past it the list is spilled, and its user looks at every node
// instead (each node carries a mark that says whether it is on it).
struct node_list {
    int *items;
    int count;
    int capacity;
    int limit;    // 0: none
    bool spilled;
};

// How many nodes a list of the placed or of those to verify holds before it
// spills: a set-up of any size passes over its nodes once instead of
// keeping a list of them all.
static const int NODE_LIST_LIMIT = 4096;

// Where the tree stands in the kernel's event stream: kept by the event
// code (tree_events.cpp), read by the model to date how far a node's place
// is trusted.
struct tree_stream {
    // No event handed to the tree now was made before this time (nanoseconds
    // since the epoch): a dropped record's folder is dirty since then. Set
    // by the caller before each buffer.
    int64_t events_since;
    // Every change made before this time had been scanned when the events
    // handed to the tree now were made: a directory renamed by one of them
    // has every folder below it dirty since then, so that files changed
    // lately are reported under their new paths. Set by the caller before
    // each buffer.
    int64_t scanned_before;
    uint64_t position;   // stream bytes before the event in hand
    uint64_t event_end;  // ... and after it
    uint64_t stream_end; // stream bytes handed to the tree
    unsigned dropped_watches; // watches removed: each queues an IN_IGNORED

    // A directory moved away, until the next event tells whether it stayed
    // inside the tree.
    bool move_pending;
    uint32_t move_cookie;
    int move_node;
    uint64_t move_position; // where its event stands in the stream
    move_pairs pairs;
    event_batch batch; // for tree_handle_events: the reader parses its own
};

// The sync's work (tree_listing.cpp): directories to list, flagged ones to
// try again, and the looks it took at the file system ahead of the events.
struct tree_sync {
    held_directory held[HELD_DIRECTORIES];
    int held_count;
    node_list work;   // directories waiting to be listed
    node_list retry;  // flagged directories
    node_list verify; // changed since the tree last rested: checked if it looked ahead
    node_list moved;  // relocated by a rescan: what is in them is reported again
    // The tree looked at the file system while events were still queued,
    // since it last rested: it may have taken one directory for another.
    bool ahead;
    bool listing; // in list_queued: looks are observed at its end
    bool looked;  // ... and it made one
    // A check of that put off because the file system changed while it
    // listed is tried again at a rest once the stream has reached this
    // point (as many event bytes as entries it listed), or when the reader
    // has had no event for a while (tree_run_owed_check): in a rename
    // storm, trying at every rest would list the same large folders again
    // and again.
    uint64_t verify_after;
    uint64_t listed; // directory entries the checks have listed
};

// Hard-linked files followed by their inodes (tree_links.cpp; the model
// keeps their names current as folders move).
struct tree_linking {
    linked_files files;
    int next;            // the next slot to list for linked files already there
    int end;             // ... and the end of those to list
    node_list waiting;   // ... whose paths did not hold: tried after events
    node_list recheck;   // where a name looked at was not found while events waited
    int64_t since;       // a linked file found so that changed since is reported
    bool told;           // the line that not every link is followed was queued
    bool look_skipped;   // report_file leaves the links of its name alone
};

struct watch_tree {
    const char *root; // the directory field as written
    tree_ops ops;

    // The model: nodes, their indexes, and the nodes whose trust point or
    // dropped records are pending.
    tree_node *nodes;
    tree_sighting *sightings; // node_capacity of them, null until the first
    int node_count; // slots ever used
    int node_capacity;
    int free_slot;
    node_index by_wd;
    node_index by_name;
    node_list placing; // placed by what the file system showed, trust point pending
    node_list dirty;   // folders with dropped records

    tree_stream stream;
    tree_sync sync;
    tree_linking linking;

    char path[PATH_CAPACITY];     // directory path below the root, for opening it
    char relative[PATH_CAPACITY]; // relative path of the record in hand
    char detail[192];
};

// The root is node 0.
static const int TREE_ROOT = 0;

// The node watching wd, or -1.
int tree_find(const watch_tree *tree, int wd);

// Writes the path of node relative to the root; false when it does not fit.
bool tree_relative_path(const watch_tree *tree, int node, char *out, size_t capacity);
