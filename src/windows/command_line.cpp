// Quoting one path into the detection command line, by the C runtime's
// rules for reading it back.
#include "command_line.h"

#include <string.h>

namespace {

bool put(char *out, size_t capacity, size_t *used, char c) {
    // One byte is always kept for the terminator.
    if (*used + 1 >= capacity) return false;
    out[(*used)++] = c;
    return true;
}

// The UTF-16 code units UTF-8 text takes: one per sequence, two for those of
// four bytes (beyond U+FFFF).
size_t utf16_units(const char *text, size_t length) {
    size_t units = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
    }
    return units;
}

bool put_backslashes(char *out, size_t capacity, size_t *used, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (!put(out, capacity, used, '\\')) return false;
    }
    return true;
}

bool put_quoted_argument(char *out, size_t capacity, size_t *used, const char *argument) {
    if (!put(out, capacity, used, '"')) return false;
    const char *p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == '\\') {
            backslashes++;
            p++;
        }
        if (*p == '\0') {
            // Before the closing quote each backslash must be doubled, or the
            // last one would escape the quote.
            if (!put_backslashes(out, capacity, used, 2 * backslashes)) return false;
            break;
        }
        if (*p == '"') {
            if (!put_backslashes(out, capacity, used, 2 * backslashes + 1)) return false;
        } else if (!put_backslashes(out, capacity, used, backslashes)) {
            return false;
        }
        if (!put(out, capacity, used, *p)) return false;
        p++;
    }
    return put(out, capacity, used, '"');
}

} // namespace

bool build_command_line(char *out, size_t capacity, const char *executable,
                        const char *path) {
    if (capacity == 0) return false;
    size_t used = 0;
    bool fits = strchr(executable, '"') == nullptr && put(out, capacity, &used, '"');
    for (const char *p = executable; fits && *p; p++) fits = put(out, capacity, &used, *p);
    fits = fits && put(out, capacity, &used, '"') && put(out, capacity, &used, ' ') &&
           put_quoted_argument(out, capacity, &used, path);
    out[used] = '\0';
    return fits && utf16_units(out, used) < COMMAND_LINE_UNITS;
}
