// Mounts inside a watched tree: the table read, compared with the last one.
#include "mount_watch.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "mounts.h"

namespace {

// Filesystems whose files other machines (or a FUSE daemon) change without
// this kernel's events: network and cluster filesystems, shared folders of a
// virtual machine's host.
const char *const REMOTE_TYPES[] = {
    "nfs",   "nfs4",  "cifs",   "smb3",    "smbfs", "9p",    "virtiofs", "ceph",
    "glusterfs", "lustre", "afs", "gfs2", "ocfs2", "orangefs", "coda", "vboxsf", "fuse",
    "fuseblk",
};

// The next line of a table being cut, or null at its end.
char *next_line(char **at) {
    char *line = *at;
    if (!line || !*line) return nullptr;
    char *end = strchr(line, '\n');
    if (end) *end++ = '\0';
    *at = end;
    return line;
}

// Whether path is prefix, or lies below it.
bool holds(const char *prefix, size_t length, const char *path) {
    if (length == 1 && prefix[0] == '/') return path[0] == '/';
    return strncmp(path, prefix, length) == 0 && (path[length] == '\0' || path[length] == '/');
}

// The point below the root, relative to it; null when not strictly below.
const char *below_root(const mount_watch *w, const char *point) {
    if (!holds(w->root, w->root_length, point) || strcmp(point, w->root) == 0) return nullptr;
    return point + (w->root_length == 1 ? 1 : w->root_length + 1);
}

int find(const mount_watch *w, const mount_entry &e) {
    for (int i = 0; i < w->count; i++) {
        const field_mount &m = w->items[i];
        if (m.id == e.id && strcmp(m.device, e.device) == 0 && strcmp(m.point, e.point) == 0) return i;
    }
    return -1;
}

bool add(mount_watch *w, const mount_entry &e) {
    if (w->count == w->capacity) {
        int capacity = w->capacity ? w->capacity * 2 : 16;
        void *grown = realloc(w->items, static_cast<size_t>(capacity) * sizeof *w->items);
        if (!grown) return false;
        w->items = static_cast<field_mount *>(grown);
        w->capacity = capacity;
    }
    char *device = strdup(e.device);
    char *point = strdup(e.point);
    char *type = strdup(e.type);
    if (!device || !point || !type) {
        free(device);
        free(point);
        free(type);
        return false;
    }
    w->items[w->count++] = field_mount{e.id, device, point, type};
    return true;
}

// Notes point (absolute, kept alive by the caller) as one where what shows
// changed. False without room.
bool note_shown(mount_watch *w, const char *point) {
    if (w->shown_count == w->shown_capacity) {
        int capacity = w->shown_capacity ? w->shown_capacity * 2 : 16;
        void *grown = realloc(w->shown, static_cast<size_t>(capacity) * sizeof *w->shown);
        if (!grown) return false;
        w->shown = static_cast<const char **>(grown);
        w->shown_capacity = capacity;
    }
    w->shown[w->shown_count++] = point;
    return true;
}

// Tells each noted point once, none that lies in another: listing the
// outer one shows what is below it too.
void tell_shown(mount_watch *w, mount_change_fn on_change, void *context) {
    for (int i = 0; i < w->shown_count; i++) {
        bool inside = false;
        for (int j = 0; j < w->shown_count && !inside; j++) {
            const char *other = w->shown[j];
            bool same = strcmp(other, w->shown[i]) == 0;
            inside = same ? j < i : holds(other, strlen(other), w->shown[i]);
        }
        mount_event event = {MOUNT_SHOWN, below_root(w, w->shown[i]), w->shown[i], nullptr, -1};
        if (!inside) on_change(context, &event);
    }
    w->shown_count = 0;
}

} // namespace

bool mount_type_remote(const char *type) {
    if (strncmp(type, "fuse.", 5) == 0) return true;
    for (const char *remote : REMOTE_TYPES) {
        if (strcmp(type, remote) == 0) return true;
    }
    return false;
}

