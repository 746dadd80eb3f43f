// A walk of a directory tree for files changed since a mark.
#include "changed_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capacities.h"

namespace {

// Folders still to list, as relative paths, each ended by a NUL: a stack
// in one growable block, so that the walk needs no recursion however deep
// the tree is.
struct folder_stack {
    char *bytes;
    size_t used;
    size_t capacity;
};

bool push(folder_stack *stack, const char *path, size_t length) {
    if (stack->used + length + 1 > stack->capacity) {
        size_t capacity = stack->capacity ? stack->capacity * 2 : 4096;
        while (capacity < stack->used + length + 1) capacity *= 2;
        void *grown = realloc(stack->bytes, capacity);
        if (!grown) return false;
        stack->bytes = static_cast<char *>(grown);
        stack->capacity = capacity;
    }
    memcpy(stack->bytes + stack->used, path, length);
    stack->bytes[stack->used + length] = '\0';
    stack->used += length + 1;
    return true;
}

// Takes the last folder into out; false when none is left.
bool pop(folder_stack *stack, char *out) {
    if (!stack->used) return false;
    size_t end = stack->used - 1; // its NUL
    size_t start = end;
    while (start > 0 && stack->bytes[start - 1] != '\0') start--;
    memcpy(out, stack->bytes + start, end - start + 1);
    stack->used = start;
    return true;
}

struct walk {
    const char *root;
    int64_t since;
    walk_record_fn on_record;
    void *context;
    bool complete;
    folder_stack folders;
    char folder[PATH_CAPACITY];   // relative path of the folder being listed
    char relative[PATH_CAPACITY]; // relative path of an entry in it
    char path[PATH_CAPACITY];     // the folder's path for system calls
};

void emit(walk *w, record_kind kind, const char *path, const char *detail) {
    watch_record record = {kind, path, detail};
    if (!w->on_record(w->context, &record)) w->complete = false;
}

void unlistable(walk *w, const char *relative, int error) {
    char text[128];
    emit(w, RECORD_UNWATCHED, relative, strerror_r(error, text, sizeof text));
}

// Lists one folder: files changed since the mark reported, folders queued.
void list_folder(walk *w) {
    int length = w->folder[0] ? snprintf(w->path, sizeof w->path, "%s/%s", w->root, w->folder)
                              : snprintf(w->path, sizeof w->path, "%s", w->root);
    if (length < 0 || static_cast<size_t>(length) >= sizeof w->path) {
        unlistable(w, w->folder, ENAMETOOLONG);
        return;
    }
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (w->folder[0] ? O_NOFOLLOW : 0);
    int fd = open(w->path, flags);
    DIR *directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!directory) {
        int error = errno;
        if (fd >= 0) close(fd);
        // Gone since it was seen: nothing in it is left to scan.
        if (error != ENOENT) unlistable(w, w->folder, error);
        return;
    }
    while (dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat st;
        if (fstatat(dirfd(directory), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; // gone
        int n = w->folder[0] ? snprintf(w->relative, sizeof w->relative, "%s/%s", w->folder, name)
                             : snprintf(w->relative, sizeof w->relative, "%s", name);
        bool fits = n >= 0 && static_cast<size_t>(n) < sizeof w->relative;
        if (S_ISDIR(st.st_mode)) {
            if (!fits) unlistable(w, name, ENAMETOOLONG);
            else if (!push(&w->folders, w->relative, static_cast<size_t>(n))) w->complete = false;
            continue;
        }
        int64_t changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
        if (!changed_since(changed, w->since)) continue;
        emit(w, fits ? RECORD_CHANGE : RECORD_UNREPRESENTABLE, fits ? w->relative : name, nullptr);
    }
    closedir(directory);
}

} // namespace

bool changed_since(int64_t changed, int64_t since) {
    return since <= 0 || changed >= since - CLOCK_MARGIN_NS;
}

bool walk_changed(const char *root, int64_t since, walk_record_fn on_record, void *context) {
    walk *w = static_cast<walk *>(malloc(sizeof(walk)));
    if (!w) return false;
    w->root = root;
    w->since = since;
    w->on_record = on_record;
    w->context = context;
    w->complete = true;
    w->folders = folder_stack{nullptr, 0, 0};
    w->folder[0] = '\0';
    do {
        list_folder(w);
    } while (pop(&w->folders, w->folder));
    bool complete = w->complete;
    free(w->folders.bytes);
    free(w);
    return complete;
}
