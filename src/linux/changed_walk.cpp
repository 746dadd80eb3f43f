// The catch-up walk over open folders.
#include "changed_walk.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "capacities.h"

namespace {

// Folders held open on the way down: a child is opened from its parent's
// descriptor. Below this depth a level is listed and closed at once, and
// its children are opened from the deepest held folder, with the names in
// between (still no link followed): a chain of folders deeper than the
// process may hold descriptors costs a path resolution per folder, not a
// descriptor per level.
const int HELD_LEVELS = 64;

// A folder on the way down from where the walk began.
struct level {
    void *folder;       // open, or null beyond HELD_LEVELS
    size_t names_from;  // its subfolders' names start there on the name stack
    size_t path_length; // its path relative to the root, in relative
};

// Grows a block to hold at least needed bytes; false when memory ran out.
bool reserve(void **block, size_t *capacity, size_t needed) {
    if (needed <= *capacity) return true;
    size_t grown = *capacity ? *capacity * 2 : 4096;
    while (grown < needed) grown *= 2;
    void *bigger = realloc(*block, grown);
    if (!bigger) return false;
    *block = bigger;
    *capacity = grown;
    return true;
}

struct walk {
    const lister_ops *lister;
    int64_t since;
    hand_record_fn on_record;
    void *context;
    bool complete;
    level *levels; // growable; levels[0] is where the walk began
    size_t level_capacity;
    int depth;     // levels in use
    char *names;   // subfolders still to walk, each ended by a NUL: a stack
    size_t names_used;
    size_t names_capacity;
    char relative[PATH_CAPACITY]; // the path of the deepest level, then of an entry
    char name[NAME_MAX + 1];
};

void hand(walk *w, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    if (!w->on_record(w->context, &record)) w->complete = false;
}

void unlistable(walk *w, const char *path, int error) {
    char text[128];
    hand(w, RECORD_UNWATCHED, path, strerror_r(error, text, sizeof text));
}

// Appends "/" and name to the deepest level's path, in w->relative; false
// when it does not fit (the level's path is left as it was).
bool extend(walk *w, size_t at, const char *name) {
    size_t length = strlen(name);
    size_t slash = at ? 1 : 0;
    if (at + slash + length >= sizeof w->relative) {
        w->relative[at] = '\0';
        return false;
    }
    if (slash) w->relative[at] = '/';
    memcpy(w->relative + at + slash, name, length + 1);
    return true;
}

// Whether name, listed in the deepest level's folder, still stands at the
// path the walk gives it (the level's path is w->relative up to at). Records
// go at the watcher's pace: a folder renamed meanwhile, or swapped for a
// link, holds files that never stood at its old path, which the rename's own
// report names where they are.
bool stands_at_path(walk *w, size_t at, const char *name) {
    char kept = w->relative[at];
    w->relative[at] = '\0';
    int error = 0;
    void *folder = w->lister->open_below(w->lister->context, nullptr, w->relative, &error);
    w->relative[at] = kept;
    if (!folder) return error != ENOENT && error != ENOTDIR; // else named as found
    bool there = w->lister->changed_at(w->lister->context, folder, name) >= 0;
    w->lister->close(w->lister->context, folder);
    return there;
}

// Lists the deepest level: files changed since the mark reported, the
// names of its subfolders put on the stack.
void list_level(walk *w) {
    level *l = &w->levels[w->depth - 1];
    if (int error = w->lister->list(w->lister->context, l->folder)) {
        unlistable(w, w->relative, error);
        return;
    }
    bool is_directory = false;
    while (const char *name = w->lister->next_entry(w->lister->context, l->folder, &is_directory)) {
        if (is_directory) {
            size_t length = strlen(name) + 1;
            if (!reserve(reinterpret_cast<void **>(&w->names), &w->names_capacity,
                         w->names_used + length)) {
                w->complete = false;
                continue;
            }
            memcpy(w->names + w->names_used, name, length);
            w->names_used += length;
            continue;
        }
        int64_t changed = w->lister->changed_at(w->lister->context, l->folder, name);
        if (changed < 0 || !changed_since(changed, w->since)) continue;
        if (extend(w, l->path_length, name)) {
            if (stands_at_path(w, l->path_length, name)) hand(w, RECORD_CHANGE, w->relative, nullptr);
        } else {
            watch_record r =
                last_name_record(RECORD_CHANGE, name, strlen(name), w->name, sizeof w->name, nullptr);
            hand(w, r.kind, r.path, nullptr);
        }
        w->relative[l->path_length] = '\0';
    }
}

// Opens the subfolder named on top of the stack, a child of the deepest
// level, and lists it as a level of its own.
void descend(walk *w) {
    level *parent = &w->levels[w->depth - 1];
    size_t end = w->names_used - 1; // its NUL
    size_t start = end;
    while (start > parent->names_from && w->names[start - 1] != '\0') start--;
    memcpy(w->name, w->names + start, end - start + 1);
    w->names_used = start;
    if (!extend(w, parent->path_length, w->name)) {
        char text[128];
        watch_record r = last_name_record(RECORD_UNWATCHED, w->name, strlen(w->name), w->name, sizeof w->name,
                                          strerror_r(ENAMETOOLONG, text, sizeof text));
        hand(w, r.kind, r.path, r.detail);
        return;
    }
    const char *below = w->name;
    void *from = parent->folder;
    if (!from) {
        // Beyond the held levels: from the deepest held one, every name in between.
        const level &anchor = w->levels[HELD_LEVELS - 1];
        from = anchor.folder;
        below = w->relative + anchor.path_length + (anchor.path_length ? 1 : 0);
    }
    int error = 0;
    void *folder = w->lister->open_below(w->lister->context, from, below, &error);
    if (!folder) {
        // Gone or replaced since it was listed: nothing in it is left to scan
        // here (what replaced it has events of its own).
        if (error != ENOENT && error != ENOTDIR) unlistable(w, w->relative, error);
        w->relative[parent->path_length] = '\0';
        return;
    }
    if (!reserve(reinterpret_cast<void **>(&w->levels), &w->level_capacity,
                 (static_cast<size_t>(w->depth) + 1) * sizeof(level))) {
        w->lister->close(w->lister->context, folder);
        w->complete = false;
        w->relative[parent->path_length] = '\0';
        return;
    }
    level *child = &w->levels[w->depth++];
    child->folder = folder;
    child->names_from = w->names_used;
    child->path_length = strlen(w->relative);
    list_level(w);
    if (w->depth > HELD_LEVELS) {
        w->lister->close(w->lister->context, folder);
        child->folder = nullptr;
    }
}

} // namespace

