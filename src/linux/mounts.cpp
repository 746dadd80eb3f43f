// The filesystems under a fanotify reader's root, and their marks.
#include "mounts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

const char MOUNT_TABLE[] = "/proc/self/mountinfo";

// The next field separated by a space, or null; the line is cut after it.
char *next_field(char **at) {
    char *start = *at;
    if (!start || !*start) return nullptr;
    char *end = strchr(start, ' ');
    if (end) {
        *end = '\0';
        *at = end + 1;
    } else {
        *at = start + strlen(start);
    }
    return start;
}

// Undoes the table's octal escapes of space, tab, newline and backslash.
void unescape(char *text) {
    char *out = text;
    for (const char *in = text; *in; out++) {
        bool octal = in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' &&
                     in[2] <= '7' && in[3] >= '0' && in[3] <= '7';
        if (octal) {
            *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

bool read_table(fs_marks *m) { return mount_table_read(&m->text, &m->text_capacity); }

bool fsid_of(const char *path, uint64_t *fsid) {
    struct statfs st;
    if (statfs(path, &st) != 0) return false;
    memcpy(fsid, &st.f_fsid, sizeof *fsid);
    return true;
}

int find(const fs_marks *m, uint64_t fsid) {
    for (int i = 0; i < m->count; i++) {
        if (m->items[i].fsid == fsid) return i;
    }
    return -1;
}

bool add(fs_marks *m, uint64_t fsid, const char *point) {
    if (m->count == m->capacity) {
        int capacity = m->capacity ? m->capacity * 2 : 8;
        void *grown = realloc(m->items, static_cast<size_t>(capacity) * sizeof *m->items);
        if (!grown) return false;
        m->items = static_cast<marked_fs *>(grown);
        m->capacity = capacity;
    }
    char *copy = strdup(point);
    if (!copy) return false;
    m->items[m->count++] = marked_fs{fsid, copy, true};
    return true;
}

// Whether point lies strictly below the root.
bool below_root(const fs_marks *m, const char *point) {
    if (m->root_length == 1) return point[0] == '/' && point[1] != '\0';
    return strncmp(point, m->root, m->root_length) == 0 && point[m->root_length] == '/';
}

// A mount below the root: marked when its filesystem is new; true when it is.
bool mount_below(fs_marks *m, const char *point, record_fn on_record, void *context) {
    uint64_t fsid;
    if (!fsid_of(point, &fsid)) return false;
    int known = find(m, fsid);
    if (known >= 0) {
        m->items[known].seen = true;
        return false;
    }
    int error = 0;
    if (fanotify_mark(m->fan_fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, m->mask, AT_FDCWD, point) != 0) {
        error = errno;
    }
    // Kept when refused too, so that it is named once.
    bool kept = add(m, fsid, point);
    if (error || !kept) {
        const char *relative = point + (m->root_length == 1 ? 1 : m->root_length + 1);
        watch_record record = {RECORD_UNWATCHED, relative, error ? mark_refusal(error) : "out of memory"};
        on_record(context, &record);
    }
    return true;
}

} // namespace

bool mount_table_read(char **text, size_t *capacity) {
    int fd = open(MOUNT_TABLE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t used = 0;
    bool whole = false;
    for (;;) {
        if (*capacity - used < 2) {
            size_t grown_capacity = *capacity ? *capacity * 2 : 16384;
            char *grown = static_cast<char *>(realloc(*text, grown_capacity));
            if (!grown) break;
            *text = grown;
            *capacity = grown_capacity;
        }
        ssize_t n = read(fd, *text + used, *capacity - used - 1);
        if (n < 0 && errno == EINTR) continue;
        whole = n == 0;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    // A table cut short would have every mount after the cut taken as gone.
    if (!*text || !whole) return false;
    (*text)[used] = '\0';
    return true;
}

bool mount_parse_line(char *line, mount_entry *entry) {
    char *at = line;
    char *id = next_field(&at);
    char *parent = next_field(&at);
    char *device = next_field(&at);
    char *root = next_field(&at);
    char *point = next_field(&at);
    if (!id || !parent || !device || !root || !point) return false;
    // The options, then optional fields up to a lone "-", then the type.
    char *field = next_field(&at);
    while (field && strcmp(field, "-") != 0) field = next_field(&at);
    char *type = field ? next_field(&at) : nullptr;
    if (!type) return false;
    char *end;
    long number = strtol(id, &end, 10);
    if (*end || end == id || number < 0 || number > 0x7fffffff) return false;
    unescape(root);
    unescape(point);
    unescape(type);
    entry->id = static_cast<int>(number);
    entry->device = device;
    entry->root = root;
    entry->point = point;
    entry->type = type;
    return true;
}

bool mount_is_top(const char *path) {
    struct statx st;
    if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &st) != 0) return false;
    if (!(st.stx_mask & STATX_MNT_ID) || !(st.stx_attributes & STATX_ATTR_MOUNT_ROOT)) return false;
    fs_marks m = {};
    bool top = false;
    if (read_table(&m)) {
        for (char *line = m.text, *next; line && *line; line = next) {
            next = strchr(line, '\n');
            if (next) *next++ = '\0';
            mount_entry e;
            if (mount_parse_line(line, &e) && static_cast<uint64_t>(e.id) == st.stx_mnt_id) {
                top = strcmp(e.root, "/") == 0;
            }
        }
    }
    free(m.text);
    return top;
}

int marks_start(fs_marks *m, int fan_fd, uint64_t mask, const char *root) {
    memset(m, 0, sizeof *m);
    m->fan_fd = fan_fd;
    m->mask = mask;
    m->root = root;
    m->root_length = strlen(root);
    uint64_t fsid;
    if (!fsid_of(root, &fsid)) return errno;
    if (fanotify_mark(fan_fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD, root) != 0) {
        return errno;
    }
    return add(m, fsid, root) ? 0 : ENOMEM;
}

bool marks_update(fs_marks *m, record_fn on_record, void *context) {
    if (!read_table(m)) return false;
    bool changed = false;
    for (int i = 1; i < m->count; i++) m->items[i].seen = false;
    for (char *line = m->text, *next; line && *line; line = next) {
        next = strchr(line, '\n');
        if (next) *next++ = '\0';
        mount_entry e;
        if (mount_parse_line(line, &e) && below_root(m, e.point)) {
            changed |= mount_below(m, e.point, on_record, context);
        }
    }
    // The root's own filesystem stays: its mount going ends the watch.
    for (int i = m->count - 1; i >= 1; i--) {
        if (m->items[i].seen) continue;
        free(m->items[i].point);
        m->items[i] = m->items[--m->count];
        changed = true;
    }
    return changed;
}

const char *marks_point(const fs_marks *m, uint64_t fsid) {
    int i = find(m, fsid);
    return i >= 0 ? m->items[i].point : nullptr;
}

void marks_release(fs_marks *m) {
    for (int i = 0; i < m->count; i++) free(m->items[i].point);
    free(m->items);
    free(m->text);
    m->items = nullptr;
    m->text = nullptr;
    m->count = m->capacity = 0;
}

const char *mark_refusal(int error) {
    switch (error) {
    case EPERM: return "fanotify needs CAP_SYS_ADMIN";
    case EINVAL: return "fanotify needs Linux 5.17 or later";
    case ENOSYS: return "the kernel has no fanotify";
    case EOPNOTSUPP: return "the filesystem refuses a fanotify mark";
    case ENODEV: return "the filesystem cannot report file handles";
    case EXDEV: return "the filesystem's file handles are not unique";
    case EMFILE: return "fanotify group limit reached";
    default: return "fanotify refused";
    }
}
