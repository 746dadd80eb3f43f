// Fault injection for the end-to-end tests, loaded with LD_PRELOAD. It acts
// only inside a program named "monitor" (the detection executables it starts
// run untouched) and only as the environment asks:
//   FAULT_ADD_WATCH_ENOSPC=TEXT  inotify_add_watch fails with ENOSPC for every
//                                path that contains TEXT
//   FAULT_INIT_EMFILE=N          inotify_init1 succeeds N times, then fails
//                                with EMFILE
//   FAULT_READ_EINTR=1           every read of an inotify or fanotify
//                                descriptor is first interrupted once
//                                (EINTR), then done
//   FAULT_WRITE_SPLIT=N          every write (write or writev) to standard
//                                output or error is first interrupted once
//                                (EINTR), then takes at most N bytes
//   FAULT_SPAWN_EAGAIN=N         the first N posix_spawn calls fail with EAGAIN
//   FAULT_THREAD_EAGAIN=N        the first N pthread_create calls for a
//                                detached thread (a watcher) fail with
//                                EAGAIN; joinable ones (readers, and the
//                                thread a sanitizer starts for itself) start
//   FAULT_PIDFD_ENOSYS=1         pidfd_open fails with ENOSYS, as before Linux 5.3
//   FAULT_MOVE_AFTER_WATCH=PATH  once a watch on exactly PATH is added, PATH is
//   FAULT_MOVE_TO=TARGET         renamed to TARGET (once): a directory that moves
//                                on between being watched and being listed
//                                (a watch added through /proc/self/fd/N is on
//                                the path that descriptor names)
//   FAULT_OVERFLOW_TRIGGER=FILE  while FILE exists, what a read of an inotify
//                                descriptor returns is dropped and it reads
//                                again; the first read after FILE is gone
//                                returns the kernel's IN_Q_OVERFLOW in place
//                                of its events: events lost for real. A
//                                fanotify descriptor sees FILE made, and
//                                drops from then on; FAN_Q_OVERFLOW takes
//                                the place of the events read once FILE is
//                                gone
//   FAULT_READ_PAUSE=FILE        while FILE exists, a read of an inotify
//                                descriptor waits before it reads (at most 5
//                                minutes): a reader kept busy while the
//                                kernel's queue fills
//   FAULT_LIST_PAUSE=FILE        while FILE exists, the first listing of a
//   FAULT_LIST_NAME=NAME         folder named NAME (getdents64) waits before it
//                                starts (at most 5 minutes): a walk held
//                                between two folders
//   FAULT_NO_PIDFD=1             fanotify_init refuses FAN_REPORT_PIDFD (EINVAL), as
//                                a kernel before 5.15 does
//   FAULT_MOUNT_TABLE_GONE=FILE  while FILE exists, opening
//                                /proc/self/mountinfo fails with EACCES
//   FAULT_NO_IGNORE_MARK=1       fanotify_mark refuses FAN_MARK_IGNORE (EINVAL), as
//                                a kernel before 6.0 does
//   FAULT_WATCH_LIMIT=N          reading fs.inotify.max_user_watches gives N
//   FAULT_LOG=FILE               one line per injected fault is appended there,
//                                so a test can tell the fault really happened
// Built without sanitizers; under a sanitizer its runtime is preloaded first,
// so the runtime's interceptors call into this library, which calls libc.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

const int TRACKED_FDS = 4096;
const int MAX_ENVIRONMENT = 4096;

