// The table of detectors started, and the test of a change's maker against
// it.
#include "own_detectors.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

// One slot per detector running at once (one per watcher), and room for
// those reaped lately.
const int DETECTOR_SLOTS = 128;
// The filesystem of process descriptors since Linux 6.9: one inode per
// process, never given to another while the system runs.
const long PIDFS_MAGIC = 0x50494446;

struct detector_slot {
    std::atomic<pid_t> pid; // 0: free
    // Under table_lock:
    int pidfd;              // -1 once reaped, or when none could be had
    ino_t inode;            // its descriptor's inode where it names this process alone; else 0
    unsigned long ended_at; // when it was reaped, in reapings; 0 while it runs
};

detector_slot slots[DETECTOR_SLOTS];
// The longest a change waits for a detector being started to be entered.
// Starts take microseconds; one that takes longer has its detector's first
// changes reported, the safe side.
const long ENTRY_WAIT_NS = 1000000000;

// Entries, removals and the comparison of two processes: the comparison
// reads the slot's descriptor, which a removal closes.
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t entered = PTHREAD_COND_INITIALIZER;
// Detectors between their start and their entry in the table.
std::atomic<int> starting{0};
std::atomic<bool> wanted{false};
unsigned long reapings; // under table_lock
bool by_number;         // under table_lock

bool listed(pid_t pid) {
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() == pid) return true;
    }
    return false;
}

// With table_lock held: a free slot, else the one reaped longest ago; -1
// when every one runs.
int free_slot() {
    int oldest = -1;
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() == 0) return i;
        unsigned long ended = slots[i].ended_at;
        if (ended != 0 && (oldest < 0 || ended < slots[oldest].ended_at)) oldest = i;
    }
    return oldest;
}

// The inode of pidfd where it names its process alone; else 0.
ino_t inode_of(int pidfd) {
    struct stat st;
    struct statfs fs;
    if (by_number || fstat(pidfd, &st) != 0 || fstatfs(pidfd, &fs) != 0) return 0;
    return static_cast<long>(fs.f_type) == PIDFS_MAGIC ? st.st_ino : 0;
}

// The number that the process of pidfd has now, as /proc shows it; 0 when
// it has been reaped or cannot be told.
long process_number(int pidfd) {
    char name[48];
    snprintf(name, sizeof name, "/proc/self/fdinfo/%d", pidfd);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char *at = strstr(text, "\nPid:");
    long number = at ? strtol(at + 5, nullptr, 10) : 0;
    return number > 0 ? number : 0;
}

// With table_lock held: whether pidfd's process is slot's detector. By
// inode where the kernel gives each process one, reaped or not. Else by
// number: each number held now belongs to one process only; the one that
// made the change held it when the kernel handed its descriptor over (read
// first), and the detector, started before that and not reaped at the
// second look, held its number throughout.
bool is_detector(const detector_slot &slot, int pidfd) {
    if (slot.inode != 0) {
        struct stat st;
        return fstat(pidfd, &st) == 0 && st.st_ino == slot.inode;
    }
    long number = slot.pidfd >= 0 ? process_number(pidfd) : 0;
    return number > 0 && process_number(slot.pidfd) == number;
}

// With table_lock held: whether an entry of pid is pidfd's process.
bool entered_as(pid_t pid, int pidfd) {
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() == pid && is_detector(slots[i], pidfd)) return true;
    }
    return false;
}

// Whether pidfd's process is a child of this one: only those can be
// detectors, so no other process's change waits on the starts. The kernel
// answers from the process itself, not from a number another could take.
bool is_child(int pidfd) {
    siginfo_t info;
    info.si_pid = 0;
    return syscall(SYS_waitid, P_PIDFD, pidfd, &info, WEXITED | WNOHANG | WNOWAIT, nullptr) == 0;
}

} // namespace

void own_detectors_asked() { wanted.store(true); }

bool own_detectors_wanted() { return wanted.load(); }

void own_detector_starting() { starting.fetch_add(1); }

int own_detector_started(pid_t pid) {
    // Not reaped yet, so the number is still this detector's.
    int pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    pthread_mutex_lock(&table_lock);
    int slot = pid > 0 ? free_slot() : -1;
    if (slot >= 0) {
        slots[slot].pidfd = pidfd;
        slots[slot].inode = pidfd >= 0 ? inode_of(pidfd) : 0;
        slots[slot].ended_at = 0;
        slots[slot].pid.store(pid);
    } else if (pidfd >= 0) {
        close(pidfd);
    }
    starting.fetch_sub(1);
    pthread_cond_broadcast(&entered);
    pthread_mutex_unlock(&table_lock);
    return slot;
}

void own_detector_reaped(int slot) {
    if (slot < 0) return;
    pthread_mutex_lock(&table_lock);
    detector_slot &s = slots[slot];
    if (s.pidfd >= 0) close(s.pidfd);
    s.pidfd = -1;
    // Known by its inode, it stays known: its last changes may be read only
    // now, each with the kernel's descriptor taken while it was not reaped.
    s.ended_at = ++reapings;
    if (s.inode == 0) s.pid.store(0);
    pthread_mutex_unlock(&table_lock);
}

bool own_detector_made(pid_t pid, int pidfd) {
    if (pid <= 0 || pidfd < 0) return false;
    pthread_mutex_lock(&table_lock);
    // A detector being started may be this one: wait until it is entered,
    // not until no start is pending, which many watchers starting one
    // after another can put off for as long as they run.
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += ENTRY_WAIT_NS % 1000000000;
    until.tv_sec += ENTRY_WAIT_NS / 1000000000 + until.tv_nsec / 1000000000;
    until.tv_nsec %= 1000000000;
    while (starting.load() != 0 && !listed(pid) &&
           pthread_cond_timedwait(&entered, &table_lock, &until) == 0) {
    }
    bool own = entered_as(pid, pidfd);
    pthread_mutex_unlock(&table_lock);
    return own;
}

own_verdict own_detector_judge(pid_t pid, int pidfd) {
    if (pid <= 0 || pidfd < 0) return OWN_NOT;
    // Read before the table: the change was made before this call, so when
    // no start was pending here its maker, if a detector, had been entered.
    bool none_starting = starting.load() == 0;
    if (!listed(pid)) return none_starting || !is_child(pidfd) ? OWN_NOT : OWN_PENDING;
    pthread_mutex_lock(&table_lock);
    bool own = entered_as(pid, pidfd);
    pthread_mutex_unlock(&table_lock);
    return own ? OWN_DETECTOR : OWN_NOT;
}

void own_detectors_by_number(bool number) {
    pthread_mutex_lock(&table_lock);
    by_number = number;
    pthread_mutex_unlock(&table_lock);
}
