// Hard-linked files in an inotify tree: the listing after set-up that finds
// those already there, and the events of
// the watches on the files themselves.
#pragma once

#include <sys/inotify.h>

#include "inotify_batch.h"
#include "tree_nodes.h"

// An event of a followed file's own watch: a write reported under each name
// the tree keeps for the file (but the one whose folder reported it just
// before: previous), a link count changed looked at again, a file gone
// forgotten. False when event.wd is no followed file's.
bool links_event(watch_tree *t, const sink &s, const parsed_event &event, const parsed_event *previous);

// Lists every folder for hard-linked files already there, a few at a time:
// each is followed, and reported if it changed since since (less the margin
// for coarse clocks), as a write through another name made no event here.
void tree_links_start(watch_tree *tree, int64_t since);

// Whether folders are still to be listed for linked files: the caller calls
// tree_links_discover when no event waits (and after each read).
bool tree_links_pending(const watch_tree *tree);

// Lists up to folders of them, and tries those whose paths did not hold.
void tree_links_discover(watch_tree *tree, hand_record_fn on_record, void *context, int folders);
