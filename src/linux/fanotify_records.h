// Reading the fanotify reader's kernel records: one event's metadata and its
// variable-length info records (directory handle and name, target handle,
// the descriptor of the process that made it),
// every length checked against the buffer before anything is read. Nothing
// here touches the kernel, so it can be fed any bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A file handle as the kernel reports it: the filesystem it belongs to and
// the opaque bytes that name an object there. Points into the event buffer.
struct fan_handle {
    uint64_t fsid;
    int32_t type;
    uint32_t size;
    const unsigned char *bytes;
};

// A directory and a name in it, as one info record reports them.
struct fan_place {
    bool present;
    fan_handle directory;
    const char *name; // NUL-terminated inside the buffer, without a slash
    size_t name_length;
};

struct fan_event {
    uint64_t mask;
    int32_t pid;
    int32_t pidfd;       // the kernel's descriptor of that process; negative for none
    size_t pidfd_at;     // where pidfd lies in the buffer; 0 when it has none
    fan_place place;     // where the change happened (create, write, delete)
    fan_place old_place; // a rename's old directory and name
    fan_place new_place; // a rename's new directory and name
    bool has_target;
    fan_handle target;   // the object created, deleted or renamed
};

enum fan_parse {
    FAN_PARSED, // *event holds the next event
    FAN_END,    // no bytes left
    FAN_BAD,    // the bytes at *offset are not a whole, well-formed event
};

// Reads the event at *offset of buffer[0, length) and moves *offset past it.
// On FAN_BAD *offset is left alone: nothing after it can be trusted.
fan_parse fan_parse_next(const unsigned char *buffer, size_t length, size_t *offset,
                         fan_event *event);

// Whether two handles name the same object.
bool fan_same_handle(const fan_handle &a, const fan_handle &b);

// A hash of the handle's bytes, its type and its filesystem, for caches.
uint32_t fan_handle_hash(const fan_handle &h);
