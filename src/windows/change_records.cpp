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

// Hands one record on, unless it is a modified folder. False when its name
// cannot be converted, which ends the batch.
bool hand_record(const unsigned char *record, size_t units, notify_scratch *scratch,
                 folder_check folders, record_fn on_record, void *context) {
    const unsigned char *name = record + NOTIFY_HEADER_SIZE;
    // Asked only now, as the record comes to be handled: a name that is gone
    // is no folder, and is handed on like any other.
    if (read_u32(record + 4) == NOTIFY_ACTION_MODIFIED &&
        folders.is_folder(folders.context, name, units)) {
        return true;
    }
    utf8_result result = utf16le_to_utf8(name, units, scratch->name, sizeof scratch->name);
    // The name buffer holds any name a change buffer can carry; the check
    // keeps that true should the capacities ever change.
    if (result == UTF8_TOO_LONG) return false;
    hand(result == UTF8_EXACT ? RECORD_CHANGE : RECORD_UNREPRESENTABLE, scratch->name, on_record,
         context);
    return true;
}

} // namespace

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

void notify_walk(const unsigned char *buffer, size_t length, notify_scratch *scratch,
                 folder_check folders, record_fn on_record, void *context) {
    if (length == 0) {
        hand(RECORD_LOST, "", on_record, context);
        return;
    }
    if (length > NOTIFY_BUFFER_SIZE) {
        hand(RECORD_UNREADABLE, "", on_record, context);
        return;
    }
    size_t offset = 0;
    for (;;) {
        size_t left = length - offset;
        if (left < NOTIFY_HEADER_SIZE) break;
        const unsigned char *record = buffer + offset;
        uint32_t next = read_u32(record);
        uint32_t name_bytes = read_u32(record + 8);
        if (name_bytes > left - NOTIFY_HEADER_SIZE) break;
        // An odd byte count leaves half a code unit, which is dropped.
        size_t units = name_bytes / 2;
        // A record without a name names nothing that could be scanned.
        if (units == 0) break;
        if (!hand_record(record, units, scratch, folders, on_record, context)) break;
        if (next == 0) return;
        // The next record must start past this one's name and leave room for
        // its own header inside the returned bytes.
        if (next < NOTIFY_HEADER_SIZE + name_bytes || next > left - NOTIFY_HEADER_SIZE) break;
        offset += next;
    }
    hand(RECORD_UNREADABLE, "", on_record, context);
}
