// Priorities in the journal: systemd names the stream it connects a service's
// standard output or error to in JOURNAL_STREAM ("device:inode"), and
// journald reads a leading "<N>" on each line as that line's priority.
#pragma once

#include <stddef.h>

// Finds whether standard output and error are the stream JOURNAL_STREAM
// names. Once, at start, before any thread writes.
void journal_stream_find();

// The prefix for a whole line about to be written to fd (standard output or
// error): "<6>" (information) for change and progress lines, which start with
// "[+] ", "<3>" (error) for every other, a failure; "" when fd is not the
// journal's stream, so that a terminal, pipe or file gets the line unchanged.
const char *journal_prefix(int fd, const char *line, size_t length);
