// The kernel's folders, opened below an open folder and never through a link.
#include "folder_lister.h"

#include <dirent.h>
#include <stddef.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "capacities.h"
#include "dot_names.h"
#include "wall_clock.h"

namespace {

// An open folder: its descriptor, and its listing once asked for (most
// folders opened are only watched, never listed). Entries are read straight
// from the kernel into the listing's own buffer: a directory stream would
// cost two more calls per folder to check a descriptor opened right here.
struct kernel_folder {
    int fd;
    char *listing; // LISTING_BYTES, or null
    size_t at, end; // the entries read and not yet given
};

const size_t LISTING_BYTES = 32768;

const int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void *wrap(int fd, int *error) {
    kernel_folder *f = static_cast<kernel_folder *>(malloc(sizeof(kernel_folder)));
    if (!f) {
        close(fd);
        *error = ENOMEM;
        return nullptr;
    }
    f->fd = fd;
    f->listing = nullptr;
    f->at = f->end = 0;
    return f;
}

// A link, or a way out of the folder, where a folder was asked for: not a
// folder there.
int refusal(int error) { return error == ELOOP || error == EXDEV ? ENOTDIR : error; }

// One name at a time, none of them followed if it is a link, none "..":
// the descriptor, or -1 with *error set.
int open_by_components(int from, const char *relative, int *error) {
    if (!relative[0]) {
        int fd = openat(from, ".", FOLDER_FLAGS);
        if (fd < 0) *error = errno;
        return fd;
    }
    int at = from;
    for (const char *name = relative;;) {
        const char *end = strchr(name, '/');
        size_t length = end ? static_cast<size_t>(end - name) : strlen(name);
        char part[NAME_MAX + 1];
        int next = -1;
        if (length == 0 || length > NAME_MAX) {
            *error = length ? ENAMETOOLONG : ENOENT;
        } else if (length == 2 && name[0] == '.' && name[1] == '.') {
            *error = ENOTDIR; // never above the folder it starts from
        } else {
            memcpy(part, name, length);
            part[length] = '\0';
            // The folders on the way are only passed through.
            int flags = end ? O_PATH | O_DIRECTORY | O_CLOEXEC : FOLDER_FLAGS;
            next = openat(at, part, flags | O_NOFOLLOW);
            if (next < 0) *error = refusal(errno);
        }
        if (at != from) close(at);
        if (next < 0 || !end) return next;
        at = next;
        name = end + 1;
    }
}

void *kernel_open_root(void *, const char *path, int *error) {
    int fd = open(path, FOLDER_FLAGS);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return wrap(fd, error);
}

// The lister's root, opened by its path and still the folder watched: a
// descriptor, or -1 with *error set.
int open_watched_root(const kernel_root *root, int *error) {
    int fd = open(root->path, FOLDER_FLAGS);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == root->device && st.st_ino == root->inode) {
        return fd;
    }
    *error = fd < 0 ? errno : ENOENT; // another folder by now: not the one watched
    if (fd >= 0) close(fd);
    return -1;
}

void *kernel_open_below(void *context, void *from, const char *relative, int *error) {
    const kernel_root *root = static_cast<const kernel_root *>(context);
    int parent = from ? static_cast<kernel_folder *>(from)->fd : open_watched_root(root, error);
    if (parent < 0) return nullptr;
    int fd = -1;
    bool components = root->component_walk;
    if (!components) {
        open_how how;
        memset(&how, 0, sizeof how);
        how.flags = FOLDER_FLAGS;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        long opened = syscall(SYS_openat2, parent, relative[0] ? relative : ".", &how, sizeof how);
        fd = static_cast<int>(opened);
        // Kernels before 5.6 lack it: one name at a time, as the caller asks.
        if (fd < 0 && errno == ENOSYS) components = true;
        else if (fd < 0) *error = refusal(errno);
    }
    if (components) fd = open_by_components(parent, relative, error);
    if (!from) close(parent);
    return fd < 0 ? nullptr : wrap(fd, error);
}

// The next entries into the listing's buffer: 0, or why they cannot be read.
// A folder removed while open reads as ENOENT: it is empty, not unreadable.
int read_entries(kernel_folder *f) {
    ssize_t got = getdents64(f->fd, f->listing, LISTING_BYTES);
    f->at = 0;
    f->end = got > 0 ? static_cast<size_t>(got) : 0;
    return got < 0 && errno != ENOENT ? errno : 0;
}

int kernel_list(void *, void *folder) {
    kernel_folder *f = static_cast<kernel_folder *>(folder);
    if (f->listing) return 0;
    if (!(f->listing = static_cast<char *>(malloc(LISTING_BYTES)))) return ENOMEM;
    // The first read says whether the folder can be listed at all. The
    // descriptor's position moves with it: openat below is not disturbed.
    return read_entries(f);
}

const char *kernel_next_entry(void *, void *folder, bool *is_directory) {
    kernel_folder *f = static_cast<kernel_folder *>(folder);
    if (!f->listing) return nullptr;
    for (;;) {
        // A read that fails midway ends the listing, as a directory stream's
        // does. Its buffer goes at once: a walk keeps the folders above it
        // open, and each has listed to its end before the walk goes down.
        if (f->at >= f->end && (read_entries(f) != 0 || f->end == 0)) {
            free(f->listing);
            f->listing = nullptr;
            return nullptr;
        }
        // The kernel's entry layout is struct dirent64's.
        const char *entry = f->listing + f->at;
        unsigned short length;
        memcpy(&length, entry + offsetof(dirent64, d_reclen), sizeof length);
        f->at += length;
        unsigned char type = static_cast<unsigned char>(entry[offsetof(dirent64, d_type)]);
        const char *name = entry + offsetof(dirent64, d_name);
        if (is_dot_name(name)) continue;
        if (type == DT_UNKNOWN) {
            struct stat st;
            *is_directory = fstatat(f->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISDIR(st.st_mode);
        } else {
            *is_directory = type == DT_DIR;
        }
        return name;
    }
}

int64_t kernel_changed_at(void *, void *folder, const char *name) {
    struct stat st;
    if (fstatat(static_cast<kernel_folder *>(folder)->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    return changed_ns(st);
}

void kernel_close(void *, void *folder) {
    kernel_folder *f = static_cast<kernel_folder *>(folder);
    close(f->fd);
    free(f->listing);
    free(f);
}

} // namespace

int kernel_root_init(kernel_root *root, const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    root->path = path;
    root->device = st.st_dev;
    root->inode = st.st_ino;
    root->component_walk = false;
    return 0;
}

lister_ops kernel_lister(kernel_root *root) {
    lister_ops ops = {kernel_open_root,  kernel_open_below, kernel_list,
                      kernel_next_entry, kernel_changed_at, kernel_close,
                      root};
    return ops;
}

void *kernel_folder_adopt(int fd) {
    int error = 0;
    return wrap(fd, &error);
}

int kernel_folder_fd(void *folder) { return static_cast<kernel_folder *>(folder)->fd; }

void kernel_folder_path(void *folder, char *out, size_t capacity) {
    snprintf(out, capacity, "/proc/self/fd/%d", kernel_folder_fd(folder));
}

bool changed_since(int64_t changed, int64_t since) {
    return since <= 0 || changed >= since - CLOCK_MARGIN_NS;
}
