// The operating-system layer: the only code that differs between platforms.
// One implementation file per platform provides everything declared here.
#pragma once

#include <stddef.h>

// What a watch hands its watcher, one call per record, in the platform's
// order.
enum record_kind {
    RECORD_CHANGE,        // path: changed file, relative to the watched directory
    RECORD_LOST,          // the platform dropped changes it could not hold
    RECORD_UNREADABLE,    // the platform returned records that cannot be read;
                          // the rest of that batch is dropped
    RECORD_UNREPRESENTABLE, // path: what is known of a changed file whose full
                          // path cannot be represented
    RECORD_UNWATCHED,     // path: relative directory that cannot be watched;
                          // detail: why
    RECORD_UNWATCHED_UNREPRESENTABLE, // path: the last name of a directory that
                          // cannot be watched, whose full path cannot be
                          // represented; detail: why
    RECORD_FIELD_GONE,    // the field names no folder any more: the watch
                          // waits for it
    RECORD_FIELD_UNREACHABLE, // the field cannot be reached now (detail: why);
                          // the watch tries again
    RECORD_FIELD_BACK,    // the field names the watched folder again: it is
                          // watched again, what changed meanwhile reported
    RECORD_FIELD_REPLACED, // the field names another folder: it is watched
                          // from now on, every file in it reported
};

struct watch_record {
    record_kind kind;
    const char *path;
    const char *detail;
};

typedef void (*record_fn)(void *context, const watch_record *record);

struct os_watch;

// Opens the directory as written. Null when it cannot be opened.
os_watch *os_watch_open(const char *directory);

// The directory that records' paths are relative to, as reported: the field
// as written, or the folder a field relative to a drive's current folder
// (C:dir) named at start. Valid while the watch is.
const char *os_watch_directory(const os_watch *watch);

// Blocks until changes arrive and hands each record to on_record, in order.
// Returns 0 after a batch, or the platform's error code when the wait failed;
// a failed watch is closed and must not be waited on again.
int os_watch_wait(os_watch *watch, record_fn on_record, void *context);

// A watcher's routine: monitor_directory (monitor.h), handed down so that
// this layer never calls up into the one above it.
typedef int (*watcher_fn)(const char *directory);

// Starts a thread that runs watch(directory). False when the thread could
// not be started.
bool os_start_watcher(watcher_fn watch, const char *directory);

// The monitor's own executable path. False when it cannot be found or does
// not fit.
bool os_own_executable(char *buffer, size_t capacity);

// Runs the detection executable with path as its one argument, verbatim, and
// waits for it, but no longer than timeout_seconds (0: no limit): a detection
// still running then is ended with every process it started. True when it
// ran and ended with status 0 within the limit.
bool os_run_detection(const char *executable, const char *path, unsigned timeout_seconds);

enum output_stream { OUTPUT_STANDARD, OUTPUT_ERROR };

// Writes text to the stream with one write, continued only when the platform
// takes part of it and retried when interrupted. A failed write is dropped:
// there is nowhere left to report it.
void os_write_output(output_stream stream, const char *text, size_t length);

// The command-line arguments as the monitor takes names (UTF-8 on Windows,
// bytes elsewhere), in storage that lasts as long as the process; argc is set
// to their count.
char **os_arguments(int *argc, char **argv);

// Process-wide set-up, before any thread starts.
void os_init();

// Every field's watcher has been started. Once each has also finished its
// set-up, a service manager that waits for the monitor (NOTIFY_SOCKET on
// Linux) is told it is ready.
void os_watchers_started();

// Keeps the process alive without reading input until no watcher is left
// (where the platform counts them; elsewhere it ends on a signal).
void os_wait_for_watchers();