bool walk_changed_below(const lister_ops *lister, void *folder, const char *prefix, int64_t since,
                        hand_record_fn on_record, void *context) {
    walk *w = static_cast<walk *>(calloc(1, sizeof(walk)));
    if (!w) return false;
    w->lister = lister;
    w->since = since;
    w->on_record = on_record;
    w->context = context;
    w->complete = true;
    size_t prefix_length = strlen(prefix);
    if (prefix_length >= sizeof w->relative ||
        !reserve(reinterpret_cast<void **>(&w->levels), &w->level_capacity, sizeof(level))) {
        free(w);
        return false;
    }
    memcpy(w->relative, prefix, prefix_length + 1);
    w->levels[0] = level{folder, 0, prefix_length};
    w->depth = 1;
    list_level(w);
    while (w->depth > 0) {
        level *l = &w->levels[w->depth - 1];
        if (w->names_used > l->names_from) {
            descend(w);
            continue;
        }
        // Done with it; the folder the walk began with is the caller's.
        if (w->depth > 1 && l->folder) w->lister->close(w->lister->context, l->folder);
        w->depth--;
        if (w->depth > 0) w->relative[w->levels[w->depth - 1].path_length] = '\0';
    }
    bool complete = w->complete;
    free(w->names);
    free(w->levels);
    free(w);
    return complete;
}

bool walk_changed(const char *root, int64_t since, hand_record_fn on_record, void *context) {
    kernel_root named;
    int error = kernel_root_init(&named, root);
    lister_ops lister = kernel_lister(&named);
    void *folder = error ? nullptr : lister.open_root(lister.context, root, &error);
    if (!folder) {
        // Gone since it was seen: nothing in it is left to scan.
        if (error == ENOENT) return true;
        char text[128];
        watch_record record = {RECORD_UNWATCHED, "", strerror_r(error, text, sizeof text)};
        return on_record(context, &record);
    }
    bool complete = walk_changed_below(&lister, folder, "", since, on_record, context);
    lister.close(lister.context, folder);
    return complete;
}
