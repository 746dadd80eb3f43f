// Console lines: formatting, escaping of control bytes, and the hand-off of
// each whole line to the platform's single write.
#include "console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Room for a fixed message and its line end; the longest is 48 bytes.
const size_t MESSAGE_CAPACITY = 128;

// The length of the well-formed UTF-8 sequence at text (no overlong form,
// no surrogate, nothing beyond U+10FFFF), or 0 when none starts there.
size_t utf8_sequence(const unsigned char *text, size_t left) {
    unsigned char c = text[0];
    size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
    if (c < 0xc2 || c > 0xf4 || left < length) return 0;
    // The second byte's range depends on the first; the others are plain
    // continuation bytes.
    unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; i++) {
        if ((text[i] & 0xc0) != 0x80) return 0;
    }
    return length;
}

} // namespace

size_t escape_controls(const char *text, size_t length, char *out) {
    static const char HEX[] = "0123456789abcdef";
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t used = 0;
    for (size_t i = 0; i < length;) {
        unsigned char c = bytes[i];
        size_t sequence = c >= 0x80 ? utf8_sequence(bytes + i, length - i) : 1;
        // C0 controls and DEL; C1 controls, raw or as U+0080-U+009F, which
        // some terminals act on as they do on ESC sequences.
        bool control = c < 0x20 || c == 0x7f || (sequence == 0 && c <= 0x9f) ||
                       (sequence == 2 && c == 0xc2 && bytes[i + 1] <= 0x9f);
        size_t count = sequence ? sequence : 1;
        for (size_t k = 0; k < count; k++) {
            unsigned char b = bytes[i + k];
            if (control) {
                out[used++] = '\\';
                out[used++] = 'x';
                out[used++] = HEX[b >> 4];
                out[used++] = HEX[b & 0xf];
            } else {
                out[used++] = static_cast<char>(b);
            }
        }
        i += count;
    }
    return used;
}

void console_line(console_buffer *buffer, output_stream stream, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int wanted = vsnprintf(buffer->text, sizeof buffer->text, format, arguments);
    va_end(arguments);
    size_t length = strlen(buffer->text);
    if (wanted > static_cast<int>(length)) memcpy(buffer->text + length - 3, "...", 3);
    size_t used = escape_controls(buffer->text, length, buffer->line);
    memcpy(buffer->line + used, LINE_END, sizeof LINE_END - 1);
    os_write_output(stream, buffer->line, used + sizeof LINE_END - 1);
}

void console_text(output_stream stream, const char *text) {
    char line[MESSAGE_CAPACITY];
    snprintf(line, sizeof line, "%s%s", text, LINE_END);
    os_write_output(stream, line, strlen(line));
}
