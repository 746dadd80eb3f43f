// The directory-rename arrivals of one buffer of events, by cookie.
#include "rename_pairs.h"

#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

namespace {

// Event numbers are kept in 31 bits; a longer batch is handled without
// pairing ahead (its renames pair as events that come one after the other).
const size_t LARGEST_PAIRED_BATCH = (static_cast<size_t>(1) << 31) - 2;

bool is_directory_arrival(const parsed_event &event) {
    return (event.mask & IN_MOVED_TO) && (event.mask & IN_ISDIR);
}

uint64_t pair_entry(uint32_t cookie, size_t index) {
    return static_cast<uint64_t>(cookie) << 32 | static_cast<uint64_t>(index + 1) << 1;
}

size_t pair_home(const move_pairs &p, uint32_t cookie) {
    return (static_cast<size_t>(cookie) * 2654435761u) & (p.slot_count - 1);
}

size_t entry_index(uint64_t entry) { return static_cast<size_t>((entry & 0xffffffffu) >> 1) - 1; }

// The slot holding the untaken arrival with cookie, the first at or after
// event from, or NO_PAIR.
size_t find_pair(const move_pairs &p, uint32_t cookie, size_t from) {
    if (!p.slot_count) return NO_PAIR;
    size_t best = NO_PAIR;
    for (size_t i = pair_home(p, cookie); p.slots[i]; i = (i + 1) & (p.slot_count - 1)) {
        uint64_t entry = p.slots[i];
        if ((entry >> 32) != cookie || (entry & 1) || entry_index(entry) < from) continue;
        if (best == NO_PAIR || entry_index(entry) < entry_index(p.slots[best])) best = i;
    }
    return best;
}

} // namespace

void pairs_build(move_pairs *pairs, const event_batch *batch) {
    move_pairs &p = *pairs;
    p.slot_count = 0;
    if (batch->count > LARGEST_PAIRED_BATCH) return;
    size_t arrivals = 0;
    for (size_t i = 0; i < batch->count; i++) {
        if (is_directory_arrival(batch->events[i])) arrivals++;
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
    for (size_t at = 0; at < batch->count; at++) {
        const parsed_event &event = batch->events[at];
        if (!is_directory_arrival(event)) continue;
        size_t i = pair_home(p, event.cookie);
        while (p.slots[i]) i = (i + 1) & (count - 1);
        p.slots[i] = pair_entry(event.cookie, at);
    }
}

size_t pairs_take(move_pairs *pairs, uint32_t cookie, size_t from) {
    size_t slot = find_pair(*pairs, cookie, from);
    if (slot == NO_PAIR) return NO_PAIR;
    pairs->slots[slot] |= 1;
    return entry_index(pairs->slots[slot]);
}

bool pairs_taken(const move_pairs *pairs, uint32_t cookie, size_t index) {
    const move_pairs &p = *pairs;
    if (!p.slot_count) return false;
    for (size_t i = pair_home(p, cookie); p.slots[i]; i = (i + 1) & (p.slot_count - 1)) {
        if ((p.slots[i] | 1) == (pair_entry(cookie, index) | 1)) return p.slots[i] & 1;
    }
    return false;
}

void pairs_release(move_pairs *pairs) {
    free(pairs->slots);
    *pairs = move_pairs{nullptr, 0, 0};
}
