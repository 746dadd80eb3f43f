// The platform-independent parts of the monitor: entry, watcher, detection.
#pragma once

#include <stddef.h>

// Watcher thread routine for one directory field. Returns the thread's exit
// code: 1 when the directory cannot be opened, 0 when a wait fails.
int monitor_directory(const char *directory);

// Runs the detection executable beside the monitor's own for one changed
// file and waits for it.
void call_detection(const char *full_path);

// Splits the directory list in place at semicolons (runs of them count as one,
// empty fields are skipped) and calls start for each field, in order, each only
// after the previous one was started. Stops at the first field start refuses.
// Returns false when start refused one.
bool split_fields(char *list, bool (*start)(void *context, const char *field),
                  void *context);

// Writes directory, separator and relative path into out. False when the
// result does not fit; out then holds a terminated prefix.
bool compose_path(char *out, size_t capacity, const char *directory,
                  char separator, const char *relative);

// Writes "directory<sep>...<sep>last component of relative" into out, for
// naming a path that does not fit; cut to capacity, always terminated.
void describe_long_path(char *out, size_t capacity, const char *directory,
                        char separator, const char *relative);
