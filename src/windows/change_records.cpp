// The change-buffer walk and the UTF-16 to UTF-8 conversion of its names.
#include "change_records.h"

#include <stdint.h>
#include <string.h>

uint32_t read_u32(const unsigned char *p) {
    unsigned char b[4];
    memcpy(b, p, sizeof b);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

namespace {

uint32_t read_unit(const unsigned char *units, size_t i) {
    return static_cast<uint32_t>(units[2 * i]) | static_cast<uint32_t>(units[2 * i + 1]) << 8;
}

void hand(record_kind kind, const char *path, record_fn on_record, void *context) {
    watch_record record = {kind, path, ""};
    on_record(context, &record);
}

// One record as read from the buffer.
struct notify_entry {
    uint32_t next;
    uint32_t action;
    const unsigned char *name;
    size_t units;
    entry_kind kind; // from the extended layout; ENTRY_GONE until asked in the plain one
    bool known;
    bool next_ok;    // next is 0, or a place another record can start
};

// Reads the record at offset, whose header and name must lie within the
// length bytes. False when they do not, or it has no name, which names
// nothing that could be scanned.
bool read_entry(const unsigned char *buffer, size_t length, size_t offset, notify_layout layout,
                notify_entry *entry) {
    size_t header = layout == NOTIFY_EXTENDED ? NOTIFY_EXTENDED_HEADER_SIZE : NOTIFY_HEADER_SIZE;
    size_t name_field = layout == NOTIFY_EXTENDED ? NOTIFY_EXTENDED_NAME_BYTES : 8;
    if (offset > length || length - offset < header) return false;
    const unsigned char *record = buffer + offset;
    uint32_t name_bytes = read_u32(record + name_field);
    if (name_bytes > length - offset - header) return false;
    entry->next = read_u32(record);
    entry->action = read_u32(record + 4);
    entry->name = record + header;
    // An odd byte count leaves half a code unit, which is dropped.
    entry->units = name_bytes / 2;
    entry->known = layout == NOTIFY_EXTENDED;
    entry->kind = entry->known ? kind_of_attributes(read_u32(record + NOTIFY_EXTENDED_ATTRIBUTES),
                                                    read_u32(record + NOTIFY_EXTENDED_REPARSE_TAG))
                               : ENTRY_GONE;
    // The next one must start past this one's name and leave room for its
    // own header inside the returned bytes.
    entry->next_ok = entry->next == 0 || (entry->next >= header + name_bytes &&
                                          entry->next <= length - offset - header);
    return entry->units > 0;
}

bool may_be_short(const notify_entry &entry) {
    for (size_t i = 0; i < entry.units; i++) {
        if (read_unit(entry.name, i) == u'~') return true;
    }
    return false;
}

// Hands one record on as what it names asks. False when its name cannot be
// converted, which ends the batch.
bool hand_entry(notify_entry &entry, const notify_entry *following, notify_scratch *scratch,
                const notify_seam &seam, record_fn on_record, void *context) {
    bool gone = entry.action == NOTIFY_ACTION_REMOVED || entry.action == NOTIFY_ACTION_RENAMED_OLD;
    if (!gone && may_be_short(entry)) {
        size_t units = seam.long_name(seam.context, entry.name, entry.units, scratch->long_name);
        if (units > 0) {
            entry.name = scratch->long_name;
            entry.units = units;
        }
    }
    // Asked only now, as the record comes to be handled. An old name is
    // gone; the new name that follows it tells what both were.
    if (!entry.known && !gone) {
        entry.kind = seam.kind_of(seam.context, entry.name, entry.units);
    } else if (!entry.known && entry.action == NOTIFY_ACTION_RENAMED_OLD && following &&
               following->action == NOTIFY_ACTION_RENAMED_NEW) {
        entry.kind = seam.kind_of(seam.context, following->name, following->units);
    }
    bool folder = entry.kind == ENTRY_FOLDER || entry.kind == ENTRY_LINK;
    bool walk = entry.kind == ENTRY_FOLDER && (entry.action == NOTIFY_ACTION_ADDED ||
                                               entry.action == NOTIFY_ACTION_RENAMED_NEW);
    if (folder && !walk) return true;
    utf8_result result =
        utf16le_to_utf8(entry.name, entry.units, scratch->name, sizeof scratch->name);
    // The name buffer holds any name a change buffer can carry; the check
    // keeps that true should the capacities ever change.
    if (result == UTF8_TOO_LONG) return false;
    if (walk && result == UTF8_EXACT) {
        seam.walk_folder(seam.context, entry.name, entry.units, scratch->name,
                         entry.action == NOTIFY_ACTION_ADDED);
        return true;
    }
    // A folder whose name cannot be named holds files that cannot either:
    // named as what is known of them.
    hand(result == UTF8_EXACT ? RECORD_CHANGE : RECORD_UNREPRESENTABLE, scratch->name, on_record,
         context);
    return true;
}

} // namespace

entry_kind kind_of_attributes(uint32_t attributes, uint32_t tag) {
    if (!(attributes & ATTRIBUTE_DIRECTORY)) return ENTRY_FILE;
    // Wine gives a link's reparse attribute without its tag.
    bool link =
        (attributes & ATTRIBUTE_REPARSE_POINT) && (tag == 0 || (tag & REPARSE_NAME_SURROGATE));
    return link ? ENTRY_LINK : ENTRY_FOLDER;
}

utf8_result utf16le_to_utf8(const unsigned char *units, size_t count, char *out,
                            size_t capacity) {
    size_t used = 0;
    bool replaced = false;
    for (size_t i = 0; i < count; i++) {
        uint32_t code = read_unit(units, i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count) {
            uint32_t low = read_unit(units, i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i++;
            }
        }
        // An unpaired surrogate has no UTF-8 form, and a NUL would end the
        // name early: either makes the name one that cannot be handed on.
        if ((code >= 0xD800 && code <= 0xDFFF) || code == 0) {
            code = 0xFFFD;
            replaced = true;
        }
        unsigned char bytes[4];
        size_t n;
        if (code < 0x80) {
            bytes[0] = static_cast<unsigned char>(code);
            n = 1;
        } else if (code < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | code >> 6);
            bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            n = 2;
        } else if (code < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | code >> 12);
            bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | code >> 18);
            bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            n = 4;
        }
        if (used + n >= capacity) {
            out[0] = '\0';
            return UTF8_TOO_LONG;
        }
        memcpy(out + used, bytes, n);
        used += n;
    }
    out[used] = '\0';
    return replaced ? UTF8_REPLACED : UTF8_EXACT;
}

void notify_walk(const unsigned char *buffer, size_t length, notify_layout layout,
                 notify_scratch *scratch, const notify_seam &seam, record_fn on_record,
                 void *context) {
    if (length == 0) {
        hand(RECORD_LOST, "", on_record, context);
        return;
    }
    if (length > NOTIFY_BUFFER_SIZE) {
        hand(RECORD_UNREADABLE, "", on_record, context);
        return;
    }
    notify_entry entry, following;
    if (!read_entry(buffer, length, 0, layout, &entry)) {
        hand(RECORD_UNREADABLE, "", on_record, context);
        return;
    }
    size_t offset = 0;
    for (;;) {
        // The next record is read first: an old name takes its kind from it.
        size_t next_offset = offset + entry.next;
        bool more = entry.next != 0;
        bool readable =
            !more || (entry.next_ok && read_entry(buffer, length, next_offset, layout, &following));
        if (!hand_entry(entry, more && readable ? &following : nullptr, scratch, seam, on_record,
                        context) ||
            !readable) {
            break;
        }
        if (!more) return;
        entry = following;
        offset = next_offset;
    }
    hand(RECORD_UNREADABLE, "", on_record, context);
}
