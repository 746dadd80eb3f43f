// Hard-linked files in an inotify tree: the listing after set-up that finds
// those already there (tree_links_start, inotify_tree.h), and the events of
// the watches on the files themselves.
#pragma once

#include <sys/inotify.h>

#include "tree_nodes.h"

// An event of a followed file's own watch: a write reported under each name
// the tree keeps for the file (but the one whose folder reported it just
// before: previous, whose name is previous_name), a link count changed
// looked at again, a file gone forgotten. False when event.wd is no
// followed file's.
bool links_event(watch_tree *t, const sink &s, const inotify_event &event,
                 const inotify_event *previous, const char *previous_name);
