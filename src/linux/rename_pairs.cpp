// The directory-rename arrivals of one buffer of events, by cookie.
#include "rename_pairs.h"

#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

namespace {

const size_t EVENT_HEADER = sizeof(inotify_event);
// Offsets are kept in 31 bits; a longer buffer is handled without pairing
// ahead (its renames pair as events that come one after the other).
const size_t LARGEST_PAIRED_BUFFER = (static_cast<size_t>(1) << 31) - 2;

bool is_directory_arrival(const inotify_event &event) {
    return (event.mask & IN_MOVED_TO) && (event.mask & IN_ISDIR);
}

uint64_t pair_entry(uint32_t cookie, size_t offset) {
    return static_cast<uint64_t>(cookie) << 32 | static_cast<uint64_t>(offset + 1) << 1;
}

size_t pair_home(const move_pairs &p, uint32_t cookie) {
    return (static_cast<size_t>(cookie) * 2654435761u) & (p.slot_count - 1);
}

size_t entry_offset(uint64_t entry) { return static_cast<size_t>((entry & 0xffffffffu) >> 1) - 1; }

// The slot holding the untaken arrival with cookie at the smallest offset at
// or after from, or NO_PAIR.
size_t find_pair(const move_pairs &p, uint32_t cookie, size_t from) {
    if (!p.slot_count) return NO_PAIR;
    size_t best = NO_PAIR;
    for (size_t i = pair_home(p, cookie); p.slots[i]; i = (i + 1) & (p.slot_count - 1)) {
        uint64_t entry = p.slots[i];
        if ((entry >> 32) != cookie || (entry & 1) || entry_offset(entry) < from) continue;
        if (best == NO_PAIR || entry_offset(entry) < entry_offset(p.slots[best])) best = i;
    }
    return best;
}

} // namespace

void pairs_build(move_pairs *pairs, const unsigned char *events, size_t length) {
    move_pairs &p = *pairs;
    p.slot_count = 0;
    if (length > LARGEST_PAIRED_BUFFER) return;
    size_t arrivals = 0;
    for (size_t offset = 0; length - offset >= EVENT_HEADER;) {
        inotify_event event;
        memcpy(&event, events + offset, EVENT_HEADER);
        if (event.len > length - offset - EVENT_HEADER) break;
        if (is_directory_arrival(event)) arrivals++;
        offset += EVENT_HEADER + event.len;
    }
    if (!arrivals) return;
    size_t count = 16;
    while (count < arrivals * 2) count *= 2;
    if (count > p.capacity) {
        void *grown = realloc(p.slots, count * sizeof *p.slots);
        if (!grown) return; // the halves pair as they come
        p.slots = static_cast<uint64_t *>(grown);
        p.capacity = count;
    }
    p.slot_count = count;
    memset(p.slots, 0, count * sizeof *p.slots);
    for (size_t offset = 0; length - offset >= EVENT_HEADER;) {
        inotify_event event;
        memcpy(&event, events + offset, EVENT_HEADER);
        if (event.len > length - offset - EVENT_HEADER) break;
        if (is_directory_arrival(event)) {
            size_t i = pair_home(p, event.cookie);
            while (p.slots[i]) i = (i + 1) & (count - 1);
            p.slots[i] = pair_entry(event.cookie, offset);
        }
        offset += EVENT_HEADER + event.len;
    }
}

size_t pairs_take(move_pairs *pairs, uint32_t cookie, size_t from) {
    size_t slot = find_pair(*pairs, cookie, from);
    if (slot == NO_PAIR) return NO_PAIR;
    pairs->slots[slot] |= 1;
    return entry_offset(pairs->slots[slot]);
}

bool pairs_taken(const move_pairs *pairs, uint32_t cookie, size_t offset) {
    const move_pairs &p = *pairs;
    if (!p.slot_count) return false;
    for (size_t i = pair_home(p, cookie); p.slots[i]; i = (i + 1) & (p.slot_count - 1)) {
        if ((p.slots[i] | 1) == (pair_entry(cookie, offset) | 1)) return p.slots[i] & 1;
    }
    return false;
}

void pairs_release(move_pairs *pairs) {
    free(pairs->slots);
    *pairs = move_pairs{nullptr, 0, 0};
}
