// Starting the detection executable on Linux: posix_spawn, never a shell.
// Each detector is entered in the table of own detectors (own_detectors.h)
// from its start until it is reaped.
#pragma once

#include <sys/types.h>

// Runs executable with path as its one argument, verbatim, and waits for it.
// True when it ran and ended with status 0.
bool spawn_and_wait(const char *executable, const char *path);
