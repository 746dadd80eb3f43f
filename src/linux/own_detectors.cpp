// The table of detectors started and not reaped, and the test of a change's
// maker against it.
#include "own_detectors.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

// One slot per detector running at once: one per watcher.
const int DETECTOR_SLOTS = 128;

struct detector_slot {
    std::atomic<pid_t> pid; // 0: free
    int pidfd;              // under table_lock; -1 when none could be had
};

detector_slot slots[DETECTOR_SLOTS];
// Entries, removals and the comparison of two processes: the comparison
// reads the slot's descriptor, which a removal closes.
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t entered = PTHREAD_COND_INITIALIZER;
// Detectors between their start and their entry in the table.
std::atomic<int> starting{0};

int listed(pid_t pid) {
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() == pid) return i;
    }
    return -1;
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

// Whether two descriptors name one process. Each number held now belongs
// to one process only: the one that made the change held it when the
// kernel handed its descriptor over (read first), and the detector, started
// before that and not reaped at the second look, held its number throughout.
bool same_process(int change_pidfd, int detector_pidfd) {
    long number = process_number(change_pidfd);
    return number > 0 && process_number(detector_pidfd) == number;
}

// With table_lock held: whether pid's entry, if any, is pidfd's process.
bool entered_as(pid_t pid, int pidfd) {
    int slot = listed(pid);
    return slot >= 0 && slots[slot].pidfd >= 0 && same_process(pidfd, slots[slot].pidfd);
}

} // namespace

void own_detector_starting() { starting.fetch_add(1); }

int own_detector_started(pid_t pid) {
    // Not reaped yet, so the number is still this detector's.
    int pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    pthread_mutex_lock(&table_lock);
    int slot = pid > 0 ? listed(0) : -1;
    if (slot >= 0) {
        slots[slot].pidfd = pidfd;
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
    if (slots[slot].pidfd >= 0) close(slots[slot].pidfd);
    slots[slot].pidfd = -1;
    slots[slot].pid.store(0);
    pthread_mutex_unlock(&table_lock);
}

bool own_detector_made(pid_t pid, int pidfd) {
    if (pid <= 0 || pidfd < 0) return false;
    pthread_mutex_lock(&table_lock);
    // A detector being started may be this one: wait until it is entered.
    while (starting.load() != 0) pthread_cond_wait(&entered, &table_lock);
    bool own = entered_as(pid, pidfd);
    pthread_mutex_unlock(&table_lock);
    return own;
}

own_verdict own_detector_judge(pid_t pid, int pidfd) {
    if (pid <= 0 || pidfd < 0) return OWN_NOT;
    // Read before the table: the change was made before this call, so when
    // no start was pending here its maker, if a detector, had been entered.
    bool none_starting = starting.load() == 0;
    if (listed(pid) < 0) return none_starting ? OWN_NOT : OWN_PENDING;
    pthread_mutex_lock(&table_lock);
    bool own = entered_as(pid, pidfd);
    pthread_mutex_unlock(&table_lock);
    return own ? OWN_DETECTOR : OWN_NOT;
}
