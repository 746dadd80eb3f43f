// Starting the detection executable on Linux: posix_spawn, never a shell.
// The detectors running, and those ended lately, are kept in a small table
// so that a reader that knows which process made a change can leave out the
// monitor's own (a detector writing a log in the tree must not be scanned
// for it, over and over).
#pragma once

#include <sys/types.h>

// Runs executable with path as its one argument, verbatim, in a process
// group of its own, with the standard streams as its only descriptors, and
// waits for it, no longer than timeout_seconds (0: no limit): a detection
// still running then is ended with everything in its group. True when it
// ran and ended with status 0 within the limit.
bool spawn_and_wait(const char *executable, const char *path, unsigned timeout_seconds);

// A count that grows each time a detector ends.
unsigned long detectors_ended();

// Whether pid is a detector the monitor started that is running, or that
// ended after detectors_ended() read drained_at. A reader passes the count
// it read before its last read that found no events: whatever an ended
// detector did before that, it has read. Waits for a detector being started
// to be entered first, so its first changes are known as its own.
bool started_detector(pid_t pid, unsigned long drained_at);
