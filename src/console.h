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

// Formats one line (format without its line end) and writes it with one
// write. Each byte 0x00-0x1F or 0x7F becomes \xHH, so that no file name can
// start a line of its own or drive a terminal. A text longer than the buffer
// is cut and ends in "...".
void console_line(console_buffer *buffer, output_stream stream, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes a fixed message, which holds no name, as one line with one write.
void console_text(output_stream stream, const char *text);
