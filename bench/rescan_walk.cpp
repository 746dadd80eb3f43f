// One periodic walk of the monitor's own code (remote_walks.cpp over
// changed_walk.cpp) on a tree where nothing changed since the last walk:
// its wall and processor time, printed as one JSON object per run.
//
//   rescan_walk ROOT RUNS PAUSE_MS
//
// PAUSE_MS between runs lets a FUSE filesystem's cached attributes expire,
// as they have between two walks a minute apart.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "remote_walks.h"

namespace {

double seconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double processor() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool count(void *context, const watch_record *) {
    ++*static_cast<long *>(context);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fputs("usage: rescan_walk ROOT RUNS PAUSE_MS\n", stderr);
        return 2;
    }
    kernel_root root;
    if (kernel_root_init(&root, argv[1]) != 0) {
        perror(argv[1]);
        return 1;
    }
    lister_ops lister = kernel_lister(&root);
    remote_walks walks;
    remote_start(&walks, 60);
    long records = 0;
    remote_mount_added(&walks, "", "nfs4", -1, count, &records);
    for (int run = 0, runs = atoi(argv[2]); run < runs; run++) {
        usleep(static_cast<useconds_t>(atoi(argv[3])) * 1000);
        records = 0;
        walks.items[0].since = static_cast<int64_t>(seconds(CLOCK_REALTIME) * 1e9); // the last walk's start
        walks.due = 0;
        double wall = seconds(CLOCK_MONOTONIC), cpu = processor();
        remote_walk_due(&walks, &lister, count, &records);
        printf("{\"wall_s\": %.4f, \"cpu_s\": %.4f, \"records\": %ld}\n",
               seconds(CLOCK_MONOTONIC) - wall, processor() - cpu, records);
        fflush(stdout);
    }
    remote_release(&walks);
    return 0;
}
