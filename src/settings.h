// Settings from the environment (MONITOR_...): read once by the entry before
// any watcher starts, and only read after that, so the watchers share them
// without locks. There is no configuration file.
#pragma once

#include <stddef.h>

struct monitor_settings {
    // The longest a detection may run, in seconds; 0 for no limit.
    unsigned detection_timeout_seconds;
    // How often the parts of a tree on a network or FUSE filesystem are
    // walked for changes made elsewhere, in seconds; 0 for never.
    unsigned rescan_seconds;
};

// The longest time limit taken: its milliseconds fit every platform's wait.
static const unsigned DETECTION_TIMEOUT_MAX = 4294967;
// The longest interval taken: its milliseconds fit a poll's timeout.
static const unsigned RESCAN_SECONDS_MAX = 2147483;

// Reads the settings. False when one is bad, with a one-line message naming
// it in error.
bool read_settings(char *error, size_t capacity);

const monitor_settings &settings();
