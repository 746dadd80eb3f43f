// Pairing the halves of a directory's rename within one buffer of events:
// an index of the buffer's directory arrivals (IN_MOVED_TO) by cookie, built
// in one pass, so that a departure finds its arrival in constant time and the
// rename is handled as one step, where its first half stands.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct move_pairs {
    uint64_t *slots;   // cookie << 32 | (offset + 1) << 1 | taken; 0 for empty
    size_t slot_count; // in use for this buffer: a power of two, or 0
    size_t capacity;
};

static const size_t NO_PAIR = static_cast<size_t>(-1);

// Indexes the directory-rename arrivals of a buffer by cookie.
void pairs_build(move_pairs *pairs, const unsigned char *events, size_t length);
// Takes the first arrival with cookie at or after from: its offset, or
// NO_PAIR.
size_t pairs_take(move_pairs *pairs, uint32_t cookie, size_t from);
// Whether the arrival at offset was taken ahead of its place.
bool pairs_taken(const move_pairs *pairs, uint32_t cookie, size_t offset);

void pairs_release(move_pairs *pairs);
