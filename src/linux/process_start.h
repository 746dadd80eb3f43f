// Starting the detection executable on Linux: posix_spawn, never a shell.
// Once a fanotify reader has asked for it, each detector is entered in the
// table of own detectors (own_detectors.h) from its start until it is reaped.
#pragma once

#include <sys/types.h>

// Runs executable with path as its one argument, verbatim, in a process
// group of its own, with the standard streams as its only descriptors, and
// waits for it, no longer than timeout_seconds (0: no limit): a detection
// still running then is ended with everything in its group. True when it
// ran and ended with status 0 within the limit.
bool spawn_and_wait(const char *executable, const char *path, unsigned timeout_seconds);

