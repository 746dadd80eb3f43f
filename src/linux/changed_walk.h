// The catch-up walk: finds what changed in a tree when no event said so (a
// lost window, a folder moved in or renamed) by reporting every file whose
// status-change time is at or after a mark. Each folder is opened from its
// parent's open descriptor (folder_lister.h), so a folder swapped for a link
// during the walk is never followed.
#pragma once

#include <stdint.h>

#include "folder_lister.h"
#include "hand_record.h"

// Walks what lies below folder, an open folder of lister, whose path
// relative to the watched root is prefix ("" for the root itself); folder is
// left open. Each file changed since the mark (0: every file) is reported as
// RECORD_CHANGE, its path relative to the root, or RECORD_UNREPRESENTABLE
// with its name when that path is too long; a folder that cannot be listed
// is named by RECORD_UNWATCHED. Returns false when a record was dropped (the
// caller keeps its mark and walks again later) or memory ran out.
bool walk_changed_below(const lister_ops *lister, void *folder, const char *prefix, int64_t since,
                        hand_record_fn on_record, void *context);

// Walks root, followed if it is a link, with the kernel's folders: as above.
// A root that cannot be opened is named by RECORD_UNWATCHED, unless gone.
bool walk_changed(const char *root, int64_t since, hand_record_fn on_record, void *context);
