// Reading the MONITOR_... settings from the environment.
#include "settings.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

const unsigned DEFAULT_DETECTION_TIMEOUT = 300;
const unsigned DEFAULT_RESCAN_SECONDS = 60;

monitor_settings current = {DEFAULT_DETECTION_TIMEOUT, DEFAULT_RESCAN_SECONDS};

// Decimal digits only, at most max; an unset variable keeps *value.
bool read_seconds(const char *name, unsigned max, unsigned *value, char *error,
                  size_t capacity) {
    const char *text = getenv(name);
    if (!text) return true;
    unsigned long long parsed = 0;
    bool good = text[0] != '\0';
    for (const char *c = text; good && *c; c++) {
        good = *c >= '0' && *c <= '9';
        parsed = parsed * 10 + static_cast<unsigned>(*c - '0');
        good = good && parsed <= max;
    }
    if (!good) {
        snprintf(error, capacity, "[-] Bad value for %s: \"%.64s\" (whole seconds from 0 to %u)",
                 name, text, max);
        return false;
    }
    *value = static_cast<unsigned>(parsed);
    return true;
}

} // namespace

bool read_settings(char *error, size_t capacity) {
    return read_seconds("MONITOR_DETECTION_TIMEOUT", DETECTION_TIMEOUT_MAX,
                        &current.detection_timeout_seconds, error, capacity) &&
           read_seconds("MONITOR_RESCAN_SECONDS", RESCAN_SECONDS_MAX, &current.rescan_seconds,
                        error, capacity);
}

const monitor_settings &settings() { return current; }
