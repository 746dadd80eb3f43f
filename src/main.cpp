// Entry: split the directory list, start one watcher per field, wait for "q".
#include <stdio.h>
#include <string.h>

#include "console.h"
#include "monitor.h"
#include "os.h"
#include "settings.h"

static const char USAGE[] =
    "usage: monitor \"DIR1;DIR2;...\" | --version | --help  (type q and Enter to stop)\n";

static bool start_watcher(void *, const char *field) {
    return os_start_watcher(monitor_directory, field);
}

int main(int argc, char **argv) {
    argv = os_arguments(&argc, argv);
    if (argc < 2) {
        fputs(USAGE, stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("monitor %s\n", MONITOR_VERSION);
        return 0;
    }
    // Set up before the settings are read: a bad value's line goes out as
    // every other line does, with its priority in the journal.
    os_init();
    char bad[160];
    if (!read_settings(bad, sizeof bad)) {
        // The value is the environment's: its control bytes are escaped.
        static console_buffer line;
        console_line(&line, OUTPUT_ERROR, "%s", bad);
        return 2;
    }
    if (!split_fields(argv[1], start_watcher, nullptr)) {
        console_text(OUTPUT_STANDARD, "Failed to create thread for directory monitoring");
        return 1;
    }
    os_watchers_started();
    for (;;) {
        int c = getchar();
        if (c == 'q') return 0;
        // Without input there is nothing left to read, but the watchers keep
        // going until the process is stopped by a signal. As a service (no
        // input at all), a monitor that watches nothing is a failure.
        if (c == EOF) {
            os_wait_for_watchers();
            console_text(OUTPUT_STANDARD, "[-] No directory left to watch");
            return 1;
        }
    }
}
