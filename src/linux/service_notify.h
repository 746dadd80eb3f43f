// Readiness for a service manager: once every watcher has finished its
// set-up, "READY=1" goes to the socket named by NOTIFY_SOCKET, when that is
// set. os_watchers_started (os.h) is the entry's part of the count.
#pragma once

// Takes NOTIFY_SOCKET, and takes it and the service manager's other
// variables (LISTEN_*, WATCHDOG_*) out of the environment, which detectors
// inherit. Called once, before any thread starts.
void notify_init();

// A watcher is about to be started; its set-up is now awaited. Called on the
// entry's thread, before the thread is created.
void notify_watcher_started();

// This watcher's set-up has finished: its tree is watched, or its failure
// line is printed. Called on the watcher's own thread; only the first call
// of a thread counts, so a watcher that fails later is not counted twice.
void notify_setup_finished();
