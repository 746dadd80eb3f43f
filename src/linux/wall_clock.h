// The wall clock, in nanoseconds since the epoch: the clock of files'
// status-change times, against which the readers' marks are compared.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

inline int64_t now_ns() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A file's status-change time on that clock.
inline int64_t changed_ns(const struct stat &st) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}
