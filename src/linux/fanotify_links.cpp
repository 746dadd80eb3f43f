// The fanotify reader's walk for hard-linked files, folder by folder.
#include "fanotify_links.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "changed_walk.h"
#include "dot_names.h"

#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID AT_REMOVEDIR // Linux 6.5: a handle to compare, as fanotify gives it
#endif

struct link_walk_folder {
    int64_t since;
    uint64_t fsid;
    int32_t type;
    uint32_t size;
    unsigned char handle[MAX_HANDLE_SZ];
};

namespace {

union handle_storage {
    file_handle handle;
    unsigned char bytes[sizeof(file_handle) + MAX_HANDLE_SZ];
};

// The handle of name in folder at (or of at itself, for ""); flags as for
// name_to_handle_at. False when it cannot be had.
bool handle_of(int at, const char *name, int flags, handle_storage *out) {
    out->handle.handle_bytes = MAX_HANDLE_SZ;
    int mount_id;
    if (!name[0]) flags |= AT_EMPTY_PATH;
    return name_to_handle_at(at, name, &out->handle, &mount_id, flags) == 0;
}

bool file_handle_of(int at, const char *name, handle_storage *out) {
    return handle_of(at, name, AT_HANDLE_FID, out) || (errno == EINVAL && handle_of(at, name, 0, out));
}

} // namespace

bool link_walk_same_file(const char *path, const fan_handle &file) {
    handle_storage h;
    return file_handle_of(AT_FDCWD, path, &h) && h.handle.handle_type == file.type &&
           h.handle.handle_bytes == file.size && memcmp(h.handle.f_handle, file.bytes, file.size) == 0;
}

namespace {

linked_key key_of(uint64_t fsid, const file_handle &h) {
    fan_handle f = {fsid, h.handle_type, h.handle_bytes, h.f_handle};
    return fan_handle_key(f);
}

bool push(link_walk *w, int64_t since, uint64_t fsid, const file_handle &h) {
    if (w->count == w->capacity) {
        size_t capacity = w->capacity ? w->capacity * 2 : 64;
        void *grown = realloc(w->folders, capacity * sizeof *w->folders);
        if (!grown) return false;
        w->folders = static_cast<link_walk_folder *>(grown);
        w->capacity = capacity;
    }
    link_walk_folder &f = w->folders[w->count++];
    f.since = since;
    f.fsid = fsid;
    f.type = h.handle_type;
    f.size = h.handle_bytes;
    memcpy(f.handle, h.f_handle, h.handle_bytes);
    return true;
}

// Opens folder f where it stands now, if that is under the root; its path
// then in w->path. -1 when it is gone, elsewhere or cannot be opened.
int open_folder(link_walk *w, const fan_translator *t, const fs_marks *marks,
                const link_walk_folder &f) {
    const char *point = marks_point(marks, f.fsid);
    if (!point) return -1;
    int mount = open(point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mount < 0) return -1;
    handle_storage h;
    h.handle.handle_bytes = f.size;
    h.handle.handle_type = f.type;
    memcpy(h.handle.f_handle, f.handle, f.size);
    int fd = open_by_handle_at(mount, &h.handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(mount);
    if (fd < 0) return -1;
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, w->path, sizeof w->path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof w->path ||
        !translator_below_root(t, w->path, static_cast<size_t>(n))) {
        close(fd);
        return -1;
    }
    w->path[n] = '\0';
    return fd;
}

// A subfolder of the folder open at fd: its own filesystem's when it is a
// mount point.
void push_subfolder(link_walk *w, int fd, const char *name, const struct stat &folder,
                    const struct stat &st, const link_walk_folder &f) {
    handle_storage h;
    if (st.st_dev == folder.st_dev) {
        if (handle_of(fd, name, 0, &h)) push(w, f.since, f.fsid, h.handle);
        return;
    }
    int sub = openat(fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) return;
    struct statfs fs;
    uint64_t fsid;
    if (fstatfs(sub, &fs) == 0 && handle_of(sub, "", 0, &h)) {
        memcpy(&fsid, &fs.f_fsid, sizeof fsid);
        push(w, f.since, fsid, h.handle);
    }
    close(sub);
}

// Lists one folder: subfolders to walk, linked files followed, and
// reported when changed since the folder's mark.
void list_folder(link_walk *w, fan_translator *t, const fs_marks *marks, const link_walk_folder &f,
                 record_fn on_record, void *context) {
    int fd = open_folder(w, t, marks, f);
    struct stat folder;
    if (fd < 0) return;
    DIR *directory = fstat(fd, &folder) == 0 ? fdopendir(fd) : nullptr;
    if (!directory) {
        close(fd);
        return;
    }
    fan_handle self = {f.fsid, f.type, f.size, f.handle};
    linked_key folder_key = fan_handle_key(self);
    size_t folder_length = strlen(w->path);
    while (dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        if (is_dot_name(name)) continue;
        struct stat st;
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            push_subfolder(w, fd, name, folder, st, f);
            continue;
        }
        // A file mounted over a name belongs to another filesystem.
        handle_storage h;
        if (!S_ISREG(st.st_mode) || st.st_nlink < 2 || st.st_dev != folder.st_dev ||
            !file_handle_of(fd, name, &h)) {
            continue;
        }
        linked_key key = key_of(f.fsid, h.handle);
        if (!key.size) continue;
        linked_stat file = linked_stat_of(st);
        size_t length = strlen(name);
        translator_keep_linked(t, folder_key, name, length, &key, file, on_record, context);
        int64_t changed = file.changed_at;
        if (!changed_since(changed, f.since)) continue;
        // Written through another name before it was followed.
        size_t at = folder_length == 1 ? 1 : folder_length + 1; // "/" ends in its separator
        if (at + length >= sizeof w->path) {
            watch_record record =
                last_name_record(RECORD_CHANGE, name, length, w->path, sizeof w->path, nullptr);
            on_record(context, &record);
            continue;
        }
        w->path[at - 1] = '/';
        memcpy(w->path + at, name, length + 1);
        watch_record record = {RECORD_CHANGE, translator_below_root(t, w->path, at + length), nullptr};
        on_record(context, &record);
        w->path[folder_length] = '\0';
    }
    closedir(directory);
}

} // namespace

void link_walk_init(link_walk *w) {
    w->folders = nullptr;
    w->count = w->capacity = 0;
}

void link_walk_release(link_walk *w) {
    free(w->folders);
    link_walk_init(w);
}

bool link_walk_add(link_walk *w, const char *path, int64_t since) {
    // The root, or a folder moved in: a mark of the filesystem took it, so
    // its handle can only be refused for want of memory, or once it is gone.
    handle_storage h;
    struct statfs fs;
    uint64_t fsid;
    if (statfs(path, &fs) != 0 || !handle_of(AT_FDCWD, path, 0, &h)) return false;
    memcpy(&fsid, &fs.f_fsid, sizeof fsid);
    return push(w, since, fsid, h.handle);
}

bool link_walk_pending(const link_walk *w) { return w->count > 0; }

void link_walk_step(link_walk *w, fan_translator *t, const fs_marks *marks, record_fn on_record,
                    void *context, int folders) {
    for (; folders > 0 && w->count; folders--) {
        link_walk_folder f = w->folders[--w->count];
        list_folder(w, t, marks, f, on_record, context);
    }
}
