// Walking a sparse file's data ranges.
#include "allocated_ranges.h"

void range_start(range_cursor *cursor, uint64_t size) {
    cursor->size = size;
    cursor->position = 0;
    cursor->count = 0;
    cursor->index = 0;
    cursor->more = true;
    cursor->hole = false;
}

namespace {

// Asks for the ranges from the current position on.
void ask(range_cursor *c, range_query_fn query, void *context) {
    bool more = false;
    int got = query(context, c->position, c->size, c->ranges, RANGE_BATCH, &more);
    // Unanswered, or no progress possible: the rest is read whole.
    if (got < 0 || (got == 0 && more)) {
        c->ranges[0] = {c->position, c->size - c->position};
        got = 1;
        more = false;
    }
    c->count = static_cast<size_t>(got);
    c->index = 0;
    c->more = more;
}

} // namespace

bool range_next(range_cursor *c, size_t want, range_query_fn query, void *context,
                uint64_t *offset, size_t *length, bool *after_hole) {
    for (;;) {
        if (c->index == c->count) {
            if (!c->more || c->position >= c->size) return false;
            ask(c, query, context);
            continue;
        }
        const data_range &r = c->ranges[c->index];
        uint64_t end = r.offset + r.length;
        if (c->position < r.offset) {
            c->position = r.offset;
            c->hole = true;
        }
        if (c->position >= end || c->position >= c->size) {
            c->index++;
            continue;
        }
        uint64_t left = (end < c->size ? end : c->size) - c->position;
        *offset = c->position;
        *length = left < want ? static_cast<size_t>(left) : want;
        *after_hole = c->hole;
        c->hole = false;
        return true;
    }
}

void range_advance(range_cursor *cursor, size_t got) { cursor->position += got; }
