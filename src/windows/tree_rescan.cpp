// The rescan's walk: a stack of open folders, each part way through its
// listing, the wide path to open the next one and the UTF-8 relative path
// the watcher gets, both growing and shrinking with the stack.
#include "tree_rescan.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "change_records.h"

namespace {

struct walk {
    rescan_state *s;
    path_unit *path;
    size_t capacity;
    uint64_t since;
    const rescan_folders &folders;
    record_fn on_record;
    void *context;
    size_t depth; // levels open
};

uint64_t read_u64(const unsigned char *p) {
    return read_u32(p) | static_cast<uint64_t>(read_u32(p + 4)) << 32;
}

void hand(const walk &w, record_kind kind, const char *detail) {
    watch_record record = {kind, w.s->relative, detail};
    w.on_record(w.context, &record);
}

// Names the folder the relative path ends in as one the rescan left out.
__attribute__((format(printf, 2, 3))) void not_rescanned(walk &w, const char *why, ...) {
    int used = snprintf(w.s->detail, sizeof w.s->detail, "not rescanned, ");
    va_list arguments;
    va_start(arguments, why);
    vsnprintf(w.s->detail + used, sizeof w.s->detail - static_cast<size_t>(used), why, arguments);
    va_end(arguments);
    hand(w, RECORD_UNWATCHED, w.s->detail);
}

// Opens the folder the path names now as the deepest level.
void enter(walk &w, size_t path_units, size_t relative_bytes, bool exact, bool follow) {
    if (w.depth == RESCAN_DEPTH) {
        not_rescanned(w, "nested deeper than %lu folders",
                      static_cast<unsigned long>(RESCAN_DEPTH));
        return;
    }
    unsigned long error = 0;
    void *folder = w.folders.open(w.folders.context, w.path, follow, &error);
    if (!folder) {
        not_rescanned(w, "Windows error %lu", error);
        return;
    }
    rescan_level &l = w.s->levels[w.depth++];
    l.folder = folder;
    l.offset = sizeof l.listing;
    l.path_units = path_units;
    l.relative_bytes = relative_bytes;
    l.exact = exact;
}

void leave(walk &w) {
    rescan_level &l = w.s->levels[--w.depth];
    w.folders.close(w.folders.context, l.folder);
}

// The next record of the deepest folder, or null at the end of its listing
// or when the listing fails or cannot be read, which is named.
const unsigned char *next_record(walk &w) {
    rescan_level &l = w.s->levels[w.depth - 1];
    if (l.offset == sizeof l.listing) {
        unsigned long error = 0;
        listing_result result =
            w.folders.list(w.folders.context, l.folder, l.listing, sizeof l.listing, &error);
        l.offset = 0;
        w.s->relative[l.relative_bytes] = '\0';
        if (result == LISTING_END) return nullptr;
        if (result == LISTING_FAILED) {
            not_rescanned(w, "Windows error %lu", error);
            return nullptr;
        }
    }
    // A header fits here: at the buffer's start, and checked with the record
    // before anywhere else.
    const unsigned char *record = l.listing + l.offset;
    size_t room = sizeof l.listing - l.offset - LISTING_HEADER_SIZE;
    uint32_t name_bytes = read_u32(record + LISTING_NAME_BYTES);
    uint32_t next = read_u32(record + LISTING_NEXT);
    // A record without a name, or one that runs past the buffer, or a next
    // one inside this one or without room for its header.
    if (name_bytes < 2 || name_bytes > room ||
        (next && (next < LISTING_HEADER_SIZE + name_bytes || next > room))) {
        w.s->relative[l.relative_bytes] = '\0';
        not_rescanned(w, "unreadable listing");
        return nullptr;
    }
    l.offset = next ? l.offset + next : sizeof l.listing;
    return record;
}

// Puts the name after the relative path of the folder it is in. False when
// it is not exactly representable (U+FFFD then stands in).
bool name_relative(walk &w, const rescan_level &in, const unsigned char *name, size_t units,
                   size_t *bytes) {
    char *out = w.s->relative + in.relative_bytes;
    if (in.relative_bytes) *out++ = '\\';
    size_t used = static_cast<size_t>(out - w.s->relative);
    bool exact = utf16le_to_utf8(name, units, out, sizeof w.s->relative - used) == UTF8_EXACT;
    *bytes = used + strlen(out);
    return exact && in.exact;
}

// Puts the name after the path of the folder it is in. False when the
// result is longer than any path the platform opens.
bool name_path(walk &w, const rescan_level &in, const unsigned char *name, size_t units,
               size_t *end) {
    size_t at = in.path_units;
    bool separator = w.path[at - 1] != u'\\';
    if ((separator ? 1 : 0) + units >= w.capacity - at) return false;
    if (separator) w.path[at++] = u'\\';
    for (size_t i = 0; i < units; i++) {
        w.path[at++] = static_cast<path_unit>(name[2 * i] | name[2 * i + 1] << 8);
    }
    w.path[at] = 0;
    *end = at;
    return true;
}

bool is_dots(const unsigned char *name, size_t units) {
    return units <= 2 && name[0] == '.' && name[1] == 0 &&
           (units == 1 || (name[2] == '.' && name[3] == 0));
}

bool changed_since(const unsigned char *record, uint64_t since) {
    return read_u64(record + LISTING_CREATION_TIME) >= since ||
           read_u64(record + LISTING_LAST_WRITE_TIME) >= since ||
           read_u64(record + LISTING_CHANGE_TIME) >= since;
}

void take(walk &w, const unsigned char *record) {
    const rescan_level &in = w.s->levels[w.depth - 1];
    const unsigned char *name = record + LISTING_HEADER_SIZE;
    size_t units = read_u32(record + LISTING_NAME_BYTES) / 2;
    uint32_t attributes = read_u32(record + LISTING_ATTRIBUTES);
    if (is_dots(name, units)) return;
    size_t bytes;
    bool exact = name_relative(w, in, name, units, &bytes);
    if (!(attributes & ATTRIBUTE_DIRECTORY)) {
        if (changed_since(record, w.since)) {
            hand(w, exact ? RECORD_CHANGE : RECORD_UNREPRESENTABLE, "");
        }
        return;
    }
    // A link or junction leads out of the tree, or round in a loop.
    if (kind_of_attributes(attributes, read_u32(record + LISTING_REPARSE_TAG)) == ENTRY_LINK) {
        return;
    }
    size_t end;
    if (!name_path(w, in, name, units, &end)) {
        not_rescanned(w, "path too long");
        return;
    }
    enter(w, end, bytes, exact, false);
}

} // namespace

void rescan_tree(rescan_state *state, path_unit *path, size_t root_units, size_t capacity,
                 const char *relative, uint64_t since, const rescan_folders &folders,
                 record_fn on_record, void *context) {
    walk w = {state, path, capacity, since > RESCAN_MARGIN ? since - RESCAN_MARGIN : 0, folders,
              on_record, context, 0};
    // The caller's relative path fits: it names a folder whose path fits.
    size_t relative_bytes = strlen(relative);
    memcpy(state->relative, relative, relative_bytes + 1);
    enter(w, root_units, relative_bytes, true, relative_bytes == 0);
    while (w.depth > 0) {
        const unsigned char *record = next_record(w);
        if (record) {
            take(w, record);
        } else {
            leave(w);
        }
    }
    path[root_units] = 0;
}
