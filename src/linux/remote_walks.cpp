// The periodic walks of the parts of a tree whose changes can come from
// elsewhere.
#include "remote_walks.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mount_watch.h"
#include "os.h"

namespace {

int64_t clock_ns(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Whether relative is prefix, or lies below it ("" holds everything).
bool holds(const char *prefix, const char *relative) {
    size_t length = strlen(prefix);
    if (!length) return true;
    return strncmp(relative, prefix, length) == 0 &&
           (relative[length] == '\0' || relative[length] == '/');
}

// Whether item i lies in another part walked: that walk covers it.
bool covered(const remote_walks *w, int i) {
    for (int j = 0; j < w->count; j++) {
        if (j == i) continue;
        bool same = strcmp(w->items[j].relative, w->items[i].relative) == 0;
        if (same ? j < i : holds(w->items[j].relative, w->items[i].relative)) return true;
    }
    return false;
}

// Keeps only the bytes a type name is made of, so the line stays short and
// plain whatever a FUSE daemon calls itself.
void plain_type(const char *type, char *out, size_t capacity) {
    size_t n = 0;
    for (; type[n] && n + 1 < capacity; n++) {
        char c = type[n];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-' || c == '+';
        out[n] = plain ? c : '?';
    }
    out[n] = '\0';
}

// One part walked for what changed since its last walk began; false when
// it was not found.
bool walk_one(remote_tree *item, const lister_ops *lister, hand_record_fn on_record,
              void *context) {
    int64_t started = clock_ns(CLOCK_REALTIME);
    int error = 0;
    void *folder = lister->open_below(lister->context, nullptr, item->relative, &error);
    if (!folder) {
        // Unmounted, or moved with a folder above it: the table tells
        // which. Anything else is said, and walked again.
        if (error == ENOENT || error == ENOTDIR) return false;
        char text[128];
        watch_record record = {RECORD_UNWATCHED, item->relative, strerror_r(error, text, sizeof text)};
        on_record(context, &record);
        return true;
    }
    if (walk_changed_below(lister, folder, item->relative, item->since, on_record, context)) {
        item->since = started;
    }
    lister->close(lister->context, folder);
    return true;
}

} // namespace

void remote_start(remote_walks *w, unsigned interval_seconds) {
    memset(w, 0, sizeof *w);
    w->interval = interval_seconds;
}

void remote_mount_added(remote_walks *w, const char *relative, const char *type, int mount_id,
                        hand_record_fn on_record, void *context) {
    if (!mount_type_remote(type)) return;
    char *copy = strdup(relative);
    if (copy && w->count == w->capacity) {
        int capacity = w->capacity ? w->capacity * 2 : 8;
        void *grown = realloc(w->items, static_cast<size_t>(capacity) * sizeof *w->items);
        if (grown) {
            w->items = static_cast<remote_tree *>(grown);
            w->capacity = capacity;
        }
    }
    if (!copy || w->count == w->capacity) {
        free(copy);
        watch_record lost = {RECORD_UNWATCHED, relative,
                             "out of memory: changes made elsewhere are not found"};
        on_record(context, &lost);
        return;
    }
    if (w->interval && remote_wait_ms(w) < 0) {
        w->due = clock_ns(CLOCK_MONOTONIC) + static_cast<int64_t>(w->interval) * 1000000000;
    }
    remote_tree &item = w->items[w->count++];
    item.relative = copy;
    item.since = clock_ns(CLOCK_REALTIME);
    item.mount_id = mount_id;
    item.told = false;
    plain_type(type, item.type, sizeof item.type);
}

void remote_tell(remote_walks *w, hand_record_fn on_record, void *context) {
    for (int i = 0; i < w->count; i++) {
        remote_tree &item = w->items[i];
        if (item.told) continue;
        item.told = true;
        if (w->interval) {
            snprintf(w->detail, sizeof w->detail,
                     "%s: changes made elsewhere are found by a walk every %u s", item.type, w->interval);
        } else {
            snprintf(w->detail, sizeof w->detail,
                     "%s: changes made elsewhere are not found, MONITOR_RESCAN_SECONDS is 0", item.type);
        }
        // One that finds no room is within the loss line the queue prints.
        watch_record record = {RECORD_UNWATCHED, item.relative, w->detail};
        on_record(context, &record);
    }
}

void remote_mount_removed(remote_walks *w, int mount_id) {
    int kept = 0;
    for (int i = 0; i < w->count; i++) {
        if (w->items[i].mount_id == mount_id) {
            free(w->items[i].relative);
        } else {
            w->items[kept++] = w->items[i];
        }
    }
    w->count = kept;
}

int remote_wait_ms(const remote_walks *w) {
    if (!w->count || !w->interval) return -1;
    int64_t left = w->due - clock_ns(CLOCK_MONOTONIC);
    if (left <= 0) return 0;
    int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool remote_walk_due(remote_walks *w, const lister_ops *lister, hand_record_fn on_record,
                     void *context) {
    if (remote_wait_ms(w) != 0) return false;
    int64_t started = clock_ns(CLOCK_MONOTONIC);
    bool missing = false;
    for (int i = 0; i < w->count; i++) {
        if (!covered(w, i) && !walk_one(&w->items[i], lister, on_record, context)) missing = true;
    }
    // From this walk's start: one that took longer than the interval is
    // followed by the next at once, never by two.
    w->due = started + static_cast<int64_t>(w->interval) * 1000000000;
    return missing;
}

void remote_release(remote_walks *w) {
    for (int i = 0; i < w->count; i++) free(w->items[i].relative);
    free(w->items);
    w->items = nullptr;
    w->count = w->capacity = 0;
}
