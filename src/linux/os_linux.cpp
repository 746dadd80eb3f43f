// The operating-system layer on Linux: inotify, pthreads, posix_spawn.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "inotify_tree.h"
#include "monitor.h"
#include "os.h"

extern char **environ;

struct os_watch {
    int fd;
    bool started;
    const char *directory;
    // Events read and not handled yet: queue[head, tail).
    unsigned char *queue;
    size_t capacity;
    size_t head;
    size_t tail;
    size_t batch_end; // end of the batch the tree has in hand
    record_fn on_record;
    void *context;
    watch_tree tree;
    alignas(inotify_event) unsigned char fallback[INOTIFY_BUFFER_SIZE];
};

namespace {

int kernel_add_watch(void *context, const char *path, uint32_t mask) {
    int wd = inotify_add_watch(static_cast<os_watch *>(context)->fd, path, mask);
    return wd < 0 ? -errno : wd;
}

void kernel_remove_watch(void *context, int wd) {
    inotify_rm_watch(static_cast<os_watch *>(context)->fd, wd);
}

void *kernel_open_directory(void *, const char *path, bool is_root, int *error) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_root ? 0 : O_NOFOLLOW);
    int fd = open(path, flags);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    DIR *directory = fdopendir(fd);
    if (!directory) {
        *error = errno;
        close(fd);
    }
    return directory;
}

const char *kernel_next_entry(void *, void *handle, bool *is_directory) {
    DIR *directory = static_cast<DIR *>(handle);
    while (dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            *is_directory = fstatat(dirfd(directory), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISDIR(st.st_mode);
        } else {
            *is_directory = entry->d_type == DT_DIR;
        }
        return name;
    }
    return nullptr;
}

void kernel_close_directory(void *, void *directory) { closedir(static_cast<DIR *>(directory)); }

bool kernel_events_pending(void *context) {
    os_watch *watch = static_cast<os_watch *>(context);
    if (watch->tail > watch->batch_end) return true;
    int pending = 0;
    return ioctl(watch->fd, FIONREAD, &pending) != 0 || pending > 0;
}

void close_watch(os_watch *watch) {
    tree_release(&watch->tree);
    close(watch->fd);
    if (watch->queue != watch->fallback) free(watch->queue);
    free(watch);
}

// Moves what the kernel holds into the queue without blocking, so that the
// kernel's own queue does not overflow while a detection runs.
void drain(os_watch *watch) {
    int pending = 0;
    if (ioctl(watch->fd, FIONREAD, &pending) != 0 || pending <= 0) return;
    size_t room = watch->capacity - watch->tail;
    size_t want = static_cast<size_t>(pending) < room ? static_cast<size_t>(pending) : room;
    if (want == 0) return;
    ssize_t length;
    do {
        length = read(watch->fd, watch->queue + watch->tail, want);
    } while (length < 0 && errno == EINTR);
    // Too little room for the next event: it waits in the kernel.
    if (length > 0) watch->tail += static_cast<size_t>(length);
}

void handle_then_drain(void *context, const watch_record *record) {
    os_watch *watch = static_cast<os_watch *>(context);
    watch->on_record(watch->context, record);
    drain(watch);
}

void *watcher_thread(void *directory) {
    monitor_directory(static_cast<const char *>(directory));
    return nullptr;
}

} // namespace

os_watch *os_watch_open(const char *directory) {
    // Opened the way a reader would, to tell a path that cannot be opened from
    // one that opens but cannot be watched. O_NONBLOCK keeps a FIFO from
    // blocking here.
    int probe = open(directory, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) return nullptr;
    close(probe);
    os_watch *watch = static_cast<os_watch *>(malloc(sizeof(os_watch)));
    if (!watch) return nullptr;
    watch->fd = -1;
    watch->started = false;
    watch->directory = directory;
    watch->queue = static_cast<unsigned char *>(malloc(INOTIFY_QUEUE_SIZE));
    watch->capacity = INOTIFY_QUEUE_SIZE;
    if (!watch->queue) {
        watch->queue = watch->fallback;
        watch->capacity = sizeof watch->fallback;
    }
    watch->head = watch->tail = 0;
    return watch;
}

int os_watch_wait(os_watch *watch, record_fn on_record, void *context) {
    if (!watch->started) {
        watch->started = true;
        watch->fd = inotify_init1(IN_CLOEXEC);
        if (watch->fd < 0) {
            int error = errno;
            watch_record record = {RECORD_UNWATCHED, "",
                                   error == EMFILE ? "inotify instance limit reached, raise "
                                                     "fs.inotify.max_user_instances"
                                                   : "cannot create an inotify instance"};
            on_record(context, &record);
            if (watch->queue != watch->fallback) free(watch->queue);
            free(watch);
            return error;
        }
        watch->batch_end = 0;
        tree_ops ops = {kernel_add_watch,       kernel_remove_watch, kernel_open_directory,
                        kernel_next_entry,      kernel_close_directory, watch,
                        kernel_events_pending};
        int error = tree_start(&watch->tree, watch->directory, &ops, on_record, context);
        if (error == ENOSPC) {
            // The bare code would read "no space left on device".
            watch_record record = {RECORD_UNWATCHED, "",
                                   "inotify watch limit reached, raise fs.inotify.max_user_watches"};
            on_record(context, &record);
        }
        if (error) {
            close_watch(watch);
            return error;
        }
    }
    int error = 0;
    if (watch->head == watch->tail) {
        watch->head = watch->tail = 0;
        ssize_t length;
        do {
            length = read(watch->fd, watch->queue, watch->capacity);
        } while (length < 0 && errno == EINTR);
        error = length < 0 ? errno : length == 0 ? EIO : 0;
        if (length > 0) watch->tail = static_cast<size_t>(length);
    } else if (watch->head > watch->capacity / 2) {
        // Keeps room to drain into while a long backlog is handled.
        memmove(watch->queue, watch->queue + watch->head, watch->tail - watch->head);
        watch->tail -= watch->head;
        watch->head = 0;
    }
    if (!error) {
        // One batch: what was read before it started; what is drained while
        // it is handled comes with the next.
        size_t end = watch->tail;
        watch->batch_end = end;
        watch->on_record = on_record;
        watch->context = context;
        error = tree_handle_events(&watch->tree, watch->queue + watch->head, end - watch->head,
                                   handle_then_drain, watch);
        watch->head = end;
    }
    if (error) close_watch(watch);
    return error;
}

bool os_start_watcher(const char *directory) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, watcher_thread,
                               const_cast<char *>(directory));
    pthread_attr_destroy(&attributes);
    return error == 0;
}

bool os_own_executable(char *buffer, size_t capacity) {
    ssize_t length = readlink("/proc/self/exe", buffer, capacity);
    if (length <= 0 || static_cast<size_t>(length) >= capacity) return false;
    buffer[length] = '\0';
    return true;
}

bool os_run_detection(const char *executable, const char *path) {
    // Started directly, never through a shell, so no file name can become a
    // command; the path is the one argument, byte for byte.
    char *argv[] = {const_cast<char *>(executable), const_cast<char *>(path), nullptr};
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    // The monitor ignores SIGPIPE for itself; the detector gets the default.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int error = posix_spawn(&pid, executable, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return false;
    int status;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
}

void os_wait_forever() {
    for (;;) pause();
}
