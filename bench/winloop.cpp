// Windows launch loops of the benchmark, run under Wine:
//   winloop system DETECTOR PATH COUNT   system() of the command text
//                                        "\"DETECTOR\" \"PATH\"", as the
//                                        command interpreter path does it
//   winloop system-plain DETECTOR PATH COUNT
//                                        system() of "DETECTOR \"PATH\"", a text
//                                        the interpreter accepts when DETECTOR
//                                        has no space: what a working
//                                        interpreter path costs
//   winloop create DETECTOR PATH COUNT   CreateProcessA of the quoted text and
//                                        a wait, as the monitor does it
// Prints one JSON object: microseconds per launch and how many failed.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static double seconds_now() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

static bool run_created(char *command) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: winloop system|system-plain|create DETECTOR PATH COUNT\n");
        return 2;
    }
    bool plain = strcmp(argv[1], "system-plain") == 0;
    bool use_system = plain || strcmp(argv[1], "system") == 0;
    long count = atol(argv[4]);
    char command[1024];
    snprintf(command, sizeof command, plain ? "%s \"%s\"" : "\"%s\" \"%s\"", argv[2], argv[3]);
    char text[1024];
    long failed = 0;
    double t0 = seconds_now();
    for (long i = 0; i < count; i++) {
        bool ok;
        if (use_system) {
            ok = system(command) == 0;
        } else {
            // CreateProcessA may write into its command line.
            memcpy(text, command, sizeof text);
            ok = run_created(text);
        }
        if (!ok) failed++;
    }
    double t1 = seconds_now();
    printf("{\"us\": %.1f, \"count\": %ld, \"failed\": %ld}\n",
           (t1 - t0) * 1e6 / static_cast<double>(count), count, failed);
    fflush(stdout);
    return 0;
}