const char *mount_type_of(char *table, const char *path, int id) {
    const char *type = nullptr;
    size_t longest = 0;
    char *at = table;
    while (char *line = next_line(&at)) {
        mount_entry e;
        if (!mount_parse_line(line, &e)) continue;
        size_t length = strlen(e.point);
        if (id >= 0 ? e.id == id : holds(e.point, length, path) && length >= longest) {
            type = e.type;
            longest = length;
        }
    }
    return type;
}

bool mount_watch_apply(mount_watch *w, char *table, mount_change_fn on_change, void *context) {
    // Marked present by id: the table's lines are matched against the known
    // mounts, then the known ones not matched are gone.
    bool *present = static_cast<bool *>(calloc(static_cast<size_t>(w->count) + 1, sizeof(bool)));
    if (!present) return false;
    int known = w->count;
    bool complete = true;
    char *at = table;
    while (char *line = next_line(&at)) {
        mount_entry e;
        if (!mount_parse_line(line, &e)) continue;
        const char *relative = below_root(w, e.point);
        if (!relative) continue;
        int i = find(w, e);
        if (i >= 0) {
            present[i] = true;
            continue;
        }
        // Without room it stays unknown, and is taken as new next time.
        if (!add(w, e)) complete = false;
    }
    // Gone ones first, and kept until what shows was told: a mount moved
    // with a folder above it is the same number gone and come.
    for (int i = 0; i < known; i++) {
        if (present[i]) continue;
        mount_event event = {MOUNT_REMOVED, below_root(w, w->items[i].point), w->items[i].point, nullptr,
                             w->items[i].id};
        on_change(context, &event);
        if (w->started && !note_shown(w, w->items[i].point)) complete = false;
    }
    for (int i = known; i < w->count; i++) {
        const field_mount &m = w->items[i];
        mount_event event = {MOUNT_ADDED, below_root(w, m.point), m.point, m.type, m.id};
        on_change(context, &event);
        if (w->started && !note_shown(w, m.point)) complete = false;
    }
    if (w->started) tell_shown(w, on_change, context);
    w->started = true;
    int kept = 0;
    for (int i = 0; i < w->count; i++) {
        if (i < known && !present[i]) {
            free(w->items[i].device);
            free(w->items[i].point);
            free(w->items[i].type);
        } else {
            w->items[kept++] = w->items[i];
        }
    }
    w->count = kept;
    free(present);
    return complete;
}

bool mount_watch_start(mount_watch *w, const char *root, mount_change_fn on_change, void *context) {
    memset(w, 0, sizeof *w);
    w->root = root;
    w->root_length = strlen(root);
    if (!mount_table_read(&w->text, &w->text_capacity)) return false;
    // The root's own mount, by the number the kernel gives it where it does.
    struct statx st;
    int id = -1;
    if (statx(AT_FDCWD, root, 0, STATX_MNT_ID, &st) == 0 && (st.stx_mask & STATX_MNT_ID)) {
        id = static_cast<int>(st.stx_mnt_id);
    }
    const char *type = mount_type_of(w->text, root, id);
    mount_event event = {MOUNT_ADDED, "", root, type ? type : "unknown", -1};
    on_change(context, &event);
    if (!mount_table_read(&w->text, &w->text_capacity)) return false;
    return mount_watch_apply(w, w->text, on_change, context);
}

bool mount_watch_update(mount_watch *w, mount_change_fn on_change, void *context) {
    return mount_table_read(&w->text, &w->text_capacity) &&
           mount_watch_apply(w, w->text, on_change, context);
}

void mount_watch_release(mount_watch *w) {
    for (int i = 0; i < w->count; i++) {
        free(w->items[i].device);
        free(w->items[i].point);
        free(w->items[i].type);
    }
    free(w->items);
    free(w->text);
    free(w->shown);
    memset(w, 0, sizeof *w);
}
