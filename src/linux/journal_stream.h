// The monitor's lines as written (os_write_output, os.h), with priorities in
// the journal: systemd names the stream it connects a service's standard
// output or error to in JOURNAL_STREAM ("device:inode"), and journald reads a
// leading "<N>" on each line as that line's priority.
#pragma once

#include <stddef.h>

// Finds whether standard output and error are the stream JOURNAL_STREAM
// names. Once, at start, before any thread writes.
void journal_stream_find();