bool active;
bool read_eintr;
size_t write_split;
const char *add_watch_text;
long init_budget = -1; // successes left before EMFILE; negative: no fault
long spawn_failures;
long thread_failures;
bool pidfd_enosys;
const char *log_path;
const char *move_after_watch;
const char *move_to;
bool moved;
const char *overflow_trigger;
const char *read_pause;
const char *list_pause;
const char *list_name;
bool list_paused;
bool no_pidfd;
const char *mount_table_gone;
bool no_ignore_mark;
const char *watch_limit;
// Descriptors returned by inotify_init/inotify_init1, and by fanotify_init.
bool inotify_fds[TRACKED_FDS];
bool fanotify_fds[TRACKED_FDS];
// Per thread: the next read of a tracked descriptor is the real one.
thread_local bool interrupted_once;
thread_local bool write_interrupted;

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void note(const char *text) {
    if (!log_path) return;
    typedef int (*open_fn)(const char *, int, ...);
    typedef ssize_t (*write_fn)(int, const void *, size_t);
    int fd = next<open_fn>("open")(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    next<write_fn>("write")(fd, text, strlen(text));
    ::close(fd);
}

void track(int fd, bool *table = inotify_fds) {
    if (fd < 0 || fd >= TRACKED_FDS) return;
    // A number taken again by the other kind is no longer this one.
    __atomic_store_n(&inotify_fds[fd], table == inotify_fds, __ATOMIC_RELAXED);
    __atomic_store_n(&fanotify_fds[fd], table == fanotify_fds, __ATOMIC_RELAXED);
}

bool is_fanotify(int fd) {
    return fd >= 0 && fd < TRACKED_FDS && __atomic_load_n(&fanotify_fds[fd], __ATOMIC_RELAXED);
}

bool tracked(int fd) {
    return is_fanotify(fd) ||
           (fd >= 0 && fd < TRACKED_FDS && __atomic_load_n(&inotify_fds[fd], __ATOMIC_RELAXED));
}

// One budget for every thread: N successes in all, then failures.
bool take_init_failure() {
    if (!active || init_budget < 0) return false;
    return __atomic_sub_fetch(&init_budget, 1, __ATOMIC_RELAXED) < 0;
}

__attribute__((constructor)) void fault_setup() {
    char own[4096];
    ssize_t length = readlink("/proc/self/exe", own, sizeof own - 1);
    if (length <= 0) return;
    own[length] = '\0';
    const char *base = strrchr(own, '/');
    active = strcmp(base ? base + 1 : own, "monitor") == 0;
    if (!active) return;
    add_watch_text = getenv("FAULT_ADD_WATCH_ENOSPC");
    if (const char *n = getenv("FAULT_INIT_EMFILE")) init_budget = atol(n);
    read_eintr = getenv("FAULT_READ_EINTR") != nullptr;
    if (const char *n = getenv("FAULT_WRITE_SPLIT")) write_split = strtoul(n, nullptr, 10);
    if (const char *n = getenv("FAULT_SPAWN_EAGAIN")) spawn_failures = atol(n);
    if (const char *n = getenv("FAULT_THREAD_EAGAIN")) thread_failures = atol(n);
    pidfd_enosys = getenv("FAULT_PIDFD_ENOSYS") != nullptr;
    log_path = getenv("FAULT_LOG");
    move_after_watch = getenv("FAULT_MOVE_AFTER_WATCH");
    move_to = getenv("FAULT_MOVE_TO");
    overflow_trigger = getenv("FAULT_OVERFLOW_TRIGGER");
    read_pause = getenv("FAULT_READ_PAUSE");
    list_pause = getenv("FAULT_LIST_PAUSE");
    list_name = getenv("FAULT_LIST_NAME");
    no_pidfd = getenv("FAULT_NO_PIDFD") != nullptr;
    mount_table_gone = getenv("FAULT_MOUNT_TABLE_GONE");
    no_ignore_mark = getenv("FAULT_NO_IGNORE_MARK") != nullptr;
    watch_limit = getenv("FAULT_WATCH_LIMIT");
}

// The path a descriptor names, into out; false when it cannot be read.
bool fd_path(int fd, char *out, size_t capacity) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, capacity - 1);
    if (n <= 0) return false;
    out[n] = '\0';
    return true;
}

// What a watch's path names: a descriptor's own path for /proc/self/fd/N.
const char *watched_path(const char *path, char *out, size_t capacity) {
    const char *prefix = "/proc/self/fd/";
    if (strncmp(path, prefix, strlen(prefix)) != 0) return path;
    return fd_path(atoi(path + strlen(prefix)), out, capacity) ? out : path;
}

