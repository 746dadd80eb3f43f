// The operating-system layer on Linux: a watch is a reader (inotify or
// fanotify, chosen in reader_choice.cpp) feeding a record queue; threads are
// pthreads; detection is started by process_start.cpp; lines are written by
// journal_stream.cpp and readiness is told by service_notify.cpp.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "journal_stream.h"
#include "os.h"
#include "record_queue.h"
#include "process_start.h"
#include "reader_choice.h"
#include "service_notify.h"

namespace {

// Records waiting for the watcher: about a quarter of a million changes made
// while detections run. Only the pages a backlog reaches take memory.
const size_t QUEUE_SIZE = 16 * 1024 * 1024;
// What a watch falls back to when that reservation fails.
const size_t SMALL_QUEUE_SIZE = 256 * 1024;

// The queue of the watch whose record the calling watcher thread handles:
// told when that record's detection starts.
thread_local record_queue *handling = nullptr;

// What a watcher thread runs: handed to the thread, which frees it.
struct watcher_start {
    watcher_fn watch;
    const char *directory;
};

void *watcher_thread(void *context) {
    watcher_start start = *static_cast<watcher_start *>(context);
    free(context);
    start.watch(start.directory);
    // Its failure line is printed.
    notify_field(FIELD_ENDED);
    return nullptr;
}

} // namespace

struct os_watch {
    const char *directory;
    record_queue queue;
    watch_reader reader;
    taken_record taken; // the record in the watcher's hands
};

os_watch *os_watch_open(const char *directory) {
    // Opened the way a reader would, to tell a path that cannot be opened from
    // one that opens but cannot be watched. O_NONBLOCK keeps a FIFO from
    // blocking here.
    int probe = open(directory, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) return nullptr;
    close(probe);
    os_watch *watch = static_cast<os_watch *>(malloc(sizeof(os_watch)));
    if (!watch) return nullptr;
    watch->directory = directory;
    if (!queue_init(&watch->queue, QUEUE_SIZE) && !queue_init(&watch->queue, SMALL_QUEUE_SIZE)) {
        free(watch);
        return nullptr;
    }
    if (!watch_reader_start(&watch->reader, directory, &watch->queue)) {
        // Said as a watch that cannot be set up: the thread is the watch.
        watch_record record = {RECORD_UNWATCHED, "", "cannot start a reader thread"};
        queue_push(&watch->queue, &record);
        queue_end(&watch->queue, EAGAIN);
    }
    return watch;
}

// Paths are built from the field as written.
const char *os_watch_directory(const os_watch *watch) { return watch->directory; }

int os_watch_wait(os_watch *watch, record_fn on_record, void *context) {
    // One batch: what is queued now, the first record waited for.
    bool wait = true;
    int error = 0;
    for (;;) {
        take_result taken = queue_take(&watch->queue, &watch->taken, wait, &error);
        if (taken == TAKE_EMPTY) return 0;
        if (taken == TAKE_ENDED) break;
        if (taken == TAKE_SET_UP) {
            // The set-up's lines are printed: this watcher is ready.
            notify_field(FIELD_WATCHED);
            continue;
        }
        const taken_record &t = watch->taken;
        // The reader ends the watch when the field stops naming the watched
        // folder, but may not have read that yet: a path under the field
        // would then name no such file. Looked up again before each change;
        // the reader then drops the rest and watches again.
        if (t.record.kind == RECORD_CHANGE &&
            guard_names(watch->reader.directory, t.device, t.inode) != 0) {
            queue_abandon(&watch->queue, t.watch);
            continue;
        }
        if (t.record.kind == RECORD_FIELD_GONE) notify_field(FIELD_WAITING);
        handling = &watch->queue;
        on_record(context, &t.record);
        handling = nullptr;
        wait = false;
    }
    watch_reader_join(&watch->reader);
    queue_release(&watch->queue);
    free(watch);
    // The watcher takes 0 for success; a failure must never look like one.
    return error != 0 ? error : EIO;
}

bool os_start_watcher(watcher_fn watch, const char *directory) {
    watcher_start *start = static_cast<watcher_start *>(malloc(sizeof(watcher_start)));
    if (!start) return false;
    *start = watcher_start{watch, directory};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        free(start);
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    notify_watcher_started();
    int error = pthread_create(&thread, &attributes, watcher_thread, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) free(start);
    return error == 0;
}

bool os_own_executable(char *buffer, size_t capacity) {
    ssize_t length = readlink("/proc/self/exe", buffer, capacity);
    if (length <= 0 || static_cast<size_t>(length) >= capacity) return false;
    buffer[length] = '\0';
    return true;
}

bool os_run_detection(const char *executable, const char *path, unsigned timeout_seconds) {
    // From here on the detector may read the file: a change read later is
    // one it may not see.
    if (handling) queue_detection_starts(handling);
    return spawn_and_wait(executable, path, timeout_seconds);
}

char **os_arguments(int *, char **argv) {
    // Names are bytes here: argv is passed on as the kernel gave it.
    return argv;
}

void os_init() {
    // A standard stream that was closed at start would hand its number to
    // the next descriptor opened: the entry would then read a watch's events
    // as input (a file named "q" would end the monitor). Such a stream reads
    // as empty and writes nowhere instead.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) close(null);
    }
    // A closed reader of standard output must not end the monitor; the
    // detection launches go on.
    signal(SIGPIPE, SIG_IGN);
    journal_stream_find();
    notify_init();
}

void os_watchers_started() { notify_all_started(); }

void os_wait_for_watchers() { notify_wait_until_none_left(); }
