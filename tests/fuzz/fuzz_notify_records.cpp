// The Windows change-buffer walk (both layouts, with its seam), the name
// conversion and the detection command line on arbitrary bytes. Beyond the
// sanitizers' checks: every record is well formed and the batch ends right,
// an exact conversion gives back the very code units it was given, and the
// command line parses back to the very path it was built from.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "crt_argument.h"
#include "change_records.h"
#include "command_line.h"

namespace {

// Small enough that long inputs reach the refusal.
const size_t LINE_CAPACITY = 2048;

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_notify_records: %s\n", why);
    abort();
}

// Decodes strict UTF-8 into UTF-16 code units; false when it is not UTF-8.
bool utf8_to_utf16(const std::string &s, std::vector<unsigned> *units) {
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        unsigned code;
        size_t n;
        if (b < 0x80) {
            code = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            code = b & 0x1Fu, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            code = b & 0x0Fu, n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            code = b & 0x07u, n = 4;
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++) {
            unsigned char c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = code << 6 | (c & 0x3Fu);
        }
        static const unsigned SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < SMALLEST[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            units->push_back(0xD800 + ((code - 0x10000) >> 10));
            units->push_back(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            units->push_back(code);
        }
        i += n;
    }
    return true;
}

struct batch {
    size_t records = 0;
    size_t folders = 0; // records the walk took for folders or walked
    bool ended = false;
};

void on_record(void *context, const watch_record *record) {
    batch *b = static_cast<batch *>(context);
    if (b->ended) fail("a record after the end of the batch");
    b->records++;
    std::string path = record->path;
    switch (record->kind) {
    case RECORD_CHANGE:
    case RECORD_UNREPRESENTABLE: {
        std::vector<unsigned> units;
        if (path.empty()) fail("a record without a name");
        if (!utf8_to_utf16(path, &units)) fail("a name that is not UTF-8");
        if (path.size() >= NOTIFY_NAME_BYTES) fail("a name longer than its buffer");
        break;
    }
    case RECORD_LOST:
    case RECORD_UNREADABLE:
        b->ended = true;
        break;
    default:
        fail("a record of a kind the walk never makes");
    }
}

// Every unit a seam call is given is read, for the sanitizer to check.
unsigned sum_of(const unsigned char *name, size_t units) {
    unsigned sum = 0;
    for (size_t i = 0; i < 2 * units; i++) sum += name[i];
    return sum;
}

// Takes a name whose first code unit is odd for a folder, and one whose
// sum is a multiple of 3 for a link, so every answer comes up.
entry_kind kind_of(void *context, const unsigned char *name, size_t units) {
    batch *b = static_cast<batch *>(context);
    if (b->ended) fail("a folder check after the end of the batch");
    if (units == 0) fail("a folder check without a name");
    unsigned sum = sum_of(name, units);
    if (sum % 3 == 0) return ENTRY_LINK;
    b->folders += (name[0] & 1) != 0;
    return (name[0] & 1) != 0 ? ENTRY_FOLDER : (sum % 5 == 0 ? ENTRY_GONE : ENTRY_FILE);
}

// Gives a long form for every other name: the name doubled, when it fits.
size_t long_name(void *context, const unsigned char *name, size_t units, unsigned char *out) {
    batch *b = static_cast<batch *>(context);
    if (b->ended || units == 0) fail("a long name asked out of turn");
    if (sum_of(name, units) % 2 || 2 * units > NOTIFY_NAME_UNITS) return 0;
    memcpy(out, name, 2 * units);
    memcpy(out + 2 * units, name, 2 * units);
    return 2 * units;
}

void walk_folder(void *context, const unsigned char *name, size_t units, const char *relative,
                 bool) {
    batch *b = static_cast<batch *>(context);
    if (b->ended || units == 0) fail("a folder walked out of turn");
    sum_of(name, units);
    std::vector<unsigned> back;
    if (!utf8_to_utf16(relative, &back) || back.size() != units) {
        fail("a walked folder's name is not its UTF-8");
    }
    b->folders++;
}

void check_walk(const unsigned char *data, size_t size) {
    static notify_scratch scratch;
    // The first byte picks the layout; the rest is the buffer.
    if (size == 0) return;
    notify_layout layout = data[0] & 1 ? NOTIFY_EXTENDED : NOTIFY_PLAIN;
    data++;
    size--;
    batch b;
    notify_walk(data, size, layout, &scratch, {kind_of, long_name, walk_folder, &b}, on_record,
                &b);
    if (size == 0 && !(b.records == 1 && b.ended)) fail("0 bytes not reported as lost");
    // Each record takes at least a header and one code unit; a plain old
    // name asks about the new one after it too.
    if (b.records + b.folders > 2 * (size / (NOTIFY_HEADER_SIZE + 2) + 1)) {
        fail("more records than bytes allow");
    }
}

void check_conversion(const unsigned char *data, size_t size) {
    if (size < 1) return;
    // The first byte picks a capacity, so both fitting and not fitting occur.
    size_t capacity = 1 + data[0] % 64;
    const unsigned char *units = data + 1;
    size_t count = (size - 1) / 2;
    std::vector<char> out(capacity);
    utf8_result result = utf16le_to_utf8(units, count, out.data(), capacity);
    std::string text(out.data());
    if (text.size() >= capacity) fail("conversion wrote past its capacity");
    if (result == UTF8_TOO_LONG) {
        if (!text.empty()) fail("a cut name");
        return;
    }
    std::vector<unsigned> back;
    if (!utf8_to_utf16(text, &back)) fail("conversion made invalid UTF-8");
    if (back.size() != count && result == UTF8_EXACT) fail("exact conversion changed length");
    if (result == UTF8_EXACT) {
        for (size_t i = 0; i < count; i++) {
            unsigned unit = units[2 * i] | static_cast<unsigned>(units[2 * i + 1]) << 8;
            if (back[i] != unit) fail("exact conversion changed a unit");
        }
    } else {
        bool has_replacement = false;
        for (unsigned u : back) has_replacement |= u == 0xFFFD;
        if (!has_replacement) fail("a replaced name without U+FFFD");
    }
}

void check_command_line(const unsigned char *data, size_t size) {
    std::string path(reinterpret_cast<const char *>(data), size);
    path = path.c_str(); // up to the first NUL, as a C string would be
    static char line[LINE_CAPACITY];
    if (!build_command_line(line, sizeof line, "C:\\p\\AV_Quillmar.exe", path.c_str())) {
        // Only a path too long for the line may be refused.
        if (2 * path.size() + 30 < sizeof line) fail("a short path refused");
        return;
    }
    if (crt_parse_argument(line) != path) fail("the path does not parse back whole");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    check_walk(data, size);
    check_conversion(data, size);
    check_command_line(data, size);
    return 0;
}
