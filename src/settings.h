// Settings from the environment (MONITOR_...): read once by the entry before
// any watcher starts, and only read after that, so the watchers share them
// without locks. There is no configuration file.
#pragma once

#include <stddef.h>

struct monitor_settings {
    // The longest a detection may run, in seconds; 0 for no limit.
    unsigned detection_timeout_seconds;
};

// The longest time limit taken: its milliseconds fit every platform's wait.
static const unsigned DETECTION_TIMEOUT_MAX = 4294967;

// Reads the settings. False when one is bad, with a one-line message naming
// it in error.
bool read_settings(char *error, size_t capacity);

const monitor_settings &settings();
