// Reference detection executable: reports whether the file it is given holds
// the standard anti-malware test string.
//
// Exit status: 0 when it scanned the file (clean or not), when the file no
// longer exists, or when it is not a regular file (nothing to scan); 2 when it
// could not do its job.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#define open _open
#define read _read
#define close _close
#define fstat _fstat
typedef struct _stat stat_buffer;
static const int OPEN_FLAGS = O_RDONLY | O_BINARY;
#else
#include <unistd.h>
typedef struct stat stat_buffer;
// A FIFO must not block the scan.
static const int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#endif

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
    if (argc != 2) {
        fprintf(stderr, "usage: AV_Quillmar.exe FILE\n");
        return 2;
    }
    const char *path = argv[1];
    char signature[sizeof SIGNATURE_HEAD + sizeof SIGNATURE_TAIL];
    snprintf(signature, sizeof signature, "%s%s", SIGNATURE_HEAD, SIGNATURE_TAIL);
    const size_t signature_length = strlen(signature);

    int fd = open(path, OPEN_FLAGS);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return verdict(path, "no longer exists", 0);
        char reason[160];
        snprintf(reason, sizeof reason, "cannot open (%s)", strerror(errno));
        return verdict(path, reason, 2);
    }
    stat_buffer st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return verdict(path, "not a regular file, nothing to scan", 0);
    }

    // The window keeps the last signature_length - 1 bytes of the previous
    // chunk, so a signature split across reads is still found.
    static char window[CHUNK + sizeof signature];
    size_t kept = 0;
    bool found = false;
    for (;;) {
        long got = static_cast<long>(read(fd, window + kept, CHUNK));
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);
            char reason[160];
            snprintf(reason, sizeof reason, "cannot read (%s)", strerror(errno));
            return verdict(path, reason, 2);
        }
        if (got == 0) break;
        size_t filled = kept + static_cast<size_t>(got);
        for (size_t i = 0; !found && i + signature_length <= filled; i++) {
            found = memcmp(window + i, signature, signature_length) == 0;
        }
        if (found) break;
        kept = filled < signature_length - 1 ? filled : signature_length - 1;
        memmove(window, window + filled - kept, kept);
    }
    close(fd);
    return verdict(path, found ? "INFECTED (EICAR test file)" : "clean", 0);
}
