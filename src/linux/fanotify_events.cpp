// Translation of fanotify events into records and path-cache updates.
#include "fanotify_events.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/fanotify.h>

#include "dot_names.h"
#include "hand_record.h"

namespace {

// A folder is followed through at most this many later moves of the
// folders above it (each deleted or moved before this event was read).
const int PLACE_DEPTH = 32;
const uint64_t FILE_CHANGES = FAN_CREATE | FAN_DELETE | FAN_MODIFY | FAN_CLOSE_WRITE;
// How many of the moves after an event are asked where they stand now, to
// find one above a folder: a rename storm makes it a guess beyond that.
const size_t ANCESTOR_MOVES = 64;

struct batch {
    unsigned char *buffer;
    size_t *length;
    size_t capacity;
};

// The part of path below the root ("" for the root itself), or null.
const char *below_root(const fan_translator *t, const char *path, size_t length) {
    if (t->root_length == 1) return path[0] == '/' ? path + 1 : nullptr;
    if (length < t->root_length || memcmp(path, t->root, t->root_length) != 0) return nullptr;
    if (length == t->root_length) return path + length;
    return path[t->root_length] == '/' ? path + t->root_length + 1 : nullptr;
}

// Notes where the directory moves and deletions among the new bytes start.
void index_moves(fan_translator *t, const batch &b) {
    size_t offset = t->indexed_to;
    fan_event e;
    for (size_t at = offset; fan_parse_next(b.buffer, *b.length, &offset, &e) == FAN_PARSED;
         at = offset) {
        bool moves = (e.mask & FAN_ONDIR) && (e.mask & (FAN_RENAME | FAN_DELETE)) && e.has_target;
        if (moves && t->move_count < FAN_MOVES_MAX) t->moves[t->move_count++] = at;
        t->indexed_to = offset;
    }
}

// Whether place names an entry: the kernel names a folder's own events ".".
bool names_entry(const fan_place &place) {
    return place.present && place.name_length > 0 && !is_dot_name(place.name);
}

// Where the folder was just before its first move or deletion after the
// event ending at after, if the events read so far hold one.
bool later_move(fan_translator *t, const batch &b, const fan_handle &h, size_t after,
                fan_place *place) {
    for (size_t i = 0; i < t->move_count; i++) {
        if (t->moves[i] < after) continue;
        size_t offset = t->moves[i];
        fan_event e;
        if (fan_parse_next(b.buffer, *b.length, &offset, &e) != FAN_PARSED) continue;
        if (!fan_same_handle(e.target, h)) continue;
        *place = (e.mask & FAN_RENAME) ? e.old_place : e.place;
        return names_entry(*place);
    }
    return false;
}

// Whether name is one of the names of path.
bool has_component(const char *path, size_t length, const char *name, size_t name_length) {
    for (size_t at = 0; at + name_length < length; at++) {
        if (path[at] != '/' || memcmp(path + at + 1, name, name_length) != 0) continue;
        size_t end = at + 1 + name_length;
        if (end == length || path[end] == '/') return true;
    }
    return false;
}

// The folders moved after an event, each asked once where it stands now;
// the nearest one above path so far.
struct above_search {
    const char *path;
    size_t length;
    fan_handle asked[ANCESTOR_MOVES];
    size_t asked_count;
    fan_handle above;
    size_t best;
};

// One pass over the moves after the event ending at after. by_name asks
// only about moves to a name that path holds (a folder's last move gave it
// the name it has now): a comparison per move elsewhere on the filesystem.
void search_above(fan_translator *t, const batch &b, const fan_handle &h, size_t after,
                  above_search *s, bool by_name) {
    char other[PATH_CAPACITY];
    for (size_t i = 0; i < t->move_count && s->asked_count < ANCESTOR_MOVES; i++) {
        if (t->moves[i] < after) continue;
        size_t offset = t->moves[i];
        fan_event e;
        if (fan_parse_next(b.buffer, *b.length, &offset, &e) != FAN_PARSED) continue;
        if (!(e.mask & FAN_RENAME) || fan_same_handle(e.target, h)) continue;
        if (by_name && (!names_entry(e.new_place) ||
                        !has_component(s->path, s->length, e.new_place.name,
                                       e.new_place.name_length))) {
            continue;
        }
        bool again = false;
        for (size_t k = 0; k < s->asked_count && !again; k++) {
            again = fan_same_handle(s->asked[k], e.target);
        }
        if (again) continue; // a folder renamed over and over is asked once
        s->asked[s->asked_count++] = e.target;
        size_t n;
        if (t->ops.resolve(t->ops.context, e.target, other, sizeof other, &n) != 0) continue;
        if (n <= s->best || n >= s->length || s->path[n] != '/' || memcmp(s->path, other, n) != 0) {
            continue;
        }
        s->best = n;
        s->above = e.target;
    }
}

// The folder moved after the event ending at after that stands above the
// folder at path now, the nearest one: the kernel's path shows its move,
// which is undone from there. False when none does. Moves to a name the
// path holds are asked about first; the others only when none of those is
// above it (the event of a last move can come a moment after the kernel
// shows the move).
bool moved_above(fan_translator *t, const batch &b, const fan_handle &h, size_t after,
                 const char *path, size_t length, fan_handle *above, size_t *above_length) {
    above_search s;
    s.path = path;
    s.length = length;
    s.asked_count = 0;
    s.best = 0;
    search_above(t, b, h, after, &s, true);
    if (!s.best) search_above(t, b, h, after, &s, false);
    if (!s.best) return false;
    // The two answers came at different moments: in a rename storm another
    // folder can hold the name of the one above meanwhile. Both asked again
    // unchanged, they describe one tree; else the folder's own path stands,
    // a place it had after the event.
    char again[PATH_CAPACITY];
    size_t n;
    if (t->ops.resolve(t->ops.context, h, again, sizeof again, &n) != 0 || n != length ||
        memcmp(again, path, n) != 0 ||
        t->ops.resolve(t->ops.context, s.above, again, sizeof again, &n) != 0 || n != s.best ||
        memcmp(again, path, n) != 0) {
        return false;
    }
    *above = s.above;
    *above_length = s.best;
    return true;
}

// Appends "/" and name to path, unless it would not fit.
bool append_name(char *path, size_t *length, const char *name, size_t name_length) {
    bool at_top = *length == 1 && path[0] == '/';
    size_t needed = *length + (at_top ? 0 : 1) + name_length;
    if (needed >= PATH_CAPACITY) return false;
    if (!at_top) path[(*length)++] = '/';
    memcpy(path + *length, name, name_length);
    *length += name_length;
    path[*length] = '\0';
    return true;
}


// One step of placing folder at: asked of the kernel, then, when it lies
// under the root (or is gone), checked against the events read after the
// one in hand. FOLLOW with *place where it (or the part of it below a folder
// moved since) stood then; the caller follows place's folder up.
enum step { PLACED, FOLLOW, GONE };

struct parts {
    const char *names[PLACE_DEPTH];
    size_t lengths[PLACE_DEPTH];
    int depth;
    char below[PATH_CAPACITY]; // kernel paths below a moved folder, kept
    size_t below_used;
};

step place_step(fan_translator *t, const batch &b, const fan_handle &at, size_t after, char *out,
                size_t *length, parts *p, fan_place *place, int *error) {
    *error = t->ops.resolve(t->ops.context, at, out, PATH_CAPACITY, length);
    // A folder outside the root now was outside then too, or left the tree
    // since with what is in it: nothing under the root to report either way.
    if (!*error && !below_root(t, out, *length)) return PLACED;
    if (*error == EXDEV) return GONE;
    size_t room = b.capacity - *b.length;
    if (room) *b.length += t->ops.read_more(t->ops.context, b.buffer + *b.length, room);
    index_moves(t, b);
    if (later_move(t, b, at, after, place)) return FOLLOW;
    if (*error) return GONE;
    fan_handle above;
    size_t above_length;
    if (!moved_above(t, b, at, after, out, *length, &above, &above_length)) return PLACED;
    // Where it stood below that folder then is where it stands below it now.
    size_t part = *length - above_length - 1;
    if (part >= sizeof p->below - p->below_used) {
        *error = ENAMETOOLONG;
        return GONE;
    }
    memcpy(p->below + p->below_used, out + above_length + 1, part);
    place->name = p->below + p->below_used;
    place->name_length = part;
    place->directory = above;
    p->below_used += part;
    return FOLLOW;
}

// The absolute path, into out, of folder h when the event ending at after
// happened: from the cache, else from the kernel, its answer undone by the
// moves read since. 0; ENAMETOOLONG when it lies under the root but no path
// can name it; else an errno for a folder that cannot be placed.
int directory_path(fan_translator *t, const batch &b, const fan_handle &h, size_t after,
                   char *out, size_t *length) {
    parts p;
    p.depth = 0;
    p.below_used = 0;
    fan_handle at = h;
    for (;;) {
        size_t cached_length;
        if (const char *cached = cache_find(&t->cache, at, &cached_length)) {
            memcpy(out, cached, cached_length);
            *length = cached_length;
            break;
        }
        fan_place place;
        int error = 0;
        step s = place_step(t, b, at, after, out, length, &p, &place, &error);
        if (s == GONE) return error;
        if (s == PLACED) {
            if (p.depth == 0) cache_put(&t->cache, h, out, *length);
            break;
        }
        if (p.depth == PLACE_DEPTH) return ESTALE;
        p.names[p.depth] = place.name;
        p.lengths[p.depth++] = place.name_length;
        at = place.directory;
    }
    bool inside = below_root(t, out, *length) != nullptr;
    for (int i = p.depth - 1; i >= 0; i--) {
        if (!append_name(out, length, p.names[i], p.lengths[i])) return inside ? ENAMETOOLONG : ESTALE;
    }
    out[*length] = '\0';
    if (p.depth > 0) cache_put(&t->cache, h, out, *length);
    return 0;
}


// The path of place's entry, into out; false when unknown or too long.
bool entry_path(fan_translator *t, const batch &b, const fan_place &place, size_t after,
                char *out, size_t *length) {
    if (!names_entry(place)) return false;
    if (directory_path(t, b, place.directory, after, out, length) != 0) return false;
    return append_name(out, length, place.name, place.name_length);
}

// Whether place's name is the one the kernel gives a file made with
// O_TMPFILE until it is linked: "#" and its inode number.
bool unnamed_file(const fan_place &place) {
    if (place.name_length < 2 || place.name[0] != '#') return false;
    for (size_t i = 1; i < place.name_length; i++) {
        if (place.name[i] < '0' || place.name[i] > '9') return false;
    }
    return true;
}

void hand(record_fn on_record, void *context, record_kind kind, const char *path) {
    watch_record record = {kind, path, nullptr};
    on_record(context, &record);
}

void report_name_only(fan_translator *t, const char *name, size_t length, record_fn on_record,
                      void *context) {
    watch_record r = last_name_record(RECORD_CHANGE, name, length, t->relative, sizeof t->relative, nullptr);
    on_record(context, &r);
}

// A file's change at place, reported when it lies under the root and is
// not the monitor's own (asked last: most events are outside the root).
// True when the place lies under the root and its path, left in t->path,
// fits (reported or not).
bool report(fan_translator *t, const batch &b, const fan_event &e, const fan_place &place,
            size_t after, record_fn on_record, void *context) {
    if (!names_entry(place)) return false;
    size_t length;
    int error = directory_path(t, b, place.directory, after, t->path, &length);
    if (error && error != ENAMETOOLONG) return false;
    if (!error && !below_root(t, t->path, length)) {
        if (t->ops.outside && !(e.mask & FAN_RENAME)) {
            t->ops.outside(t->ops.context, place.directory, e.mask);
        }
        return false;
    }
    bool placed = !error && append_name(t->path, &length, place.name, place.name_length);
    if (t->ops.ignored(t->ops.context, e.pid, e.pidfd)) return placed;
    if (placed) {
        // A write to a file not linked yet names an entry that is not there;
        // a real entry of that name is reported.
        bool written = !(e.mask & (FAN_CREATE | FAN_DELETE | FAN_RENAME));
        if (written && unnamed_file(place) && !t->ops.named(t->ops.context, t->path)) {
            return placed;
        }
        hand(on_record, context, RECORD_CHANGE, below_root(t, t->path, length));
    } else {
        report_name_only(t, place.name, place.name_length, on_record, context);
    }
    return placed;
}

// ---- hard-linked files ----

fan_handle key_handle(const linked_key &key) {
    fan_handle h;
    memcpy(&h.fsid, key.bytes, 8);
    memcpy(&h.type, key.bytes + 8, 4);
    h.size = key.size - 12;
    h.bytes = key.bytes + 12;
    return h;
}

// Once per field: from now on some writes through other names of linked
// files are not seen.
void tell_unfollowed(fan_translator *t, record_fn on_record, void *context, const char *why) {
    if (t->links_told) return;
    t->links_told = true;
    char line[160];
    snprintf(line, sizeof line, "%s: changes made through other names of hard-linked files are "
             "no longer all seen", why);
    watch_record record = {RECORD_UNWATCHED, "", line};
    on_record(context, &record);
}

bool same_key(const linked_key &a, const linked_key &b) {
    return a.size == b.size && memcmp(a.bytes, b.bytes, a.size) == 0;
}

// Makes the names kept agree with the event's file, now at place (its path
// in t->path when placed under the root): a file with other names is kept
// under it; the same file with no other name left is forgotten there.
// Looked at by its handle, not by a path the file system may have left.
void look_at(fan_translator *t, const fan_event &e, const fan_place &place, bool placed,
             record_fn on_record, void *context) {
    // Most events are outside the root, where no name is kept.
    if (!t->ops.linked_at || !names_entry(place) || !e.has_target) return;
    if (!placed && !t->links.count) return;
    linked_key folder = fan_handle_key(place.directory);
    linked_key key = fan_handle_key(e.target);
    if (!folder.size || !key.size) return;
    linked_stat file = {false, 0, 0, 0};
    bool linked = t->ops.linked_at(t->ops.context, e.target, placed ? t->path : nullptr, &file);
    if (linked && placed) {
        // Writes elsewhere dropped before the file was followed are covered
        // by a record after its first name is kept: it waits, or its scan
        // begins after them.
        bool again = !t->links.count && t->ops.following && t->ops.following(t->ops.context);
        translator_keep_linked(t, folder, place.name, place.name_length, &key, file, on_record,
                               context);
        if (again && !t->ops.ignored(t->ops.context, e.pid, e.pidfd)) {
            hand(on_record, context, RECORD_CHANGE, below_root(t, t->path, strlen(t->path)));
        }
        return;
    }
    int entry = linked_find(&t->links, folder, place.name, place.name_length);
    if (entry >= 0 && file.present && !linked && same_key(t->links.names[entry].file, key)) {
        linked_remove(&t->links, entry);
    }
}

// A name deleted or moved away: forgotten if the file that left it is the
// one kept there (an exchange leaves another at the same name).
void left_at(fan_translator *t, const fan_event &e, const fan_place &place) {
    if (!t->links.count || !names_entry(place)) return;
    int entry = linked_find(&t->links, fan_handle_key(place.directory), place.name,
                            place.name_length);
    if (entry < 0) return;
    if (!e.has_target || same_key(t->links.names[entry].file, fan_handle_key(e.target))) {
        linked_remove(&t->links, entry);
    }
}

// A write to a followed file: reported under every name kept for it but the
// one it was made through (reported with the event). A name whose folder is
// no longer under the root then is forgotten.
void report_linked(fan_translator *t, const batch &b, const fan_event &e, size_t after,
                   record_fn on_record, void *context) {
    if (!t->links.count) return;
    linked_key file = fan_handle_key(e.target);
    if (!file.size || !linked_follows(&t->links, file)) return;
    if (t->ops.ignored(t->ops.context, e.pid, e.pidfd)) return;
    linked_key through = fan_handle_key(e.place.directory);
    int count = linked_names_of(&t->links, file);
    for (int i = 0; i < count; i++) {
        int entry = t->links.found[i];
        const linked_name &n = t->links.names[entry];
        if (e.place.present && n.folder.size == through.size &&
            memcmp(n.folder.bytes, through.bytes, through.size) == 0 &&
            n.length == e.place.name_length && memcmp(n.name, e.place.name, n.length) == 0) {
            continue;
        }
        size_t length;
        int error = directory_path(t, b, key_handle(n.folder), after, t->path, &length);
        if (error == ENAMETOOLONG) {
            report_name_only(t, n.name, n.length, on_record, context);
        } else if (error || !below_root(t, t->path, length)) {
            linked_remove(&t->links, entry);
        } else if (append_name(t->path, &length, n.name, n.length)) {
            hand(on_record, context, RECORD_CHANGE, below_root(t, t->path, length));
        } else {
            report_name_only(t, n.name, n.length, on_record, context);
        }
    }
}

// A file's event: reported, and what its names hold looked at. A write
// alone changes no name; a write to a followed file is reported under its
// other names.
void file_event(fan_translator *t, const batch &b, const fan_event &e, size_t after,
                record_fn on_record, void *context) {
    if (e.mask & FAN_RENAME) {
        report(t, b, e, e.old_place, after, on_record, context);
        left_at(t, e, e.old_place);
        bool placed = report(t, b, e, e.new_place, after, on_record, context);
        look_at(t, e, e.new_place, placed, on_record, context);
        return;
    }
    bool placed = report(t, b, e, e.place, after, on_record, context);
    if (e.mask & FAN_DELETE) {
        left_at(t, e, e.place);
    } else if (e.mask & (FAN_CREATE | FAN_CLOSE_WRITE)) {
        look_at(t, e, e.place, placed, on_record, context);
    }
    if ((e.mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) && e.has_target) {
        report_linked(t, b, e, after, on_record, context);
    }
}

// Which side of the root place's folder lies on: 1 below it, 0 outside, -1
// not known.
int side_of(fan_translator *t, const batch &b, const fan_place &place, size_t after) {
    char path[PATH_CAPACITY];
    size_t length;
    int error = directory_path(t, b, place.directory, after, path, &length);
    if (error == EXDEV) return 0;
    if (error == ENAMETOOLONG) return 1;
    if (error) return -1;
    return below_root(t, path, length) ? 1 : 0;
}

// A folder made, deleted or renamed: the cache follows; one that arrives
// from outside the root has its files reported, one renamed inside it what
// changed in it lately, unless the change is the monitor's.
void directory_event(fan_translator *t, const batch &b, const fan_event &e, size_t after) {
    char path[PATH_CAPACITY];
    size_t length;
    if (e.mask & FAN_CREATE) {
        // Also when its deletion was merged into it: the events of what was
        // made in it come after this one, and name it.
        if (e.has_target && entry_path(t, b, e.place, after, path, &length)) {
            cache_put(&t->cache, e.target, path, length);
            if (t->ops.outside && !below_root(t, path, length)) {
                t->ops.outside(t->ops.context, e.place.directory, e.mask);
            }
        }
    } else if (e.mask & FAN_DELETE) {
        if (e.has_target) cache_drop(&t->cache, e.target);
    } else if (e.mask & FAN_RENAME) {
        int from = side_of(t, b, e.old_place, after);
        int to = side_of(t, b, e.new_place, after);
        if (from != 0 || to != 0) t->edge_moves++;
        // Whatever came inside is told before it is walked, the monitor's
        // own moves too.
        if (to != 0 && from != 1 && t->ops.entered) t->ops.entered(t->ops.context);
        bool was_inside = false;
        if (entry_path(t, b, e.old_place, after, path, &length)) {
            was_inside = below_root(t, path, length) != nullptr;
            cache_drop_below(&t->cache, path, length);
        }
        if (!entry_path(t, b, e.new_place, after, path, &length)) {
            if (e.has_target) cache_drop(&t->cache, e.target);
            return;
        }
        if (e.has_target) cache_put(&t->cache, e.target, path, length);
        const char *relative = below_root(t, path, length);
        // Names of linked files kept in it now lie outside.
        if (was_inside && !relative) t->links_stale = true;
        if (!relative || !relative[0] || t->ops.ignored(t->ops.context, e.pid, e.pidfd)) return;
        if (!was_inside) t->ops.report_below(t->ops.context, relative, e.has_target ? &e.target : nullptr);
        else if (e.has_target) t->ops.moved_within(t->ops.context, e.target);
    }
}

} // namespace

