// One read of an inotify instance, parsed once: each whole event's header,
// name and place in the buffer, for everything that looks at the read (the
// field guard, the pairing of renames, the tree, the mount check). The
// kernel never cuts an event short; a damaged or forged buffer can, and the
// parse then ends there, saying so.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/inotify.h>

struct parsed_event {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    const char *name;   // within the buffer, name_length bytes
    size_t name_length; // up to its first NUL (the kernel pads names)
    size_t offset;        // where it starts in the buffer
    size_t end;           // ... and where the next would
};

struct event_batch {
    const parsed_event *events; // count of them
    size_t count;
    bool cut;                   // bytes after the last whole event, not an event
    parsed_event *storage;      // grown as longer reads come, kept between them
    size_t capacity;
    parsed_event lost;
};

// Parses bytes (length of them) into batch. Without memory for its events,
// the batch is one IN_Q_OVERFLOW: what was read is lost, and said so.
void batch_parse(event_batch *batch, const unsigned char *bytes, size_t length);
void batch_release(event_batch *batch);

// Whether the batch holds a folder's arrival by a rename (IN_MOVED_TO of a
// directory).
bool batch_moves_folders(const event_batch *batch);
