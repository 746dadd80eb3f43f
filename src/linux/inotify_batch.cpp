// Parsing one read of an inotify instance.
#include "inotify_batch.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

void batch_parse(event_batch *b, const unsigned char *bytes, size_t length) {
    b->count = 0;
    b->cut = false;
    b->events = b->storage;
    // Every event takes at least its header.
    size_t most = length / sizeof(inotify_event);
    if (most > b->capacity) {
        bool fits = most <= SIZE_MAX / sizeof *b->storage;
        void *grown = fits ? realloc(b->storage, most * sizeof *b->storage) : nullptr;
        if (!grown) {
            b->lost = parsed_event{-1, IN_Q_OVERFLOW, 0, "", 0, 0, length};
            b->events = &b->lost;
            b->count = 1;
            return;
        }
        b->storage = static_cast<parsed_event *>(grown);
        b->events = b->storage;
        b->capacity = most;
    }
    size_t offset = 0;
    while (length - offset >= sizeof(inotify_event)) {
        inotify_event header;
        memcpy(&header, bytes + offset, sizeof header);
        if (header.len > length - offset - sizeof header) break;
        parsed_event &e = b->storage[b->count];
        e.wd = header.wd;
        e.mask = header.mask;
        e.cookie = header.cookie;
        e.name = reinterpret_cast<const char *>(bytes + offset + sizeof header);
        e.name_length = strnlen(e.name, header.len);
        e.offset = offset;
        offset += sizeof header + header.len;
        e.end = offset;
        b->count++;
    }
    b->cut = offset < length;
}

void batch_release(event_batch *b) {
    free(b->storage);
    *b = event_batch{};
}

bool batch_moves_folders(const event_batch *b) {
    for (size_t i = 0; i < b->count; i++) {
        uint32_t mask = b->events[i].mask;
        if ((mask & IN_ISDIR) && (mask & IN_MOVED_TO)) return true;
    }
    return false;
}
