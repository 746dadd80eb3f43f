// One field's watch on Windows, shared by the files that make it: the wait
// loop (directory_watch.cpp), what the records and walks hand on
// (watch_batches.cpp) and the field's own state (watched_field.cpp). The
// storage belongs to the field's watcher thread, for the watch's life.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "capacities.h"
#include "change_records.h"
#include "folder_identity.h"
#include "long_paths.h"
#include "notify_reader.h"
#include "os.h"
#include "tree_rescan.h"

// How often the field is looked up again while the waits go on, and while
// it names nothing.
static const DWORD CHECK_INTERVAL_MS = 1000;

enum field_state {
    FIELD_WATCHED,
    FIELD_GONE,        // the field names no folder that can be opened
    FIELD_UNREACHABLE, // a network fault; tried again with back-off
};

struct os_watch {
    // Paths are reported under the field as written, or, for a
    // drive-relative field, under the folder it was resolved to.
    const char *shown;
    char resolved[PATH_CAPACITY];
    // The field's exact path; names are put after it, at path_units, and
    // taken away again.
    wchar_t path[LONG_PATH_UNITS];
    size_t path_units;
    wchar_t long_path[LONG_PATH_UNITS];
    folder_identity identity;
    notify_reader reader;
    field_state state;
    unsigned attempts;
    ULONGLONG next_try;   // tick count of the next try while not watched
    ULONGLONG next_check; // tick count of the next look at the field
    ULONGLONG last_rescan;
    // FILETIME ticks: the last wait's issue, the drained moment, and from
    // when a walk due at the next issue reports (catch_up).
    uint64_t last_issue;
    uint64_t drained_since;
    uint64_t away_since;
    bool catch_up;
    uint64_t catch_up_since;
    // Where the records of the wait being handled go.
    record_fn on_record;
    void *context;
    notify_scratch scratch;
    rescan_state rescan;
};

// watch_batches.cpp: handing records on.
// A line about the field (a kind without a path).
void hand_line(os_watch *watch, record_kind kind, const char *detail);
// The records of a batch of length bytes, as the notify walk takes them.
void hand_records(os_watch *watch, DWORD length);
// hand_records, and after an overflow (length 0) a rescan of the lost window.
void hand_batch(os_watch *watch, DWORD length);
// Walks the field's folder (relative "") or a folder below it that the path
// names up to units, for files changed since then (0: all of them).
void walk(os_watch *watch, size_t units, const char *relative, uint64_t since);

// watched_field.cpp: whether the field still names the watched folder.
// Opens the waits on the folder the field names now, which becomes the
// watched one. 0, or why not.
DWORD start_watching(os_watch *watch);
// Looks at the field; false when it no longer names the watched folder,
// which is then handled.
bool check_field(os_watch *watch);
// A wait failed with error: false when the watch itself failed, true when
// the field's state explains it and was handled.
bool wait_failed(os_watch *watch, DWORD error);
// While the field is not watched: tries it again once it is time.
void try_again(os_watch *watch);
