// Console lines: every message the monitor prints is built here, in a buffer
// of the thread that prints it, and handed to the platform whole.
#pragma once

#include <stddef.h>

#include "capacities.h"
#include "os.h"

// The longest line as formatted: a path, the longest message text around it
// and a reason. Only a directory field longer than any path can be longer.
static const size_t CONSOLE_TEXT_CAPACITY = PATH_CAPACITY + 512;
// Every byte may be escaped to four, and the line end follows.
static const size_t CONSOLE_LINE_CAPACITY = CONSOLE_TEXT_CAPACITY * 4 + sizeof LINE_END;

// Owned by one thread, for its whole life.
struct console_buffer {
    char text[CONSOLE_TEXT_CAPACITY];
    char line[CONSOLE_LINE_CAPACITY];
};

// Copies length bytes of text to out, each control byte as \xHH (lower-case
// hex): 0x00-0x1F, 0x7F, a byte 0x80-0x9F that is not part of a well-formed
// UTF-8 sequence, and both bytes of U+0080-U+009F (C2 80 to C2 9F). Every
// other byte is copied as it is. out needs room for four times length;
// returns the bytes written.
size_t escape_controls(const char *text, size_t length, char *out);

// Formats one line (format without its line end) and writes it with one
// write, its control bytes escaped as above, so that no file name can start
// a line of its own or drive a terminal. A text longer than the buffer is
// cut and ends in "...".
void console_line(console_buffer *buffer, output_stream stream, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes a fixed message, which holds no name, as one line with one write.
void console_text(output_stream stream, const char *text);
