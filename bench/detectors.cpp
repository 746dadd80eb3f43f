// Stand-in detection executables for the benchmark, one per build flag:
//   (none)          returns at once: the trivial detector
//   -DSLEEP_US=N    takes N microseconds, as a slower scan would
//   -DCONTENT_LOG   reads the file it is given and appends "<path>\t<its first
//                   bytes>\n" to scanned.log beside itself, as a scan that
//                   finds a file's content where it was told to look
//   -DSTAMP         appends "<CLOCK_MONOTONIC ns> <pid> <path>\n" to the file (or
//                   FIFO) named by BENCH_STAMPS first thing, so the bench sees
//                   when the detector ran (the monitor hands its detectors no
//                   descriptor but the standard three)
//   -DHOLD_GATE     Windows: a file whose name starts with "hold" is held:
//                   the detector makes "holding" beside itself, then returns
//                   only once "gate" beside itself is gone (at most 5 minutes)
// Built static, so a launch costs no dynamic loading.
#include <time.h>
#ifdef STAMP
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#endif
#ifdef CONTENT_LOG
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void log_content(const char *path) {
    char content[64] = "";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, content, sizeof content - 1) : -1;
    if (fd >= 0) close(fd);
    content[n > 0 ? n : 0] = '\0';
    char log[4096];
    ssize_t own = readlink("/proc/self/exe", log, sizeof log - 16);
    if (own <= 0) return;
    log[own] = '\0';
    strcpy(strrchr(log, '/') + 1, "scanned.log");
    char line[8192];
    int length = snprintf(line, sizeof line, "%s\t%s\n", path, content);
    int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0 || length <= 0 || static_cast<size_t>(length) >= sizeof line) return;
    if (write(out, line, static_cast<size_t>(length)) < 0) {
    }
    close(out);
}
#endif
#ifdef HOLD_GATE
#include <windows.h>

#include <stdio.h>
#include <string.h>

static void hold_if_asked(const char *path) {
    const char *name = strrchr(path, '\\');
    if (strncmp(name ? name + 1 : path, "hold", 4) != 0) return;
    char own[MAX_PATH], holding[MAX_PATH + 16], gate[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, own, MAX_PATH);
    *strrchr(own, '\\') = '\0';
    snprintf(holding, sizeof holding, "%s\\holding", own);
    snprintf(gate, sizeof gate, "%s\\gate", own);
    CloseHandle(CreateFileA(holding, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int i = 0; i < 60000 && GetFileAttributesA(gate) != INVALID_FILE_ATTRIBUTES; i++) {
        Sleep(5);
    }
}
#endif

int main(int argc, char **argv) {
#ifdef STAMP
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[8192];
    int length = snprintf(text, sizeof text, "%lld %ld %s\n",
                          static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                          static_cast<long>(getpid()), argc > 1 ? argv[1] : "");
    const char *stamps = getenv("BENCH_STAMPS");
    int fd = stamps ? open(stamps, O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
    if (fd < 0) return 1;
    if (length > 0 && static_cast<size_t>(length) < sizeof text) {
        if (write(fd, text, static_cast<size_t>(length)) < 0) return 1;
    }
    close(fd);
#elif defined(HOLD_GATE)
    if (argc > 1) hold_if_asked(argv[1]);
#elif defined(CONTENT_LOG)
    if (argc > 1) log_content(argv[1]);
#else
    (void)argc;
    (void)argv;
#endif
#ifdef SLEEP_US
    timespec pause_for = {SLEEP_US / 1000000, (SLEEP_US % 1000000) * 1000L};
    nanosleep(&pause_for, nullptr);
#endif
    return 0;
}