// Closes the descriptors of the processes named in fanotify events that are
// dropped: the monitor never sees them to close.
void close_pidfds(const void *buffer, ssize_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
    size_t end = length > 0 ? static_cast<size_t>(length) : 0;
    for (size_t at = 0; end - at >= sizeof(fanotify_event_metadata);) {
        fanotify_event_metadata event;
        memcpy(&event, bytes + at, sizeof event);
        if (event.event_len < event.metadata_len || event.event_len > end - at) return;
        for (size_t info = at + event.metadata_len; info + sizeof(fanotify_event_info_header) <=
                                                     at + event.event_len;) {
            fanotify_event_info_header header;
            memcpy(&header, bytes + info, sizeof header);
            if (header.len < sizeof header) break;
            if (header.info_type == FAN_EVENT_INFO_TYPE_PIDFD &&
                header.len >= sizeof(fanotify_event_info_pidfd)) {
                fanotify_event_info_pidfd record;
                memcpy(&record, bytes + info, sizeof record);
                if (record.pidfd >= 0) ::close(record.pidfd);
            }
            info += header.len;
        }
        at += event.event_len;
    }
}

// Replaces what a read of fanotify returned with one FAN_Q_OVERFLOW.
ssize_t fanotify_overflowed(void *buffer) {
    fanotify_event_metadata event;
    memset(&event, 0, sizeof event);
    event.event_len = sizeof event;
    event.vers = FANOTIFY_METADATA_VERSION;
    event.metadata_len = sizeof event;
    event.mask = FAN_Q_OVERFLOW;
    event.fd = FAN_NOFD;
    memcpy(buffer, &event, sizeof event);
    note("read overflow\n");
    return sizeof event;
}

// Replaces what a read of length bytes returned with one IN_Q_OVERFLOW.
ssize_t overflowed(void *buffer, ssize_t length) {
    if (length < static_cast<ssize_t>(sizeof(inotify_event))) return length;
    inotify_event event;
    memset(&event, 0, sizeof event);
    event.wd = -1;
    event.mask = IN_Q_OVERFLOW;
    memcpy(buffer, &event, sizeof event);
    note("read overflow\n");
    return sizeof event;
}

// A fanotify descriptor is read without blocking, and FILE's own creation
// is one of its events: once a read finds FILE, what it read is dropped and
// the descriptor is waited on and read (and dropped) again until FILE is
// gone (its removal is an event too); then one overflow in place of the
// events of the last read.
ssize_t fanotify_window(int fd, void *buffer, size_t count, ssize_t length) {
    typedef int (*access_fn)(const char *, int);
    typedef ssize_t (*read_fn)(int, void *, size_t);
    int error = errno; // the read's, for a read that found nothing
    if (next<access_fn>("access")(overflow_trigger, F_OK) != 0) {
        errno = error;
        return length;
    }
    note("read dropped\n");
    close_pidfds(buffer, length);
    while (next<access_fn>("access")(overflow_trigger, F_OK) == 0) {
        pollfd ready = {fd, POLLIN, 0};
        poll(&ready, 1, 10);
        close_pidfds(buffer, next<read_fn>("read")(fd, buffer, count));
    }
    return fanotify_overflowed(buffer);
}

} // namespace

