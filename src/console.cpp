// Console lines: formatting, escaping of control bytes, and the hand-off of
// each whole line to the platform's single write.
#include "console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Room for a fixed message and its line end; the longest is 48 bytes.
const size_t MESSAGE_CAPACITY = 128;

// Copies text to out, each control byte as \xHH; returns the bytes written.
size_t escape_controls(const char *text, size_t length, char *out) {
    static const char HEX[] = "0123456789abcdef";
    size_t used = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = HEX[c >> 4];
            out[used++] = HEX[c & 0xf];
        } else {
            out[used++] = text[i];
        }
    }
    return used;
}

} // namespace

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
