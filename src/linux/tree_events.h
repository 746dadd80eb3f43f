// Translation of one buffer of inotify events: file events become records,
// directory events keep the tree current. tree_handle_events (declared in
// inotify_tree.h) is its entry.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tree_nodes.h"

// Indexes the directory-rename arrivals of a buffer by cookie.
void pairs_build(watch_tree *t, const unsigned char *events, size_t length);
// Takes the first arrival with cookie at or after from: its offset, or
// NO_PAIR.
size_t pairs_take(watch_tree *t, uint32_t cookie, size_t from);
// Whether the arrival at offset was taken ahead of its place.
bool pairs_taken(const watch_tree *t, uint32_t cookie, size_t offset);

static const size_t NO_PAIR = static_cast<size_t>(-1);
