// The command line that starts the detection executable with one changed
// file. Plain code over bytes, so it builds and is tested on every platform.
#pragma once

#include <stddef.h>

// The longest command line the platform takes, in UTF-16 code units with
// its terminator; and the UTF-8 bytes that many units can take.
static const size_t COMMAND_LINE_UNITS = 32767;
static const size_t COMMAND_LINE_BYTES = COMMAND_LINE_UNITS * 3;

// Writes the command line that starts executable with path as its one
// argument: the executable in plain quotes (the C runtime takes the program
// name up to the next quote, and a Windows path holds none), then the path
// quoted so that the C runtime's argument parser gives it back unchanged:
// backslashes before a quote or at the end doubled, quotes escaped. False when
// it does not fit out (capacity bytes), is longer than COMMAND_LINE_UNITS
// once in UTF-16, or the executable holds a quote; out is still terminated.
bool build_command_line(char *out, size_t capacity, const char *executable,
                        const char *path);
