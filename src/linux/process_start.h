// Starting the detection executable on Linux: posix_spawn, never a shell.
#pragma once

// Runs executable with path as its one argument, verbatim, and waits for it.
// True when it ran and ended with status 0.
bool spawn_and_wait(const char *executable, const char *path);