extern "C" {

int inotify_init1(int flags) {
    if (take_init_failure()) {
        note("inotify_init1 EMFILE\n");
        errno = EMFILE;
        return -1;
    }
    int fd = next<int (*)(int)>("inotify_init1")(flags);
    track(fd);
    return fd;
}

int inotify_init() {
    if (take_init_failure()) {
        note("inotify_init EMFILE\n");
        errno = EMFILE;
        return -1;
    }
    int fd = next<int (*)()>("inotify_init")();
    track(fd);
    return fd;
}

int fanotify_init(unsigned flags, unsigned event_flags) {
    if (active && no_pidfd && (flags & FAN_REPORT_PIDFD)) {
        note("fanotify_init EINVAL\n");
        errno = EINVAL;
        return -1;
    }
    int fd = next<int (*)(unsigned, unsigned)>("fanotify_init")(flags, event_flags);
    track(fd, fanotify_fds);
    return fd;
}

int fanotify_mark(int fd, unsigned flags, uint64_t mask, int dirfd, const char *path) {
    if (active && no_ignore_mark && (flags & 0x400)) { // FAN_MARK_IGNORE
        note("fanotify_mark EINVAL\n");
        errno = EINVAL;
        return -1;
    }
    typedef int (*mark_fn)(int, unsigned, uint64_t, int, const char *);
    return next<mark_fn>("fanotify_mark")(fd, flags, mask, dirfd, path);
}

int inotify_add_watch(int fd, const char *path, uint32_t mask) {
    char named[4096];
    const char *real = active ? watched_path(path, named, sizeof named) : path;
    if (active && add_watch_text && strstr(real, add_watch_text)) {
        note("inotify_add_watch ENOSPC\n");
        errno = ENOSPC;
        return -1;
    }
    int wd = next<int (*)(int, const char *, uint32_t)>("inotify_add_watch")(fd, path, mask);
    if (active && wd >= 0 && move_after_watch && move_to && strcmp(real, move_after_watch) == 0 &&
        !__atomic_exchange_n(&moved, true, __ATOMIC_RELAXED)) {
        int error = errno;
        if (rename(real, move_to) == 0) note("inotify_add_watch moved\n");
        errno = error;
    }
    return wd;
}

ssize_t getdents64(int fd, void *buffer, size_t length) {
    char path[4096];
    typedef int (*access_fn)(const char *, int);
    if (active && list_pause && list_name && fd_path(fd, path, sizeof path)) {
        const char *last = strrchr(path, '/');
        if (last && strcmp(last + 1, list_name) == 0 &&
            !__atomic_exchange_n(&list_paused, true, __ATOMIC_RELAXED)) {
            note("list paused\n");
            const timespec tick = {0, 1000000};
            for (int i = 0; i < 300000 && next<access_fn>("access")(list_pause, F_OK) == 0; i++) {
                nanosleep(&tick, nullptr);
            }
        }
    }
    return next<ssize_t (*)(int, void *, size_t)>("getdents64")(fd, buffer, length);
}

ssize_t read(int fd, void *buffer, size_t count) {
    if (active && read_eintr && tracked(fd)) {
        interrupted_once = !interrupted_once;
        if (interrupted_once) {
            note("read EINTR\n");
            errno = EINTR;
            return -1;
        }
    }
    typedef int (*access_fn)(const char *, int);
    if (active && read_pause && tracked(fd) && !is_fanotify(fd) &&
        next<access_fn>("access")(read_pause, F_OK) == 0) {
        note("read paused\n");
        const timespec tick = {0, 1000000};
        for (int i = 0; i < 300000 && next<access_fn>("access")(read_pause, F_OK) == 0; i++) {
            nanosleep(&tick, nullptr);
        }
    }
    typedef ssize_t (*read_fn)(int, void *, size_t);
    ssize_t length = next<read_fn>("read")(fd, buffer, count);
    if (!active || !overflow_trigger || !tracked(fd)) return length;
    if (is_fanotify(fd)) return fanotify_window(fd, buffer, count, length);
    bool dropped = false;
    while (length > 0 && next<access_fn>("access")(overflow_trigger, F_OK) == 0) {
        if (!dropped) note("read dropped\n");
        dropped = true;
        length = next<read_fn>("read")(fd, buffer, count);
    }
    return dropped ? overflowed(buffer, length) : length;
}

// Every other write to the console fails with EINTR, the first included.
static bool interrupt_write() {
    write_interrupted = !write_interrupted;
    if (!write_interrupted) return false;
    note("write EINTR\n");
    errno = EINTR;
    return true;
}

ssize_t write(int fd, const void *buffer, size_t count) {
    if (active && write_split > 0 && (fd == 1 || fd == 2)) {
        if (interrupt_write()) return -1;
        if (count > write_split) count = write_split;
    }
    return next<ssize_t (*)(int, const void *, size_t)>("write")(fd, buffer, count);
}

ssize_t writev(int fd, const struct iovec *parts, int count) {
    typedef ssize_t (*writev_fn)(int, const struct iovec *, int);
    if (active && write_split > 0 && (fd == 1 || fd == 2)) {
        if (interrupt_write()) return -1;
        // The first write_split bytes, from as many parts as they span.
        struct iovec cut[16];
        int used = 0;
        size_t left = write_split;
        for (int i = 0; i < count && used < 16 && left > 0; i++) {
            cut[used] = parts[i];
            if (cut[used].iov_len > left) cut[used].iov_len = left;
            left -= cut[used++].iov_len;
        }
        return next<writev_fn>("writev")(fd, cut, used);
    }
    return next<writev_fn>("writev")(fd, parts, count);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*start)(void *),
                   void *argument) {
    int detached = PTHREAD_CREATE_JOINABLE;
    if (attributes) pthread_attr_getdetachstate(attributes, &detached);
    if (active && detached == PTHREAD_CREATE_DETACHED &&
        __atomic_load_n(&thread_failures, __ATOMIC_RELAXED) > 0 &&
        __atomic_sub_fetch(&thread_failures, 1, __ATOMIC_RELAXED) >= 0) {
        note("pthread_create EAGAIN\n");
        return EAGAIN;
    }
    typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return next<create_fn>("pthread_create")(thread, attributes, start, argument);
}

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    typedef int (*access_fn)(const char *, int);
    if (active && mount_table_gone && strcmp(path, "/proc/self/mountinfo") == 0 &&
        next<access_fn>("access")(mount_table_gone, F_OK) == 0) {
        note("open mountinfo EACCES\n");
        errno = EACCES;
        return -1;
    }
    if (active && watch_limit && strcmp(path, "/proc/sys/fs/inotify/max_user_watches") == 0) {
        int fd = memfd_create("max_user_watches", MFD_CLOEXEC);
        if (fd >= 0) {
            next<ssize_t (*)(int, const void *, size_t)>("write")(fd, watch_limit, strlen(watch_limit));
            lseek(fd, 0, SEEK_SET);
        }
        note("open max_user_watches\n");
        return fd;
    }
    typedef int (*open_fn)(const char *, int, ...);
    return next<open_fn>("open")(path, flags, mode);
}

