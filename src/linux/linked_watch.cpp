// Watching a hard-linked file by its own inotify watch.
#include "linked_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "folder_lister.h"

namespace {

// A followed file's watch: the writes that are changes, and its link count.
const uint32_t LINKED_MASK = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;

} // namespace

int inotify_watch_linked(int inotify_fd, void *directory, const char *path, bool watch, linked_stat *file) {
    int at = kernel_folder_fd(directory);
    struct stat st;
    // Most files have one link: one look at them.
    file->present = false;
    if (fstatat(at, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    *file = linked_stat_of(st);
    if (!watch || !S_ISREG(st.st_mode) || st.st_nlink < 2) return -1;
    // The watch goes on the file opened, not on whatever the name leads to
    // when the kernel looks it up again.
    int fd = openat(at, path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int wd = -1;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink >= 2) {
        wd = inotify_add_watch(inotify_fd, link, LINKED_MASK);
        if (wd < 0) wd = -errno;
    }
    // Its times once watched: a write before is in them, one after is seen.
    if (wd >= 0 && fstat(fd, &st) == 0) *file = linked_stat_of(st);
    close(fd);
    return wd;
}
