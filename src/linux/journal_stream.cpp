// Writing the monitor's lines: one write each, with its priority prefix when
// standard output or error is the journal's stream.
#include "journal_stream.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "os.h"

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

// The prefix for a whole line about to be written to fd (standard output or
// error): "<6>" (information) for change and progress lines, which start with
// "[+] ", "<3>" (error) for every other, a failure; "" when fd is not the
// journal's stream, so that a terminal, pipe or file gets the line unchanged.
const char *journal_prefix(int fd, const char *line, size_t length) {
    if (!is_journal[fd]) return "";
    static const char PROGRESS[] = "[+] ";
    bool progress =
        length >= sizeof PROGRESS - 1 && memcmp(line, PROGRESS, sizeof PROGRESS - 1) == 0;
    return progress ? "<6>" : "<3>";
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

void os_write_output(output_stream stream, const char *text, size_t length) {
    // One write keeps the line whole among other writers: a pipe takes up to
    // PIPE_BUF bytes at once, a terminal or a file a whole write. The journal's
    // priority prefix, if any, goes in the same write.
    int fd = stream == OUTPUT_ERROR ? STDERR_FILENO : STDOUT_FILENO;
    const char *prefix = journal_prefix(fd, text, length);
    iovec parts[2] = {{const_cast<char *>(prefix), strlen(prefix)},
                      {const_cast<char *>(text), length}};
    iovec *part = parts;
    int count = 2;
    while (count > 0) {
        ssize_t written = writev(fd, part, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        // Past what was taken; an empty prefix is passed over at once.
        size_t taken = static_cast<size_t>(written);
        while (count > 0 && taken >= part->iov_len) {
            taken -= part->iov_len;
            part++;
            count--;
        }
        if (count > 0) {
            part->iov_base = static_cast<char *>(part->iov_base) + taken;
            part->iov_len -= taken;
        }
    }
}
