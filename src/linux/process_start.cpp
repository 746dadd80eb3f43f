// Starting the detection executable: the path is one argument, byte for byte.
#include "process_start.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "own_detectors.h"

extern char **environ;

namespace {

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
    own_detector_starting();
    pid_t pid = 0;
    bool ran = start(executable, path, &pid);
    int slot = own_detector_started(ran ? pid : 0);
    if (!ran) return false;
    int status;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    own_detector_reaped(slot);
    return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