bool translator_init(fan_translator *t, const char *root, const fan_ops *ops) {
    t->root = root;
    t->root_length = strlen(root);
    t->ops = *ops;
    t->move_count = 0;
    t->indexed_to = 0;
    t->edge_moves = 0;
    linked_init(&t->links);
    t->links_told = false;
    t->links_lost = false;
    t->links_stale = false;
    return cache_init(&t->cache);
}

void translator_release(fan_translator *t) {
    cache_release(&t->cache);
    linked_release(&t->links);
}

namespace {

// Names kept in folders no longer under the root: forgotten, to make room.
// Each costs a look-up in the kernel: done only when a folder has left.
void drop_stale_names(fan_translator *t) {
    t->links_stale = false;
    linked_files &l = t->links;
    char path[PATH_CAPACITY];
    for (int entry = 0; entry < l.high; entry++) {
        if (!l.names[entry].used) continue;
        size_t length;
        fan_handle folder = key_handle(l.names[entry].folder);
        int error = t->ops.resolve(t->ops.context, folder, path, sizeof path, &length);
        if (error == ENAMETOOLONG || (!error && below_root(t, path, length))) continue;
        linked_remove(&l, entry);
    }
}

} // namespace

void translator_keep_linked(fan_translator *t, const linked_key &folder, const char *name,
                            size_t length, const linked_key *file, const linked_stat &stat,
                            record_fn on_record, void *context) {
    linked_key dropped;
    if (linked_set(&t->links, folder, name, length, file, stat.device, stat.inode, &dropped)) return;
    if (t->links_stale) {
        drop_stale_names(t);
        if (linked_set(&t->links, folder, name, length, file, stat.device, stat.inode, &dropped)) {
            return;
        }
    }
    char why[64];
    snprintf(why, sizeof why, "more than %d names of hard-linked files", LINKED_NAMES_MAX);
    tell_unfollowed(t, on_record, context, why);
}

