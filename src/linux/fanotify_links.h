// The walk of a fanotify reader's field for hard-linked files already there:
// when the watch begins (the mark sees every change from then on, but not
// which files had other names before), after events were lost, and in a
// folder moved in. It runs on the reader's thread a few folders at a time
// between reads, so set-up still takes milliseconds and events are still
// read while a large tree is walked. Folders are taken by their handles and
// opened with open_by_handle_at, so a folder renamed meanwhile is still
// walked and no path can be swapped for a link to elsewhere; each is checked
// to lie under the root. A linked file found is followed (its name kept in
// the translator's table) and reported if it changed since the walk's mark:
// a write through another name before then made no event under the root.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacities.h"
#include "fanotify_events.h"
#include "mounts.h"

struct link_walk_folder; // a folder still to list: its handle and mark

struct link_walk {
    link_walk_folder *folders; // a stack, grown as needed
    size_t count;
    size_t capacity;
    char path[PATH_CAPACITY];
};

void link_walk_init(link_walk *walk);
void link_walk_release(link_walk *walk);

// Adds the folder at path (absolute) and everything below it to the walk;
// files in it changed since since (less the margin) are reported. False
// when it cannot be had.
bool link_walk_add(link_walk *walk, const char *path, int64_t since);

bool link_walk_pending(const link_walk *walk);

// Lists up to folders of the folders still to list.
void link_walk_step(link_walk *walk, fan_translator *translator, const fs_marks *marks,
                    record_fn on_record, void *context, int folders);

// Whether the name at path (not followed if a symbolic link) holds file, a
// handle as fanotify's events give it (made to be compared: Linux 6.5;
// older kernels make the same handle without asking, on the filesystems
// that can be marked).
bool link_walk_same_file(const char *path, const fan_handle &file);
