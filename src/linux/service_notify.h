// The fields' states: readiness and status for a service manager (when
// NOTIFY_SOCKET names one), and whether any watcher is left. "READY=1" goes
// once every field's first set-up has finished (its tree watched, or its
// failure line printed), and only when a watcher is left; STATUS= says how
// many fields are watched, waiting for their folder and failed, sent with
// READY=1 and again at each change. The entry's part goes through
// os_watchers_started and os_wait_for_watchers (os.h).
#pragma once

// Takes NOTIFY_SOCKET, and takes it and the service manager's other
// variables (LISTEN_*, WATCHDOG_*) out of the environment, which detectors
// inherit. Called once, before any thread starts.
void notify_init();

enum field_state {
    FIELD_SETTING_UP, // its first set-up is running
    FIELD_WATCHED,
    FIELD_WAITING,    // its folder is gone from the field; it waits for it
    FIELD_ENDED,      // its watcher ended: the field failed
};

// A watcher is about to be started, in its first set-up. Called on the
// entry's thread, before the thread is created.
void notify_watcher_started();

// This watcher's field is now in state. Called on the watcher's own thread;
// an ended watcher stays ended.
void notify_field(field_state state);

// Every field's watcher has been started (os_watchers_started).
void notify_all_started();

// Blocks until no watcher is left (os_wait_for_watchers).
void notify_wait_until_none_left();
