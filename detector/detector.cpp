// Reference detection executable: reports whether the file it is given holds
// the standard anti-malware test string. How the file is reached is the
// platform's part, in target_posix.cpp and target_windows.cpp.
//
// Exit status: 0 when it scanned the file (clean or not), when the file no
// longer exists, or when it is not a regular file (nothing to scan); 2 when it
// could not do its job.
#include <stdio.h>
#include <string.h>

#include "target.h"

// Kept in two halves so that this source file is not itself taken for the
// test file by other scanners.
static const char SIGNATURE_HEAD[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR";
static const char SIGNATURE_TAIL[] = "-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

enum { CHUNK = 64 * 1024 };

static int verdict(const char *path, const char *text, int status) {
    printf("[AV_Quillmar] %s: %s\n", path, text);
    fflush(stdout);
    return status;
}

int main(int argc, char **argv) {
    const char *path = target_argument(argc, argv);
    if (!path) {
        fprintf(stderr, "usage: AV_Quillmar.exe FILE\n");
        return 2;
    }
    char signature[sizeof SIGNATURE_HEAD + sizeof SIGNATURE_TAIL];
    snprintf(signature, sizeof signature, "%s%s", SIGNATURE_HEAD, SIGNATURE_TAIL);
    const size_t signature_length = strlen(signature);

    char reason[160];
    switch (target_open(reason, sizeof reason)) {
    case TARGET_OPEN:
        break;
    case TARGET_GONE:
        return verdict(path, "no longer exists", 0);
    case TARGET_NOT_REGULAR:
        return verdict(path, "not a regular file, nothing to scan", 0);
    case TARGET_FAILED:
        return verdict(path, reason, 2);
    }

    // The window keeps the last signature_length - 1 bytes of the previous
    // chunk, so a signature split across reads is still found.
    static char window[CHUNK + sizeof signature];
    size_t kept = 0;
    bool found = false;
    for (;;) {
        bool after_hole = false;
        long got = target_read(window + kept, CHUNK, &after_hole, reason, sizeof reason);
        if (got < 0) {
            target_close();
            return verdict(path, reason, 2);
        }
        if (got == 0) break;
        if (after_hole) {
            // A hole reads as zeros, which no signature holds: nothing found
            // before it continues after it.
            memmove(window, window + kept, static_cast<size_t>(got));
            kept = 0;
        }
        size_t filled = kept + static_cast<size_t>(got);
        for (size_t i = 0; !found && i + signature_length <= filled; i++) {
            found = memcmp(window + i, signature, signature_length) == 0;
        }
        if (found) break;
        kept = filled < signature_length - 1 ? filled : signature_length - 1;
        memmove(window, window + filled - kept, kept);
    }
    target_close();
    return verdict(path, found ? "INFECTED (EICAR test file)" : "clean", 0);
}
