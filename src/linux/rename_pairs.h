// Pairing the halves of a directory's rename within one read of events: an
// index of the batch's directory arrivals (IN_MOVED_TO) by cookie, so that a
// departure finds its arrival in constant time and the rename is handled as
// one step, where its first half stands.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "inotify_batch.h"

struct move_pairs {
    uint64_t *slots;   // cookie << 32 | (event number + 1) << 1 | taken; 0 for empty
    size_t slot_count; // in use for this buffer: a power of two, or 0
    size_t capacity;
};

static const size_t NO_PAIR = static_cast<size_t>(-1);

// Indexes the directory-rename arrivals of a batch by cookie.
void pairs_build(move_pairs *pairs, const event_batch *batch);
// Takes the first arrival with cookie at or after event number from: its
// number, or NO_PAIR.
size_t pairs_take(move_pairs *pairs, uint32_t cookie, size_t from);
// Whether the arrival that is event number index was taken ahead of its place.
bool pairs_taken(const move_pairs *pairs, uint32_t cookie, size_t index);

void pairs_release(move_pairs *pairs);
