// The choice of a field's reader, made on the reader's own thread, and the
// field's watches after the first: the reader thread's whole life.
#include "reader_choice.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mounts.h"
#include "root_guard.h"

namespace {

enum backend { AUTOMATIC, INOTIFY, FANOTIFY };

backend asked(record_queue *queue) {
    const char *value = getenv("MONITOR_BACKEND");
    if (!value || !value[0]) return AUTOMATIC;
    if (strcmp(value, "inotify") == 0) return INOTIFY;
    if (strcmp(value, "fanotify") == 0) return FANOTIFY;
    queue_tell(queue, "MONITOR_BACKEND is neither inotify nor fanotify, chosen automatically");
    return AUTOMATIC;
}

// Whether the monitor holds CAP_SYS_ADMIN, which filesystem marks need.
bool privileged() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32));
}

// The inotify watches a user may hold, as the kernel says; the largest
// number when it cannot be read.
unsigned long watch_limit() {
    int fd = open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC);
    char text[32];
    ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) close(fd);
    if (n <= 0) return ULONG_MAX;
    text[n] = '\0';
    return strtoul(text, nullptr, 10);
}

// Whether the tree at directory may hold more folders than inotify can
// watch, told without walking it: its filesystem has more inodes in use
// than the watch limit, or does not count them (btrfs, a tmpfs without a
// limit). A tree that surely fits is walked with inotify; one that fits by
// this count and still meets the limit (other programs' watches count too)
// switches then.
bool may_outgrow_watches(const char *directory) {
    struct statfs fs;
    if (statfs(directory, &fs) != 0) return false; // said by the reader that tries it
    if (fs.f_files == 0) return true;
    return fs.f_files - fs.f_ffree > watch_limit();
}

// How a run of a reader ended: why, whether it got as far as watching, and
// since when changes are still owed to the watcher (-1 for none).
struct run_end {
    int error;
    bool set_up;
    int64_t owed;
};

// Watches the field with fanotify until the watch ends; false, with nothing
// queued but the line naming why when tell_refusal, when it is refused.
bool run_fanotify(watch_reader *w, bool tell_refusal, int64_t catch_up, run_end *end) {
    const char *refusal = nullptr;
    if (fanotify_set_up(&w->fanotify, w->directory, w->queue, &refusal) != 0) {
        // A field that is no folder to watch is said by inotify, as always.
        if (tell_refusal && refusal) queue_tell(w->queue, refusal);
        return false;
    }
    queue_set_up(w->queue);
    // Walked like a loss, once the watcher has taken what is queued.
    if (catch_up >= 0) w->fanotify.dirty_since = catch_up;
    end->error = fanotify_follow(&w->fanotify);
    end->set_up = true;
    end->owed = w->fanotify.dirty_since;
    return true;
}

bool run_inotify(watch_reader *w, bool may_switch, int64_t catch_up, run_end *end) {
    bool ran = inotify_run(&w->inotify, w->directory, w->queue, may_switch, catch_up, &end->error);
    end->set_up = w->inotify.followed;
    end->owed = w->inotify.catch_up_since;
    return ran;
}

// One watch of the field, by the reader chosen, until it ends.
run_end run(watch_reader *w, backend choice, int64_t catch_up) {
    run_end end = {0, false, -1};
    switch (choice) {
    case INOTIFY:
        run_inotify(w, false, catch_up, &end);
        break;
    case FANOTIFY:
        if (!run_fanotify(w, true, catch_up, &end)) run_inotify(w, false, catch_up, &end);
        break;
    case AUTOMATIC:
        // fanotify at once where it clearly wins: the top of a filesystem,
        // and, with the privilege it needs, a tree that may outgrow inotify's
        // watches, which a walk with inotify would first exhaust in vain.
        if ((mount_is_top(w->directory) || (privileged() && may_outgrow_watches(w->directory))) &&
            run_fanotify(w, false, catch_up, &end)) {
            break;
        }
        if (run_inotify(w, privileged(), catch_up, &end)) break;
        // The watch limit was reached: fanotify watches the whole tree, or
        // inotify watches what it can, each folder beyond named.
        if (!run_fanotify(w, true, catch_up, &end)) run_inotify(w, false, catch_up, &end);
        break;
    }
    return end;
}

struct folder {
    dev_t device;
    ino_t inode;
};

// The folder the field names now; false when it names none.
bool named_folder(const char *field, folder *out) {
    struct stat st;
    if (stat(field, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    *out = folder{st.st_dev, st.st_ino};
    return true;
}

void say(record_queue *queue, record_kind kind) {
    watch_record record = {kind, nullptr, nullptr};
    queue_push(queue, &record);
}

// What ends a watch when the field stops naming its folder: the folder gone
// from the path, or the watcher finding so first.
bool field_left(int error) { return error == ENOENT || error == ENOTDIR || error == ECANCELED; }

// The field's life after start. A watch that ends because the field no
// longer names its folder is followed by another: of the same folder when
// it is named again (renamed away and back), with every change made
// meanwhile found by a walk since the watcher was last drained; of another
// folder that took the name, with every file in it reported. While the
// field names no folder, the thread waits for one. Any other end ends the
// watcher, as does a field that cannot be watched at start.
void *reader_thread(void *context) {
    watch_reader *w = static_cast<watch_reader *>(context);
    backend choice = asked(w->queue);
    folder watched = {0, 0};
    named_folder(w->directory, &watched);
    queue_watching(w->queue, watched.device, watched.inode);
    bool watched_once = false;
    int64_t catch_up = -1;
    for (;;) {
        run_end end = run(w, choice, catch_up);
        folder now = {0, 0};
        bool named = named_folder(w->directory, &now);
        bool same = named && now.device == watched.device && now.inode == watched.inode;
        // At start, or a folder the field still names that cannot be
        // watched (any more): the watcher ends, saying why.
        if ((!end.set_up && !watched_once) || (same && !(end.set_up && field_left(end.error)))) {
            queue_end(w->queue, end.error);
            return nullptr;
        }
        watched_once = true;
        // What is queued names paths the field no longer leads to; what
        // changed after the watcher last had nothing waiting is looked for
        // again.
        int64_t drained = queue_drop_watch(w->queue);
        catch_up = end.owed >= 0 && end.owed < drained ? end.owed : drained;
        bool waited = !named;
        if (waited) {
            say(w->queue, RECORD_FIELD_GONE);
            if (int error = guard_wait(w->directory, &now.device, &now.inode)) {
                queue_end(w->queue, error);
                return nullptr;
            }
        }
        if (now.device != watched.device || now.inode != watched.inode) {
            say(w->queue, RECORD_FIELD_REPLACED);
            catch_up = 0; // every file of a folder new to the watch
            watched = now;
        } else if (waited) {
            say(w->queue, RECORD_FIELD_BACK);
        }
        queue_watching(w->queue, watched.device, watched.inode);
    }
}

} // namespace

bool watch_reader_start(watch_reader *w, const char *directory, record_queue *queue) {
    w->directory = directory;
    w->queue = queue;
    w->started = pthread_create(&w->thread, nullptr, reader_thread, w) == 0;
    return w->started;
}

void watch_reader_join(watch_reader *w) {
    if (w->started) pthread_join(w->thread, nullptr);
}