int close(int fd) {
    if (fd >= 0 && fd < TRACKED_FDS) __atomic_store_n(&inotify_fds[fd], false, __ATOMIC_RELAXED);
    return next<int (*)(int)>("close")(fd);
}

int pidfd_open(pid_t pid, unsigned int flags) {
    if (active && pidfd_enosys) {
        note("pidfd_open ENOSYS\n");
        errno = ENOSYS;
        return -1;
    }
    return next<int (*)(pid_t, unsigned int)>("pidfd_open")(pid, flags);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
    typedef int (*spawn_fn)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                            const posix_spawnattr_t *, char *const[], char *const[]);
    spawn_fn real = next<spawn_fn>("posix_spawn");
    if (!active) return real(pid, path, actions, attributes, argv, envp);
    if (__atomic_load_n(&spawn_failures, __ATOMIC_RELAXED) > 0 &&
        __atomic_sub_fetch(&spawn_failures, 1, __ATOMIC_RELAXED) >= 0) {
        note("posix_spawn EAGAIN\n");
        return EAGAIN;
    }
    // The child runs without this library (and without a preloaded sanitizer
    // runtime it was not built for).
    char *environment[MAX_ENVIRONMENT];
    int used = 0;
    for (int i = 0; envp && envp[i] && used < MAX_ENVIRONMENT - 1; i++) {
        if (strncmp(envp[i], "LD_PRELOAD=", 11) != 0) environment[used++] = envp[i];
    }
    environment[used] = nullptr;
    return real(pid, path, actions, attributes, argv, environment);
}

} // extern "C"
