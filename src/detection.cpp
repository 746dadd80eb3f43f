// Detection launch: run the detection executable beside the monitor's own
// executable for one changed file and wait for it.
#include <string.h>

#include "capacities.h"
#include "console.h"
#include "monitor.h"
#include "os.h"
#include "settings.h"

void call_detection(const char *full_path) {
    console_text(OUTPUT_STANDARD, "[+] Called detection");

    // Looked up on every call: nothing is kept between changes.
    char own_path[PATH_CAPACITY];
    memset(own_path, 0, sizeof own_path);
    char executable[PATH_CAPACITY];
    bool found = os_own_executable(own_path, sizeof own_path);
    if (found) {
        char *separator = strrchr(own_path, PATH_SEPARATOR);
        if (separator) *separator = '\0';
        // A cut executable path would start some other program, or none.
        found = compose_path(executable, sizeof executable, own_path,
                             PATH_SEPARATOR, DETECTION_EXECUTABLE_NAME);
    }
    if (!found) {
        console_text(OUTPUT_STANDARD, "[-] Failed to get executable path.");
        return;
    }
    if (!os_run_detection(executable, full_path, settings().detection_timeout_seconds)) {
        console_text(OUTPUT_ERROR, "[-] Failed to execute command.");
    }
}
