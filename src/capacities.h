// Capacities shared by the entry, the watcher and the detection launch.
// Every buffer named here is fixed and owned by the thread that uses it.
#pragma once

#include <stddef.h>

#ifdef _WIN32
// The longest path the platform can hand to a process (extended-length
// paths), as UTF-8 bytes with the terminator.
static const size_t PATH_CAPACITY = 32768;
static const char PATH_SEPARATOR = '\\';
#else
#include <limits.h>
// What the kernel accepts in one path argument, terminator included.
static const size_t PATH_CAPACITY = PATH_MAX;
static const char PATH_SEPARATOR = '/';
#endif

// Linux: events read from the kernel ahead of their handling. The kernel
// queues 16384 events by default and drops the rest; between detections the
// watcher moves them here, so a burst of about half a million events is kept.
// Reserved once per watcher; only the pages a burst touches take memory.
static const size_t INOTIFY_QUEUE_SIZE = 16 * 1024 * 1024;
// What a watcher falls back to when that reservation fails.
static const size_t INOTIFY_BUFFER_SIZE = 64 * 1024;

// File name of the detection executable, beside the monitor's own.
#define DETECTION_EXECUTABLE_NAME "AV_Quillmar.exe"
