// Bounds-checked parsing of fanotify event records.
#include "fanotify_records.h"

#include <string.h>
#include <sys/fanotify.h>

namespace {

// The fixed parts: event metadata; an info record's header; a handle
// record's header (info header and fsid) and the handle's own header
// (struct file_handle: its size and type).
const size_t METADATA = sizeof(fanotify_event_metadata);
const size_t INFO_HEADER = sizeof(fanotify_event_info_header);
const size_t FID_HEADER = INFO_HEADER + 8;
const size_t HANDLE_HEADER = 8;
const size_t PIDFD_RECORD = sizeof(fanotify_event_info_pidfd);

// Reads one handle record of record_length bytes at record; with name, the
// NUL-terminated name after the handle too. False when it does not fit.
bool read_place(const unsigned char *record, size_t record_length, bool with_name,
                fan_place *place) {
    if (record_length < FID_HEADER + HANDLE_HEADER) return false;
    fan_handle &h = place->directory;
    memcpy(&h.fsid, record + INFO_HEADER, 8);
    uint32_t size;
    memcpy(&size, record + FID_HEADER, 4);
    memcpy(&h.type, record + FID_HEADER + 4, 4);
    size_t handle_end = FID_HEADER + HANDLE_HEADER;
    if (size > record_length - handle_end) return false;
    h.size = size;
    h.bytes = record + handle_end;
    handle_end += size;
    place->name = nullptr;
    place->name_length = 0;
    if (with_name) {
        const char *name = reinterpret_cast<const char *>(record + handle_end);
        size_t room = record_length - handle_end;
        place->name_length = strnlen(name, room);
        if (place->name_length == room) return false; // not terminated inside
        // A name is one entry: a slash in it could climb out of the root.
        if (memchr(name, '/', place->name_length)) return false;
        place->name = name;
    }
    place->present = true;
    return true;
}

// Reads the info records of one event, at[0, length), which starts base
// bytes into the buffer; false at the first that is malformed.
bool read_infos(const unsigned char *at, size_t length, size_t base, fan_event *event) {
    for (size_t offset = 0; offset < length;) {
        if (length - offset < INFO_HEADER) return false;
        fanotify_event_info_header header;
        memcpy(&header, at + offset, INFO_HEADER);
        if (header.len < INFO_HEADER || header.len > length - offset) return false;
        const unsigned char *record = at + offset;
        bool ok = true;
        fan_place target = {};
        switch (header.info_type) {
        case FAN_EVENT_INFO_TYPE_DFID_NAME:
            ok = read_place(record, header.len, true, &event->place);
            break;
        case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
            ok = read_place(record, header.len, true, &event->old_place);
            break;
        case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
            ok = read_place(record, header.len, true, &event->new_place);
            break;
        case FAN_EVENT_INFO_TYPE_FID:
            ok = read_place(record, header.len, false, &target);
            event->has_target = ok;
            event->target = target.directory;
            break;
        case FAN_EVENT_INFO_TYPE_PIDFD:
            ok = header.len >= PIDFD_RECORD;
            if (ok) memcpy(&event->pidfd, record + INFO_HEADER, sizeof event->pidfd);
            event->pidfd_at = ok ? base + offset + INFO_HEADER : 0;
            break;
        default:
            break; // a kind not asked for: passed over by its length
        }
        if (!ok) return false;
        offset += header.len;
    }
    return true;
}

} // namespace

fan_parse fan_parse_next(const unsigned char *buffer, size_t length, size_t *offset,
                         fan_event *event) {
    size_t at = *offset;
    if (at >= length) return FAN_END;
    if (length - at < METADATA) return FAN_BAD;
    fanotify_event_metadata metadata;
    memcpy(&metadata, buffer + at, METADATA);
    if (metadata.vers != FANOTIFY_METADATA_VERSION || metadata.metadata_len < METADATA ||
        metadata.event_len < metadata.metadata_len || metadata.event_len > length - at) {
        return FAN_BAD;
    }
    memset(event, 0, sizeof *event);
    event->mask = metadata.mask;
    event->pid = metadata.pid;
    event->pidfd = FAN_NOPIDFD;
    if (!read_infos(buffer + at + metadata.metadata_len,
                    metadata.event_len - metadata.metadata_len, at + metadata.metadata_len,
                    event)) {
        return FAN_BAD;
    }
    *offset = at + metadata.event_len;
    return FAN_PARSED;
}

bool fan_same_handle(const fan_handle &a, const fan_handle &b) {
    // An event without a handle has no bytes to compare.
    return a.fsid == b.fsid && a.type == b.type && a.size == b.size &&
           (a.size == 0 || memcmp(a.bytes, b.bytes, a.size) == 0);
}

uint32_t fan_handle_hash(const fan_handle &h) {
    // FNV-1a.
    uint64_t hash = 14695981039346656037ull;
    for (uint32_t i = 0; i < h.size; i++) hash = (hash ^ h.bytes[i]) * 1099511628211ull;
    hash = (hash ^ static_cast<uint32_t>(h.type)) * 1099511628211ull;
    hash = (hash ^ h.fsid) * 1099511628211ull;
    return static_cast<uint32_t>(hash >> 32);
}
