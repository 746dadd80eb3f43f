// Recording detection executable for the end-to-end tests. Appends one
// record per run to the file named by RECORDER_LOG:
//   "<argument count>\0<current directory>\0<argument 1>\0..."
// in a single write, so records of concurrent runs never mix (on Windows
// under a lock on the log, see below).
// RECORDER_STATUS sets the exit status; RECORDER_SIGNAL makes it kill itself
// with that signal; RECORDER_DELAY_MS makes it take that long; RECORDER_GATE
// names a FIFO it opens before ending, so it waits until the test holds the
// FIFO open for writing. RECORDER_HOLD (Windows) names a file: given a file
// whose name starts with "hold", it waits while that file exists (at most 5
// minutes), so a test holds one detection for as long as it needs.
// RECORDER_PROBE names a file: each run appends the descriptors it was
// started with ("fds 0 1 2") and its environment, one "env NAME=VALUE" line
// each. RECORDER_STUBBORN names a file: the run starts a child that ignores
// SIGTERM and writes its pid there, and ignores SIGTERM itself; both then
// wait for a signal that ends them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#define getcwd _getcwd
#else
#include <signal.h>
#include <time.h>
#include <unistd.h>
#endif

static char record[1 << 20];

#ifndef _WIN32
#include <dirent.h>

extern char **environ;

static void probe(const char *path) {
    char fds[4096] = "fds";
    size_t used = 3;
    DIR *listing = opendir("/proc/self/fd");
    while (dirent *entry = listing ? readdir(listing) : nullptr) {
        // The listing's own descriptor is not one the run was started with.
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(listing)) continue;
        used += static_cast<size_t>(snprintf(fds + used, sizeof fds - used, " %s", entry->d_name));
        if (used >= sizeof fds) used = sizeof fds - 1;
    }
    if (listing) closedir(listing);
    FILE *file = fopen(path, "ab");
    if (!file) return;
    fprintf(file, "%s\n", fds);
    for (char **e = environ; *e; e++) fprintf(file, "env %s\n", *e);
    fclose(file);
}

// Started when RECORDER_STUBBORN is set: neither it nor its child ends on
// SIGTERM.
static void stubborn(const char *path) {
    signal(SIGTERM, SIG_IGN);
    pid_t child = fork();
    if (child == 0) {
        for (;;) pause();
    }
    FILE *file = fopen(path, "wb");
    if (file) {
        fprintf(file, "%d", static_cast<int>(child));
        fclose(file);
    }
    for (;;) pause();
}
#endif

#ifdef _WIN32
// A run that cannot record says why, so a test's failure names the cause.
static int failed(int status, const char *what) {
    fprintf(stderr, "recorder: %s failed (error %lu)\n", what, GetLastError());
    return status;
}
#endif

int main(int argc, char **argv) {
#ifndef _WIN32
    if (const char *path = getenv("RECORDER_PROBE")) probe(path);
#endif
    size_t used = static_cast<size_t>(snprintf(record, sizeof record, "%d", argc - 1)) + 1;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) strcpy(cwd, "?");
    for (int i = 0; i <= argc; i++) {
        const char *part = i == 0 ? cwd : (i < argc ? argv[i] : nullptr);
        if (!part) break;
        size_t length = strlen(part) + 1;
        if (used + length > sizeof record) return 3;
        memcpy(record + used, part, length);
        used += length;
    }
    const char *log = getenv("RECORDER_LOG");
    if (log) {
#ifdef _WIN32
        // The C library's append mode seeks to the end and then writes: two
        // runs at once (two watchers) both write at the same offset, and one
        // record replaces the other. Runs take turns under a lock instead.
        HANDLE file = CreateFileA(log, GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return failed(4, "opening the log");
        OVERLAPPED whole = {};
        if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
            return failed(5, "locking the log");
        }
        DWORD written = 0;
        LARGE_INTEGER none = {};
        if (!SetFilePointerEx(file, none, nullptr, FILE_END) ||
            !WriteFile(file, record, static_cast<DWORD>(used), &written, nullptr) ||
            written != used) {
            return failed(5, "writing the log");
        }
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(file);
#else
        FILE *file = fopen(log, "ab");
        if (!file) return 4;
        setvbuf(file, nullptr, _IONBF, 0);
        if (fwrite(record, 1, used, file) != used) return 5;
        fclose(file);
#endif
    }
    const char *delay = getenv("RECORDER_DELAY_MS");
    if (delay) {
        long ms = atol(delay);
#ifdef _WIN32
        Sleep(static_cast<DWORD>(ms));
#else
        timespec pause_for = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&pause_for, nullptr);
#endif
    }
#ifdef _WIN32
    const char *hold = getenv("RECORDER_HOLD");
    const char *name = argc > 1 ? strrchr(argv[1], '\\') : nullptr;
    if (hold && name && strncmp(name + 1, "hold", 4) == 0) {
        for (int i = 0; i < 30000 && GetFileAttributesA(hold) != INVALID_FILE_ATTRIBUTES; i++) {
            Sleep(10);
        }
    }
#else
    if (const char *path = getenv("RECORDER_STUBBORN")) stubborn(path);
    const char *gate = getenv("RECORDER_GATE");
    if (gate) {
        FILE *fifo = fopen(gate, "rb");
        if (fifo) fclose(fifo);
    }
    const char *sig = getenv("RECORDER_SIGNAL");
    if (sig) kill(getpid(), atoi(sig));
#endif
    const char *status = getenv("RECORDER_STATUS");
    return status ? atoi(status) : 0;
}
