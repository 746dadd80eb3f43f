/* The floor for the monitor's inotify set-up: a plain walk of a tree that
 * adds one inotify watch per folder (the mask the monitor asks for) and does
 * nothing else. Prints its wall and processor time, the watches added and
 * its peak RSS, as one JSON line.
 *   watch_floor DIR
 * Built by bench/run; measured beside the monitor in bench/ignore_bench.py. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static const unsigned MASK = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                             IN_DONT_FOLLOW | IN_EXCL_UNLINK;

static double seconds(const struct timeval *t) { return (double)t->tv_sec + (double)t->tv_usec / 1e6; }

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: watch_floor DIR\n");
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) {
        perror("inotify_init1");
        return 1;
    }
    /* A stack of paths, as a plain walker keeps them. */
    size_t capacity = 1024, count = 0;
    char **stack = malloc(capacity * sizeof *stack);
    stack[count++] = strdup(argv[1]);
    long watches = 0;
    while (count) {
        char *path = stack[--count];
        if (inotify_add_watch(fd, path, MASK) >= 0) watches++;
        DIR *d = opendir(path);
        struct dirent *e;
        while (d && (e = readdir(d))) {
            if (e->d_type != DT_DIR || !strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            if (count == capacity) stack = realloc(stack, (capacity *= 2) * sizeof *stack);
            size_t length = strlen(path) + strlen(e->d_name) + 2;
            stack[count] = malloc(length);
            snprintf(stack[count++], length, "%s/%s", path, e->d_name);
        }
        if (d) closedir(d);
        free(path);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"watches\": %ld, \"maxrss_kb\": %ld}\n",
           (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9,
           seconds(&usage.ru_utime) + seconds(&usage.ru_stime), watches, usage.ru_maxrss);
    close(fd);
    free(stack);
    return 0;
}
