// Stand-in detection executables for the benchmark, one per build flag:
//   (none)          returns at once: the trivial detector
//   -DSLEEP_US=N    takes N microseconds, as a slower scan would
//   -DSTAMP_FD=N    writes "<CLOCK_MONOTONIC ns> <pid> <path>\n" to descriptor N
//                   first thing, so the bench sees when the detector ran
// Built static, so a launch costs no dynamic loading.
#include <time.h>
#ifdef STAMP_FD
#include <stdio.h>
#include <unistd.h>
#endif

int main(int argc, char **argv) {
#ifdef STAMP_FD
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[8192];
    int length = snprintf(text, sizeof text, "%lld %ld %s\n",
                          static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                          static_cast<long>(getpid()), argc > 1 ? argv[1] : "");
    if (length > 0 && static_cast<size_t>(length) < sizeof text) {
        if (write(STAMP_FD, text, static_cast<size_t>(length)) < 0) return 1;
    }
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
