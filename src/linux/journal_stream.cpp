// Priorities in the journal: whether standard output and error are the
// journal's stream, and the priority prefix of each line written there.
#include "journal_stream.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Indexed by descriptor: standard output and error. Set before any thread
// starts, read-only afterwards.
bool is_journal[3];

// Reads decimal digits up to stop; null when there are none or something
// else follows them.
const char *read_number(const char *text, char stop, unsigned long long *value) {
    if (*text < '0' || *text > '9') return nullptr;
    unsigned long long number = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
    }
    if (*text != stop) return nullptr;
    *value = number;
    return text;
}

} // namespace

void journal_stream_find() {
    const char *text = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    // A child of a service inherits the variable with other streams: the
    // descriptors themselves must be the one it names.
    if (!text || !(text = read_number(text, ':', &device)) ||
        !read_number(text + 1, '\0', &inode)) {
        return;
    }
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; fd++) {
        struct stat status;
        is_journal[fd] = fstat(fd, &status) == 0 && status.st_dev == device &&
                         status.st_ino == inode;
    }
}

const char *journal_prefix(int fd, const char *line, size_t length) {
    if (!is_journal[fd]) return "";
    static const char PROGRESS[] = "[+] ";
    bool progress =
        length >= sizeof PROGRESS - 1 && memcmp(line, PROGRESS, sizeof PROGRESS - 1) == 0;
    return progress ? "<6>" : "<3>";
}
