// Starting the detection executable: the path is one argument, byte for byte.
// The table of detectors started lives here too.
#include "process_start.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>

extern char **environ;

namespace {

// One slot per detector running at once (one per watcher), and room for
// those that ended lately. Beyond it, the oldest ended one is let go: a
// reader that had not read all its changes yet may then report them once.
const int DETECTOR_SLOTS = 128;

struct detector_slot {
    std::atomic<pid_t> pid;
    std::atomic<unsigned long> ended_at; // 0 while it runs
};

detector_slot slots[DETECTOR_SLOTS];
std::atomic<unsigned long> ended_count{1};
// Detectors between their start and their entry in the table.
pthread_mutex_t starting_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t started = PTHREAD_COND_INITIALIZER;
std::atomic<int> starting{0};

// A free slot, else the one ended longest ago; -1 when all run. Called with
// starting_lock held, so no two starts take the same slot.
int free_slot() {
    int oldest = -1;
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() == 0) return i;
        unsigned long ended = slots[i].ended_at.load();
        if (ended != 0 && (oldest < 0 || ended < slots[oldest].ended_at.load())) oldest = i;
    }
    return oldest;
}

int enter(pid_t pid) {
    pthread_mutex_lock(&starting_lock);
    int slot = pid > 0 ? free_slot() : -1;
    if (slot >= 0) {
        slots[slot].ended_at.store(0);
        slots[slot].pid.store(pid);
    }
    starting.fetch_sub(1);
    pthread_cond_broadcast(&started);
    pthread_mutex_unlock(&starting_lock);
    return slot;
}

void leave(int slot) {
    if (slot < 0) return;
    pthread_mutex_lock(&starting_lock);
    slots[slot].ended_at.store(ended_count.fetch_add(1) + 1);
    pthread_mutex_unlock(&starting_lock);
}

bool in_table(pid_t pid, unsigned long drained_at) {
    for (int i = 0; i < DETECTOR_SLOTS; i++) {
        if (slots[i].pid.load() != pid) continue;
        unsigned long ended = slots[i].ended_at.load();
        if (ended == 0 || ended > drained_at) return true;
    }
    return false;
}

bool start(const char *executable, const char *path, pid_t *pid) {
    // Started directly, never through a shell, so no file name can become a
    // command.
    char *argv[] = {const_cast<char *>(executable), const_cast<char *>(path), nullptr};
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    // The monitor ignores SIGPIPE for itself; the detector gets the default.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    int error = posix_spawn(pid, executable, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0;
}

} // namespace

bool spawn_and_wait(const char *executable, const char *path) {
    starting.fetch_add(1);
    pid_t pid = 0;
    bool ran = start(executable, path, &pid);
    int slot = enter(ran ? pid : 0);
    if (!ran) return false;
    int status;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    leave(slot);
    return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

unsigned long detectors_ended() { return ended_count.load(); }

bool started_detector(pid_t pid, unsigned long drained_at) {
    // Read before the table: a start entered between a look at the table
    // and a later read would leave its detector unknown. The change was made
    // before this call, so when no start was pending here, its maker (if a
    // detector) had been entered already.
    bool none_starting = starting.load() == 0;
    if (in_table(pid, drained_at)) return true;
    if (none_starting) return false;
    // A detector being started may be this one: wait until it is entered.
    pthread_mutex_lock(&starting_lock);
    while (starting.load() != 0) pthread_cond_wait(&started, &starting_lock);
    pthread_mutex_unlock(&starting_lock);
    return in_table(pid, drained_at);
}
