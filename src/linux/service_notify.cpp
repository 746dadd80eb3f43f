// The fields' states, for the service manager and for the entry. It counts
// the watchers still in their first set-up, watching, waiting for their
// folder to come back, and ended. Once every field's first set-up has
// finished, it sends "READY=1" (when a watcher is left) with a STATUS= line
// to the socket named by NOTIFY_SOCKET (a path, or '@' and a name in the
// abstract namespace), then a STATUS= line whenever a field's state changes;
// and it lets the entry wait until no watcher is left. Without NOTIFY_SOCKET
// nothing is sent and nothing is printed.
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

extern char **environ;

#include "console.h"
#include "os.h"
#include "service_notify.h"

namespace {

// Field states change a few times in a run: one lock for all of it.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t none_left = PTHREAD_COND_INITIALIZER;
long counts[FIELD_ENDED + 1];
bool all_started; // the entry has started every watcher
bool ready_told;     // every first set-up has finished: readiness was told
char last_status[160];

// This watcher's state; its start was counted by the entry.
thread_local field_state own = FIELD_SETTING_UP;

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
int send_datagram(const char *name, const char *text, size_t text_length) {
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
        sent = sendto(fd, text, text_length, MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr *>(&address), size);
    } while (sent < 0 && errno == EINTR);
    int error = sent < 0 ? errno : 0;
    close(fd);
    return error;
}

long alive() { return counts[FIELD_SETTING_UP] + counts[FIELD_WATCHED] + counts[FIELD_WAITING]; }

// Called with the lock held, after a change of the counts.
void tell() {
    if (!all_started) return;
    if (alive() == 0) pthread_cond_broadcast(&none_left);
    if (counts[FIELD_SETTING_UP] > 0 || !socket_name || !socket_name[0]) return;
    char message[sizeof last_status + 16];
    int length = snprintf(message, sizeof message, "%sSTATUS=%ld of %ld directories watched, "
                          "%ld waiting to come back, %ld failed",
                          !ready_told && alive() > 0 ? "READY=1\n" : "", counts[FIELD_WATCHED],
                          alive() + counts[FIELD_ENDED], counts[FIELD_WAITING],
                          counts[FIELD_ENDED]);
    const char *status = strstr(message, "STATUS=");
    bool first = !ready_told;
    ready_told = true;
    if (!first && strcmp(status, last_status) == 0) return;
    snprintf(last_status, sizeof last_status, "%s", status);
    int error = send_datagram(socket_name, message, static_cast<size_t>(length));
    if (error && first && alive() > 0) {
        // Without READY=1 the service manager goes on waiting: say why.
        console_buffer line;
        console_line(&line, OUTPUT_STANDARD,
                     "[-] Failed to send READY=1 to NOTIFY_SOCKET %s with error code %d",
                     socket_name, error);
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

void notify_watcher_started() {
    pthread_mutex_lock(&lock);
    counts[FIELD_SETTING_UP]++;
    pthread_mutex_unlock(&lock);
}

void notify_field(field_state state) {
    pthread_mutex_lock(&lock);
    // A watcher ended leaves its state for good.
    if (own != state && own != FIELD_ENDED) {
        counts[own]--;
        counts[state]++;
        own = state;
        tell();
    }
    pthread_mutex_unlock(&lock);
}

void notify_all_started() {
    pthread_mutex_lock(&lock);
    all_started = true;
    tell();
    pthread_mutex_unlock(&lock);
}

void notify_wait_until_none_left() {
    pthread_mutex_lock(&lock);
    while (!all_started || alive() > 0) pthread_cond_wait(&none_left, &lock);
    pthread_mutex_unlock(&lock);
}
