// Readiness for a service manager: counts the watchers whose set-up is still
// running and, when none is left, sends the datagram "READY=1" to the socket
// named by NOTIFY_SOCKET (a path, or '@' and a name in the abstract
// namespace). Without NOTIFY_SOCKET nothing is sent and nothing is printed.
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

extern char **environ;

#include "console.h"
#include "os.h"
#include "service_notify.h"

namespace {

// Set-ups not finished, plus one that the entry holds until every watcher is
// started: whoever takes the count to zero sends, so READY=1 goes once, and
// only after the last set-up.
std::atomic<long> pending{1};

// Whether this watcher's set-up has been counted.
thread_local bool setup_counted = false;

const char READY[] = "READY=1";

// NOTIFY_SOCKET as the monitor was started with it; the environment no
// longer holds it.
const char *socket_name;

// The service manager's variables: the socket for readiness, the sockets
// handed over (LISTEN_FDS, ...) and the watchdog. They are the service's.
bool service_variable(const char *entry) {
    return strncmp(entry, "NOTIFY_SOCKET=", 14) == 0 || strncmp(entry, "LISTEN_", 7) == 0 ||
           strncmp(entry, "WATCHDOG_", 9) == 0;
}

// 0, or the errno of the failed send.
int send_ready(const char *name) {
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (name[0] != '/' && name[0] != '@') return EAFNOSUPPORT;
    if (length >= sizeof address.sun_path) return ENAMETOOLONG;
    memcpy(address.sun_path, name, length);
    // An abstract name starts with a NUL byte, and its length says where it ends.
    if (name[0] == '@') address.sun_path[0] = '\0';
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    ssize_t sent;
    do {
        sent = sendto(fd, READY, sizeof READY - 1, MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr *>(&address), size);
    } while (sent < 0 && errno == EINTR);
    int error = sent < 0 ? errno : 0;
    close(fd);
    return error;
}

void one_less_pending() {
    if (pending.fetch_sub(1) != 1) return;
    const char *name = socket_name;
    if (!name || !name[0]) return;
    int error = send_ready(name);
    if (error) {
        // Without READY=1 the service manager goes on waiting: say why.
        console_buffer line;
        console_line(&line, OUTPUT_STANDARD, "[-] Failed to send READY=1 to NOTIFY_SOCKET %s with error code %d",
                     name, error);
    }
}

} // namespace

void notify_init() {
    // The string stays where the environment had it; only the pointer to it
    // leaves the environment.
    socket_name = getenv("NOTIFY_SOCKET");
    // A detector that saw them could tell the service manager it is the
    // service, or take the sockets or the watchdog meant for it.
    char **kept = environ;
    for (char **entry = environ; *entry; entry++) {
        if (!service_variable(*entry)) *kept++ = *entry;
    }
    *kept = nullptr;
}

void notify_watcher_started() { pending.fetch_add(1); }

void notify_setup_finished() {
    if (setup_counted) return;
    setup_counted = true;
    one_less_pending();
}

void os_watchers_started() { one_less_pending(); }
