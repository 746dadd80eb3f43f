// Capacities shared by the entry, the watcher and the detection launch.
// Every buffer named here is fixed and owned by the thread that uses it.
#pragma once

#include <stddef.h>

#ifdef _WIN32
// The longest path the platform can hand to a process (extended-length
// paths), as UTF-8 bytes with the terminator.
static const size_t PATH_CAPACITY = 32768;
static const char PATH_SEPARATOR = '\\';
// Console lines end as the C runtime's text mode ended them.
static const char LINE_END[] = "\r\n";
#else
#include <limits.h>
// What the kernel accepts in one path argument, terminator included.
static const size_t PATH_CAPACITY = PATH_MAX;
static const char PATH_SEPARATOR = '/';
static const char LINE_END[] = "\n";
#endif

// File name of the detection executable, beside the monitor's own.
#define DETECTION_EXECUTABLE_NAME "AV_Quillmar.exe"