const char *translator_below_root(const fan_translator *t, const char *path, size_t length) {
    return below_root(t, path, length);
}

linked_key fan_handle_key(const fan_handle &h) {
    linked_key key;
    key.size = 0;
    if (h.size > LINKED_KEY_MAX - 12) return key;
    memcpy(key.bytes, &h.fsid, 8);
    memcpy(key.bytes + 8, &h.type, 4);
    if (h.size) memcpy(key.bytes + 12, h.bytes, h.size); // an event without a handle has no bytes
    key.size = static_cast<uint32_t>(12 + h.size);
    return key;
}

void translate_events(fan_translator *t, unsigned char *buffer, size_t *length, size_t capacity,
                      record_fn on_record, void *context) {
    batch b = {buffer, length, capacity};
    t->move_count = 0;
    t->indexed_to = 0;
    index_moves(t, b);
    size_t offset = 0;
    for (;;) {
        fan_event e;
        fan_parse result = fan_parse_next(buffer, *length, &offset, &e);
        if (result == FAN_END) break;
        if (result == FAN_BAD) {
            hand(on_record, context, RECORD_UNREADABLE, nullptr);
            break;
        }
        if (e.mask & FAN_Q_OVERFLOW) {
            // Moves were lost with the rest: nothing cached can be trusted,
            // nor the names kept for linked files.
            cache_clear(&t->cache);
            t->edge_moves++;
            linked_clear(&t->links);
            t->links_lost = true;
            hand(on_record, context, RECORD_LOST, nullptr);
            continue;
        }
        if (e.mask & FAN_ONDIR) {
            directory_event(t, b, e, offset);
        } else if (e.mask & (FAN_RENAME | FILE_CHANGES)) {
            file_event(t, b, e, offset, on_record, context);
        }
    }
}
