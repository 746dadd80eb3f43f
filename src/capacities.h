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
// Command line handed to the detection executable; the platform takes at
// most 32767 characters.
static const size_t COMMAND_BUFFER_SIZE = 32768;
#else
#include <limits.h>
// What the kernel accepts in one path argument, terminator included.
static const size_t PATH_CAPACITY = PATH_MAX;
static const char PATH_SEPARATOR = '/';
static const char LINE_END[] = "\n";
#endif

// Change buffer of one directory-change wait on Windows.
static const size_t NOTIFY_BUFFER_SIZE = 4096;

// The longest name a NOTIFY_BUFFER_SIZE change buffer can carry, in UTF-16
// code units, and that name as UTF-8 (at most 3 bytes per unit), so that no
// name the platform delivers is ever cut.
static const size_t NOTIFY_NAME_UNITS = NOTIFY_BUFFER_SIZE / 2;
static const size_t NOTIFY_NAME_BYTES = NOTIFY_NAME_UNITS * 3 + 1;

// File name of the detection executable, beside the monitor's own.
#define DETECTION_EXECUTABLE_NAME "AV_Quillmar.exe"
