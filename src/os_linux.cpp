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
    watch_tree tree;
    alignas(inotify_event) unsigned char events[INOTIFY_BUFFER_SIZE];
};

namespace {

int kernel_add_watch(void *context, const char *path, uint32_t mask) {
    int wd = inotify_add_watch(*static_cast<int *>(context), path, mask);
    return wd < 0 ? -errno : wd;
}

void kernel_remove_watch(void *context, int wd) {
    inotify_rm_watch(*static_cast<int *>(context), wd);
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

void close_watch(os_watch *watch) {
    tree_release(&watch->tree);
    close(watch->fd);
    free(watch);
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
            free(watch);
            return error;
        }
        tree_ops ops = {kernel_add_watch,  kernel_remove_watch,    kernel_open_directory,
                        kernel_next_entry, kernel_close_directory, &watch->fd};
        int error = tree_start(&watch->tree, watch->directory, &ops, on_record, context);
        if (error) {
            close_watch(watch);
            return error;
        }
    }
    ssize_t length;
    do {
        length = read(watch->fd, watch->events, sizeof watch->events);
    } while (length < 0 && errno == EINTR);
    int error = length < 0 ? errno : length == 0 ? EIO : 0;
    if (!error) {
        error = tree_handle_events(&watch->tree, watch->events, static_cast<size_t>(length),
                                   on_record, context);
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

void os_init() {
    // A closed reader of standard output must not end the monitor; the
    // detection launches go on.
    signal(SIGPIPE, SIG_IGN);
}

void os_wait_forever() {
    for (;;) pause();
}
