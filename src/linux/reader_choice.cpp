// The choice of a field's reader, made on the reader's own thread.
#include "reader_choice.h"

#include <linux/capability.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mounts.h"

namespace {

enum backend { AUTOMATIC, INOTIFY, FANOTIFY };

void tell(record_queue *queue, const char *why) {
    watch_record record = {RECORD_UNWATCHED, "", why};
    queue_push(queue, &record);
}

backend asked(record_queue *queue) {
    const char *value = getenv("MONITOR_BACKEND");
    if (!value || !value[0]) return AUTOMATIC;
    if (strcmp(value, "inotify") == 0) return INOTIFY;
    if (strcmp(value, "fanotify") == 0) return FANOTIFY;
    tell(queue, "MONITOR_BACKEND is neither inotify nor fanotify, chosen automatically");
    return AUTOMATIC;
}

// Whether the monitor holds CAP_SYS_ADMIN, which filesystem marks need.
bool privileged() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32));
}

// Watches the field with fanotify until the watch ends; false, with nothing
// queued but the line naming why when tell_refusal, when it is refused.
bool run_fanotify(watch_reader *w, bool tell_refusal) {
    w->guard = &w->fanotify.guard;
    const char *refusal = nullptr;
    if (fanotify_set_up(&w->fanotify, w->directory, w->queue, &refusal) != 0) {
        // A field that is no folder to watch is said by inotify, as always.
        if (tell_refusal && refusal) tell(w->queue, refusal);
        return false;
    }
    queue_set_up(w->queue);
    fanotify_follow(&w->fanotify);
    return true;
}

bool run_inotify(watch_reader *w, bool may_switch) {
    w->guard = &w->inotify.guard;
    return inotify_run(&w->inotify, w->directory, w->queue, may_switch);
}

void *reader_thread(void *context) {
    watch_reader *w = static_cast<watch_reader *>(context);
    switch (asked(w->queue)) {
    case INOTIFY:
        run_inotify(w, false);
        break;
    case FANOTIFY:
        if (!run_fanotify(w, true)) run_inotify(w, false);
        break;
    case AUTOMATIC:
        if (mount_is_top(w->directory) && run_fanotify(w, false)) break;
        if (run_inotify(w, privileged())) break;
        // The watch limit was reached: fanotify watches the whole tree, or
        // inotify watches what it can, each folder beyond named.
        if (!run_fanotify(w, true)) run_inotify(w, false);
        break;
    }
    return nullptr;
}

} // namespace

bool watch_reader_start(watch_reader *w, const char *directory, record_queue *queue) {
    w->directory = directory;
    w->queue = queue;
    w->guard = nullptr;
    w->started = pthread_create(&w->thread, nullptr, reader_thread, w) == 0;
    return w->started;
}

void watch_reader_join(watch_reader *w) {
    if (w->started) pthread_join(w->thread, nullptr);
}
