// Reading a sparse file without its holes: the ranges that hold data, asked
// of the file system a batch at a time, and where each read goes. A hole
// (a range never written, which reads as zeros) can be of any size, so a
// file of a petabyte with a few bytes of data is scanned in the time those
// bytes take. Plain code over the query, so it builds and is tested on every
// platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct data_range {
    uint64_t offset;
    uint64_t length;
};

static const size_t RANGE_BATCH = 64;

// Writes the ranges holding data between offset and end, in order, at most
// capacity of them; returns how many, and sets *more when there are more
// after the last. -1 when the file system cannot say.
typedef int (*range_query_fn)(void *context, uint64_t offset, uint64_t end, data_range *ranges,
                              size_t capacity, bool *more);

struct range_cursor {
    uint64_t size;     // where the file ends
    uint64_t position; // where the next read starts
    data_range ranges[RANGE_BATCH];
    size_t count;      // ranges held
    size_t index;      // the one reads are in
    bool more;         // the file system has ranges past those held
    bool hole;         // a hole was skipped since the last read
};

void range_start(range_cursor *cursor, uint64_t size);

// Where the next read goes: *offset, and at most want bytes in *length; and
// whether a hole was skipped before it. False at the end of the data. Where
// the file system cannot say, the rest of the file is taken as data.
bool range_next(range_cursor *cursor, size_t want, range_query_fn query, void *context,
                uint64_t *offset, size_t *length, bool *after_hole);

// A read of got bytes at the offset range_next gave.
void range_advance(range_cursor *cursor, size_t got);
