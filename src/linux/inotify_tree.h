// The tree an inotify reader keeps: which directories below the root are
// watched, where each stands, and how the kernel's events become records.
// The kernel is reached only through tree_ops, so tests can feed synthetic
// events against a fake file system. Its entry points: the model they keep
// is in tree_model.h, the listing for hard-linked files already there in
// tree_links.h.
#pragma once

#include "tree_model.h"

// Watches root and every directory below it, reporting directories that
// cannot be watched. Returns 0, or the errno of the failed root watch.
int tree_start(watch_tree *tree, const char *root, const tree_ops *ops, hand_record_fn on_record,
               void *context);

// Translates one read of inotify events (length bytes, parsed into batch)
// into records, in order. When the
// kernel holds nothing more, whatever the tree still doubts is looked at
// (and, failing that, the whole tree listed again): so the tree mirrors the
// file system whenever the events stop. Returns 0, or an errno once the root
// itself is gone.
int tree_handle_batch(watch_tree *tree, const event_batch *batch, size_t length,
                      hand_record_fn on_record, void *context);
// The same for a buffer not parsed yet.
int tree_handle_events(watch_tree *tree, const unsigned char *events, size_t length,
                       hand_record_fn on_record, void *context);

// Whether a check of the tree was put off: the caller calls tree_run_owed_check
// once no event has come for TREE_QUIET_MS. The tree may be wrong about a
// folder until then, so the wait is short.
const int TREE_QUIET_MS = 50;
bool tree_check_owed(const watch_tree *tree);

// Runs the put-off check if the kernel holds no event. Returns 0, or an
// errno once the root itself is gone.
int tree_run_owed_check(watch_tree *tree, hand_record_fn on_record, void *context);

// Whether folders are dirty: the caller calls tree_report_dirty once what is
// queued has been taken.
bool tree_has_dirty(const watch_tree *tree);

// Reports every file of each dirty folder whose status-change time is at or
// after the folder's mark, less a margin for coarse file-system clocks. A
// record dropped again leaves its folder dirty.
void tree_report_dirty(watch_tree *tree, hand_record_fn on_record, void *context);

// What shows at relative (a folder below the root) changed: a filesystem was
// mounted there, or unmounted. The watches there and below, on what is
// hidden now, are replaced by watches on what shows, and every file in it is
// reported, as for a folder moved in.
void tree_mount_changed(watch_tree *tree, const char *relative, hand_record_fn on_record,
                        void *context);

// Releases what the tree holds, without removing kernel watches.
void tree_release(watch_tree *tree);
