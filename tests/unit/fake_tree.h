// An in-memory file system behind tree_ops that queues inotify events the way
// the kernel does, so the tree translation can be driven without the kernel.
// Shared by the unit tests and the fuzz targets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "inotify_tree.h"

struct fake_event {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;
};

struct fake_node {
    std::string name;
    int parent = -1; // -1 for "/" and for removed nodes
    bool is_dir = false;
    bool alive = true;
    int bind = -1; // a mount entry: the directory it shows
    int link = -1; // a symbolic link: what it points to
    std::vector<int> children;
    int wd = 0; // kernel watch, 0 for none
    uint32_t mask = 0;
    int add_error = 0;  // errno forced on add_watch
    int open_error = 0; // errno forced on listing it

    // What the checks need to know.
    bool dirty = false;   // a file changed and not scanned since
    bool arrived = false; // a directory that appeared while watched
    bool refused = false; // a directory the tree was refused (watch or listing)
    int64_t ctime = 0;    // status-change time of a file
};

enum fake_call { FAKE_ADD_WATCH, FAKE_REMOVE_WATCH, FAKE_OPEN, FAKE_LIST, FAKE_NEXT };

struct fake_fs {
    std::vector<fake_node> nodes; // node 0 is "/"
    std::vector<fake_event> queue;
    int next_wd = 1;
    uint32_t next_cookie = 1;
    size_t watch_count = 0;
    size_t watch_limit = static_cast<size_t>(-1); // ENOSPC beyond
    size_t queue_limit = 16384;                   // IN_Q_OVERFLOW beyond
    int root = -1;                                // the watched root, for the checks
    std::string root_path;                        // ... and its path

    std::set<std::string> named;                   // relative paths that ever named a file
    std::vector<std::set<std::string>> dirty_paths; // by node: paths held since the change

    std::vector<int> removed; // watch descriptors the tree removed
    int bad_removes = 0;      // removals of watch descriptors the kernel lacks
    int open_listings = 0;    // directories open and listed
    int open_directories = 0; // directories open
    int open_limit = 1 << 30; // EMFILE beyond
    int calls = 0; // tree_ops calls so far
    // The file system's clock: every change ticks it by more than the
    // tree's margin for coarse clocks, so that a file changed before a mark
    // is told apart from one changed after it.
    int64_t clock = 0;
    int64_t last_read = 0;   // the clock at the last read
    int64_t events_since = 0; // ... at the read before: what the read holds came after
    fake_call call = FAKE_ADD_WATCH; // the one being made
    bool trace = false;              // print every call on stderr

    // Called at the start of every tree_ops call: lets a test change the file
    // system while the tree is in the middle of its work.
    void (*on_call)(fake_fs *fs, void *context) = nullptr;
    void *on_call_context = nullptr;
};

void fake_init(fake_fs *fs);
// Makes path the watched root of the checks; its files so far are no changes.
void fake_set_root(fake_fs *fs, const char *path);
tree_ops fake_ops(fake_fs *fs);
// The folders alone, for walks.
lister_ops fake_lister(fake_fs *fs);

// The node a path names, following mount entries; -errno when there is none.
int fake_lookup(const fake_fs *fs, const char *path);
std::string fake_path(const fake_fs *fs, int node);
// The path of node relative to the watched root, or false when it lies outside.
bool fake_relative(const fake_fs *fs, int node, std::string *out);

// File system operations with the kernel's events; 0 or errno.
int fake_mkdir(fake_fs *fs, const char *path);
int fake_create(fake_fs *fs, const char *path); // IN_CREATE only
int fake_write(fake_fs *fs, const char *path);  // IN_CREATE when new, IN_MODIFY
int fake_unlink(fake_fs *fs, const char *path);
int fake_rmdir(fake_fs *fs, const char *path);
int fake_rename(fake_fs *fs, const char *from, const char *to);
int fake_bind(fake_fs *fs, const char *directory, const char *at);
// A symbolic link at at to the directory or file target (IN_CREATE).
int fake_symlink(fake_fs *fs, const char *target, const char *at);

// Queues an event as the kernel would: coalesced with an identical last
// event, replaced by IN_Q_OVERFLOW past the queue limit.
void fake_queue(fake_fs *fs, int wd, uint32_t mask, uint32_t cookie, const char *name);

// Appends one event in the kernel's layout (name padded with NULs to a
// multiple of the header size); name_space overrides the padded length.
void fake_encode(std::vector<unsigned char> *out, int wd, uint32_t mask, uint32_t cookie,
                 const std::string &name, long name_space = -1);

// Moves whole queued events into buffer, as read(2) does; the byte count.
size_t fake_read(fake_fs *fs, unsigned char *buffer, size_t capacity);

// Checks for the tests and the fuzz targets; false with *why on failure.

// The tree's own bookkeeping: index, parent and child links, free slots.
bool fake_check_structure(const watch_tree *tree, std::string *why);
// Every directory below the root that was not refused is watched by exactly
// one node at its path, every node watches such a directory, and the kernel
// holds no watch the tree has forgotten.
bool fake_check_mirror(const fake_fs *fs, const watch_tree *tree, std::string *why);
// A record handed over now: the file it names counts as scanned.
void fake_note_record(fake_fs *fs, const watch_record *record);
// Whether a path relative to the root ever named a file.
bool fake_ever_named(const fake_fs *fs, const char *relative);
// Every file below the root changed since set-up was scanned under a path
// that named it at the time.
bool fake_check_scanned(const fake_fs *fs, std::string *why);
