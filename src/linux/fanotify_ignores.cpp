// The fanotify reader's ignore marks, and the bounded set that knows them.
#include "fanotify_ignores.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>
#include <unistd.h>

#ifndef FAN_MARK_EVICTABLE
#define FAN_MARK_EVICTABLE 0x00000200 // Linux 5.19
#endif
#ifndef FAN_MARK_IGNORE
#define FAN_MARK_IGNORE 0x00000400 // Linux 6.0
#endif

namespace {

// An ignore mask applies to writes to children only with FAN_EVENT_ON_CHILD,
// and to folders made or removed in it only with FAN_ONDIR; it must survive
// the folder's own changes, which a folder's mark is refused without.
const unsigned PLACE_FLAGS =
    FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_EVICTABLE | FAN_MARK_IGNORED_SURV_MODIFY;
const unsigned REMOVE_FLAGS = FAN_MARK_REMOVE | FAN_MARK_IGNORE;
const uint64_t NAMES = FAN_CREATE | FAN_DELETE | FAN_ONDIR;
const uint64_t WRITES = FAN_MODIFY | FAN_CLOSE_WRITE | FAN_EVENT_ON_CHILD;

ignored_folder *slot_of(ignore_marks *m, const fan_handle &h) {
    return slot_keeping(m->slots, IGNORE_SETS, IGNORE_WAYS, h);
}

// Gives up the mark of the folder in slot s.
void remove_mark(ignore_marks *m, ignored_folder *s) {
    fan_handle h = {s->key.fsid, s->key.type, s->key.size, s->key.bytes};
    int fd = -1;
    int error = m->open(m->context, h, &fd);
    if (!error) {
        if (fanotify_mark(m->fan_fd, REMOVE_FLAGS, s->mask, fd, ".") != 0 && errno != ENOENT) {
            m->stray = true;
        }
        close(fd);
    } else if (error != ESTALE && error != ENOENT) {
        // Not deleted (a deleted folder's mark goes with its inode), yet
        // not found: the next flush takes its mark.
        m->stray = true;
    }
    s->key.size = 0;
    m->held--;
}

} // namespace

uint64_t ignore_mask(bool writes) { return writes ? NAMES | WRITES : NAMES; }

bool ignores_init(ignore_marks *m, int fan_fd, ignore_open_fn open, void *context) {
    memset(m, 0, sizeof *m);
    m->fan_fd = fan_fd;
    m->open = open;
    m->context = context;
    // Zeroed pages are taken only as slots are used.
    m->slots = static_cast<ignored_folder *>(calloc(IGNORE_SETS * IGNORE_WAYS, sizeof(ignored_folder)));
    return m->slots != nullptr;
}

void ignores_release(ignore_marks *m) {
    free(m->slots);
    m->slots = nullptr;
}

uint64_t ignores_wanted(ignore_marks *m, const fan_handle &h, uint64_t event_mask, bool writes) {
    if (m->refused) return 0;
    uint64_t want = ignore_mask(writes);
    ignored_folder *s = slot_of(m, h);
    if (!s) return key_fits(h) ? want : 0;
    s->key.used_at = ++m->clock;
    if ((s->mask & want) != want) return want | s->mask;
    if (!(event_mask & s->mask & (NAMES | WRITES))) return 0;
    // An event its mark ignores: queued before the mark, or the kernel
    // dropped the mark with the folder's inode.
    if (++s->hits < IGNORE_REPLACE_AFTER) return 0;
    s->hits = 0;
    return s->mask;
}

void ignores_place(ignore_marks *m, const fan_handle &h, int fd, uint64_t mask) {
    if (fanotify_mark(m->fan_fd, PLACE_FLAGS, mask, fd, ".") != 0) {
        // A kernel without evictable ignore marks: every event is read, as
        // before. Other refusals (the marks a user may hold) are for now.
        if (errno == EINVAL) m->refused = true;
        return;
    }
    m->placed++;
    if (mask & FAN_MODIFY) m->writes = true;
    ignored_folder *s = slot_of(m, h);
    if (!s) {
        s = slot_to_take(m->slots, IGNORE_SETS, IGNORE_WAYS, h, m->clock);
        if (s->key.size != 0) remove_mark(m, s);
        m->held++;
        key_set(&s->key, h);
    }
    s->mask = mask;
    s->hits = 0;
    s->key.used_at = ++m->clock;
}

void ignores_flush(ignore_marks *m) {
    if (!m->held && !m->stray) return;
    // Every inode mark of the group is an ignore mark: the filesystems'
    // own marks stay. (Refused only for a descriptor that is no group.)
    fanotify_mark(m->fan_fd, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
    for (size_t i = 0; i < IGNORE_SETS * IGNORE_WAYS && m->held; i++) {
        if (m->slots[i].key.size == 0) continue;
        m->slots[i].key.size = 0;
        m->held--;
    }
    m->held = 0;
    m->stray = false;
    m->writes = false;
}

bool ignores_hide_writes(const ignore_marks *m) { return m->writes || m->stray; }
