// Directory watcher: one per directory field, on a thread of its own.
#include <stdio.h>

#include "capacities.h"
#include "console.h"
#include "monitor.h"
#include "os.h"

namespace {

// The watcher's working storage, owned by its thread for its whole life.
struct watcher {
    const char *directory;
    char full_path[PATH_CAPACITY];
    console_buffer console;
};

void report_change(watcher *w, const char *relative) {
    if (!compose_path(w->full_path, sizeof w->full_path, w->directory,
                      PATH_SEPARATOR, relative)) {
        // A cut path names another file or none: say so instead of scanning it.
        describe_long_path(w->full_path, sizeof w->full_path, w->directory,
                           PATH_SEPARATOR, relative);
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Change not scanned, path cannot be represented: %s", w->full_path);
        return;
    }
    console_line(&w->console, OUTPUT_STANDARD, "[+] Change detected in file: %s", w->full_path);
    call_detection(w->full_path);
}

void handle_record(void *context, const watch_record *record) {
    watcher *w = static_cast<watcher *>(context);
    switch (record->kind) {
    case RECORD_CHANGE:
        report_change(w, record->path);
        break;
    case RECORD_LOST:
        console_line(&w->console, OUTPUT_STANDARD, "[-] Changes were lost for: %s",
                     w->directory);
        break;
    case RECORD_UNREADABLE:
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Unreadable change records, changes were lost for: %s", w->directory);
        break;
    case RECORD_UNREPRESENTABLE:
        describe_long_path(w->full_path, sizeof w->full_path, w->directory,
                           PATH_SEPARATOR, record->path);
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Change not scanned, path cannot be represented: %s", w->full_path);
        break;
    case RECORD_UNWATCHED:
        if (!record->path[0]) {
            snprintf(w->full_path, sizeof w->full_path, "%s", w->directory);
        } else if (!compose_path(w->full_path, sizeof w->full_path, w->directory,
                          PATH_SEPARATOR, record->path)) {
            describe_long_path(w->full_path, sizeof w->full_path, w->directory,
                               PATH_SEPARATOR, record->path);
        }
        console_line(&w->console, OUTPUT_STANDARD, "[-] Failed to watch directory: %s (%s)",
                     w->full_path, record->detail);
        break;
    case RECORD_UNWATCHED_UNREPRESENTABLE:
        describe_long_path(w->full_path, sizeof w->full_path, w->directory, PATH_SEPARATOR,
                           record->path);
        console_line(&w->console, OUTPUT_STANDARD, "[-] Failed to watch directory: %s (%s)",
                     w->full_path, record->detail);
        break;
    case RECORD_FIELD_GONE:
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Directory no longer found, waiting for it: %s", w->directory);
        break;
    case RECORD_FIELD_UNREACHABLE:
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Directory cannot be reached, trying again: %s (%s)", w->directory,
                     record->detail);
        break;
    case RECORD_FIELD_BACK:
        console_line(&w->console, OUTPUT_STANDARD, "[+] Directory found again, watching it: %s",
                     w->directory);
        break;
    case RECORD_FIELD_REPLACED:
        console_line(&w->console, OUTPUT_STANDARD,
                     "[-] Directory replaced by another, watching the new one: %s", w->directory);
        break;
    }
}

} // namespace

int monitor_directory(const char *directory) {
    watcher w;
    w.directory = directory;
    os_watch *watch = os_watch_open(directory);
    if (!watch) {
        console_line(&w.console, OUTPUT_STANDARD, "[-] Failed to open directory: %s", directory);
        return 1;
    }
    w.directory = os_watch_directory(watch);
    for (;;) {
        int code = os_watch_wait(watch, handle_record, &w);
        if (code != 0) {
            // The watch is closed: its directory text with it.
            w.directory = directory;
            console_line(&w.console, OUTPUT_STANDARD,
                         "[-] Error reading directory changes for: %s with error code %d",
                         directory, code);
            return 0;
        }
    }
}
