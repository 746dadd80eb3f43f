// Starting the detection executable: the path is one argument, byte for byte;
// waiting for it, within its time limit.
#include "process_start.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "own_detectors.h"

// glibc 2.36 declares it without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

extern char **environ;

namespace {

// How long a detection past its time has to end on SIGTERM before its group
// is killed.
const long long TERM_GRACE_MS = 1000;

bool start(const char *executable, const char *path, pid_t *pid) {
    // Started directly, never through a shell, so no file name can become a
    // command.
    char *argv[] = {const_cast<char *>(executable), const_cast<char *>(path), nullptr};
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions); // only clears it
    // The monitor ignores SIGPIPE for itself; the detector gets the default.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A process group of its own, so that a detection past its time is
    // ended with everything it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    // Nothing but the standard streams: a descriptor the monitor was handed
    // by whoever started it is not the detector's.
    int error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (error == 0) error = posix_spawn(pid, executable, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0;
}

timespec after_ms(long long ms) {
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += static_cast<time_t>(ms / 1000);
    at.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (at.tv_nsec >= 1000000000) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000;
    }
    return at;
}

// Nanoseconds from now to deadline; 0 once it has passed.
long long left_ns(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000 +
                     (deadline.tv_nsec - now.tv_nsec);
    return left > 0 ? left : 0;
}

// Whether the detector ended by deadline; it is left to be reaped. With a
// pidfd the wait sleeps until one or the other; a kernel without pidfds
// (before Linux 5.3) is asked at growing steps, up to a tenth of a second.
bool ended_by(pid_t pid, int pidfd, const timespec &deadline) {
    long long step = 1000000;
    for (;;) {
        long long left = left_ns(deadline);
        if (pidfd >= 0) {
            pollfd ended = {pidfd, POLLIN, 0};
            timespec wait = {static_cast<time_t>(left / 1000000000),
                             static_cast<long>(left % 1000000000)};
            int ready = ppoll(&ended, 1, &wait, nullptr);
            if (ready > 0) return true;
            if (ready == 0 && left == 0) return false;
            if (ready == 0) continue;
            // Interrupted: looked at as without a pidfd, once.
        }
        siginfo_t info;
        info.si_pid = 0;
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (info.si_pid == pid) return true;
        if (left == 0) return false;
        timespec pause_for = {0, static_cast<long>(step < left ? step : left)};
        nanosleep(&pause_for, nullptr);
        if (step < 100000000) step *= 2;
    }
}

// Waits for the detector, no longer than timeout_seconds (0: no limit).
// Past the limit its group is asked to end (SIGTERM), given a moment, then
// killed: SIGKILL reaches whatever of it is left, the programs it started
// that ignore SIGTERM too. The leader is reaped last, so the group's number
// cannot go to another group meanwhile. False when it was ended so.
bool wait_for(pid_t pid, unsigned timeout_seconds, int *status) {
    bool in_time = true;
    if (timeout_seconds > 0) {
        int pidfd = pidfd_open(pid, 0);
        in_time = ended_by(pid, pidfd, after_ms(timeout_seconds * 1000LL));
        if (!in_time) {
            kill(-pid, SIGTERM);
            ended_by(pid, pidfd, after_ms(TERM_GRACE_MS));
            kill(-pid, SIGKILL);
        }
        if (pidfd >= 0) close(pidfd);
    }
    pid_t waited;
    do {
        waited = waitpid(pid, status, 0);
    } while (waited < 0 && errno == EINTR);
    return in_time && waited == pid;
}

} // namespace

bool spawn_and_wait(const char *executable, const char *path, unsigned timeout_seconds) {
    bool entered = own_detectors_wanted();
    if (entered) own_detector_starting();
    pid_t pid = 0;
    bool ran = start(executable, path, &pid);
    int slot = entered ? own_detector_started(ran ? pid : 0) : -1;
    if (!ran) return false;
    int status = 0;
    bool ended = wait_for(pid, timeout_seconds, &status);
    own_detector_reaped(slot);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
