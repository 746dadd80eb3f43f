// The bounded record queue between a watch's reader and its watcher.
#include "record_queue.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace {

// Each record: this header, then its path and its detail, each with a NUL.
struct entry_header {
    uint32_t size; // the whole entry
    uint32_t hash; // of kind, path and detail
    uint32_t path_length;
    uint32_t detail_length;
    uint16_t kind;
    uint8_t has_path;
    uint8_t has_detail;
};

const size_t HEADER = sizeof(entry_header);
// The smallest entry: a header and two NULs. The index has a slot for every
// 16 bytes of ring, more than 1.3 slots per entry however small the entries
// are: a probe always ends at a free slot.
const size_t SMALLEST_ENTRY = HEADER + 2;
const size_t RING_BYTES_PER_SLOT = 16;
static_assert(SMALLEST_ENTRY > RING_BYTES_PER_SLOT, "the index could fill up");

// The ring wraps: an entry may run past its end and go on at its start.
void ring_write(record_queue *q, size_t at, const void *data, size_t length) {
    at %= q->capacity;
    size_t first = q->capacity - at < length ? q->capacity - at : length;
    memcpy(q->ring + at, data, first);
    memcpy(q->ring, static_cast<const unsigned char *>(data) + first, length - first);
}

void ring_read(const record_queue *q, size_t at, void *out, size_t length) {
    at %= q->capacity;
    size_t first = q->capacity - at < length ? q->capacity - at : length;
    memcpy(out, q->ring + at, first);
    memcpy(static_cast<unsigned char *>(out) + first, q->ring, length - first);
}

bool ring_equal(const record_queue *q, size_t at, const void *data, size_t length) {
    at %= q->capacity;
    size_t first = q->capacity - at < length ? q->capacity - at : length;
    return memcmp(q->ring + at, data, first) == 0 &&
           memcmp(q->ring, static_cast<const unsigned char *>(data) + first, length - first) == 0;
}

size_t text_length(const char *text) { return text ? strlen(text) : 0; }

// FNV-1a, continued from hash over length bytes.
uint32_t mix(uint32_t hash, const void *data, size_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; i++) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

entry_header header_for(const record_queue *q, const watch_record *record) {
    entry_header h;
    memset(&h, 0, sizeof h);
    h.kind = static_cast<uint16_t>(record->kind);
    h.has_path = record->path != nullptr;
    h.has_detail = record->detail != nullptr;
    h.path_length = static_cast<uint32_t>(text_length(record->path));
    h.detail_length = static_cast<uint32_t>(text_length(record->detail));
    h.size = static_cast<uint32_t>(HEADER + h.path_length + 1 + h.detail_length + 1);
    // The flags tell a missing text from an empty one.
    unsigned char what[] = {static_cast<unsigned char>(h.kind), static_cast<unsigned char>(h.kind >> 8),
                            h.has_path, h.has_detail};
    uint32_t hash = mix(q->seed, what, sizeof what);
    hash = mix(hash, record->path ? record->path : "", h.path_length + 1);
    hash = mix(hash, record->detail ? record->detail : "", h.detail_length + 1);
    // The slot comes from the low bits: they must depend on every byte.
    hash ^= hash >> 16;
    hash *= 0x45d9f3bu;
    h.hash = hash ^ (hash >> 16);
    return h;
}

// Whether the entry at says what h and record say.
bool entry_is(const record_queue *q, size_t at, const entry_header &h, const watch_record *record) {
    entry_header waiting;
    ring_read(q, at, &waiting, HEADER);
    if (memcmp(&waiting, &h, HEADER) != 0) return false;
    at += HEADER;
    return (!h.has_path || ring_equal(q, at, record->path, h.path_length)) &&
           (!h.has_detail || ring_equal(q, at + h.path_length + 1, record->detail, h.detail_length));
}

// ---- the index of waiting records with a path: linear probing ----

// Whether a waiting record with a path says the same.
bool indexed_waiting(const record_queue *q, const entry_header &h, const watch_record *record) {
    for (size_t i = h.hash & q->slot_mask; q->slots[i].at; i = (i + 1) & q->slot_mask) {
        if (q->slots[i].hash == h.hash && entry_is(q, q->slots[i].at - 1, h, record)) return true;
    }
    return false;
}

void index_insert(record_queue *q, size_t at, uint32_t hash) {
    size_t i = hash & q->slot_mask;
    while (q->slots[i].at) i = (i + 1) & q->slot_mask;
    q->slots[i].at = static_cast<uint32_t>(at + 1);
    q->slots[i].hash = hash;
}

// Takes the entry that starts at at out of the index, moving back the slots
// after it that would no longer be found past the hole (no tombstones pile
// up in a queue that never empties).
void index_remove(record_queue *q, size_t at, uint32_t hash) {
    size_t i = hash & q->slot_mask;
    while (q->slots[i].at != at + 1) i = (i + 1) & q->slot_mask;
    for (size_t j = (i + 1) & q->slot_mask; q->slots[j].at; j = (j + 1) & q->slot_mask) {
        size_t home = q->slots[j].hash & q->slot_mask;
        // The slot at j stays when its home lies cyclically in (i, j].
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        q->slots[i] = q->slots[j];
        i = j;
    }
    q->slots[i].at = 0;
}

// Drops every waiting record.
void drop_all(record_queue *q) {
    while (q->used) {
        entry_header h;
        ring_read(q, q->head, &h, HEADER);
        if (h.has_path) index_remove(q, q->head, h.hash);
        q->head = (q->head + h.size) % q->capacity;
        q->used -= h.size;
    }
}

bool same_text(const char *a, const char *b) { return a ? b && strcmp(a, b) == 0 : !b; }

// Whether the record is absorbed by one still waiting: one with a path by
// any such record, or by the record in the watcher's hands before its
// detection starts; one without by the newest only.
bool absorbed(const record_queue *q, const entry_header &h, const watch_record *record) {
    if (h.has_path && q->in_hand && q->in_hand_hash == h.hash) {
        const watch_record &hand = q->hand->record;
        if (hand.kind == record->kind && same_text(hand.path, record->path) &&
            same_text(hand.detail, record->detail)) {
            return true;
        }
    }
    if (!q->used) return false;
    if (h.has_path) return indexed_waiting(q, h, record);
    return entry_is(q, q->newest, h, record);
}

// Appends without looking at merging or loss. False without room.
bool append(record_queue *q, const entry_header &h, const watch_record *record) {
    if (q->capacity - q->used < h.size) return false;
    if (!q->used) q->head = 0; // an empty ring starts again at its first pages
    size_t at = q->head + q->used;
    ring_write(q, at, &h, HEADER);
    ring_write(q, at + HEADER, record->path ? record->path : "", h.path_length + 1);
    ring_write(q, at + HEADER + h.path_length + 1, record->detail ? record->detail : "",
               h.detail_length + 1);
    q->newest = at % q->capacity;
    if (h.has_path) index_insert(q, q->newest, h.hash);
    q->used += h.size;
    q->queued++;
    return true;
}

} // namespace

bool queue_init(record_queue *q, size_t capacity) {
    memset(q, 0, sizeof *q);
    // Reserved once; only the pages a backlog reaches take memory.
    q->ring = static_cast<unsigned char *>(malloc(capacity));
    size_t slots = 8;
    while (slots < capacity / RING_BYTES_PER_SLOT) slots *= 2;
    // Zeroed by the kernel as each page is first touched.
    q->slots = static_cast<queue_slot *>(calloc(slots, sizeof(queue_slot)));
    q->slot_mask = slots - 1;
    // Names are chosen by whoever makes the files: with a hash they could
    // work out, they could make every push probe a long run of slots.
    if (getrandom(&q->seed, sizeof q->seed, GRND_NONBLOCK) != sizeof q->seed) {
        q->seed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(q) ^ static_cast<uintptr_t>(time(nullptr)));
    }
    q->seed ^= 2166136261u;
    q->drained_fd = q->ring && q->slots ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (q->drained_fd < 0) {
        free(q->ring);
        free(q->slots);
        return false;
    }
    q->capacity = capacity;
    pthread_mutex_init(&q->lock, nullptr);
    pthread_cond_init(&q->filled, nullptr);
    return true;
}

void queue_release(record_queue *q) {
    pthread_cond_destroy(&q->filled);
    pthread_mutex_destroy(&q->lock);
    close(q->drained_fd);
    free(q->ring);
    free(q->slots);
    q->ring = nullptr;
    q->slots = nullptr;
}

bool queue_push(record_queue *q, const watch_record *record) {
    entry_header h = header_for(q, record);
    pthread_mutex_lock(&q->lock);
    bool was_empty = q->used == 0 && !q->lost;
    bool queued = true;
    if (!absorbed(q, h, record)) {
        // After a loss, records are queued again once a quarter of the
        // queue is free, the loss told before them: what is dropped meanwhile
        // is found again by the reader, and resuming at every freed record
        // would print a loss line per detection all through a long burst.
        if (q->lost && q->used <= q->capacity - q->capacity / 4) {
            watch_record lost = {RECORD_LOST, nullptr, nullptr};
            if (append(q, header_for(q, &lost), &lost)) q->lost = false;
        }
        queued = !q->lost && append(q, h, record);
        if (!queued) q->lost = true;
    }
    if (was_empty) pthread_cond_signal(&q->filled);
    pthread_mutex_unlock(&q->lock);
    return queued;
}

void queue_tell(record_queue *q, const char *why) {
    watch_record record = {RECORD_UNWATCHED, "", why};
    queue_push(q, &record);
}

void queue_end(record_queue *q, int error) {
    pthread_mutex_lock(&q->lock);
    q->ended = true;
    q->error = error;
    pthread_cond_signal(&q->filled);
    pthread_mutex_unlock(&q->lock);
}

namespace {
// Called with the lock held. Dropped records count as taken, so that a
// set-up's end is still told once what came before it is gone.
void drop_waiting(record_queue *q) {
    drop_all(q);
    q->lost = false;
    q->taken = q->queued;
}

// Called with the lock held, after a take or when asked.
void tell_if_drained(record_queue *q) {
    if (!q->want_drained || q->used || q->lost) return;
    q->want_drained = false;
    uint64_t one = 1;
    // A counter that is already set is as good: the reader looks once.
    ssize_t written = write(q->drained_fd, &one, sizeof one);
    (void)written;
}
} // namespace

int64_t queue_drop_watch(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    drop_waiting(q);
    q->abandoned = false;
    q->watch++;
    int64_t since = q->drained_since;
    pthread_mutex_unlock(&q->lock);
    return since;
}

void queue_watching(record_queue *q, dev_t device, ino_t inode) {
    pthread_mutex_lock(&q->lock);
    q->device = device;
    q->inode = inode;
    pthread_mutex_unlock(&q->lock);
}

void queue_want_drained(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    q->want_drained = true;
    // Taken already: no take may come to tell it.
    tell_if_drained(q);
    pthread_mutex_unlock(&q->lock);
}

void queue_abandon(record_queue *q, unsigned long watch) {
    pthread_mutex_lock(&q->lock);
    if (watch == q->watch) {
        q->abandoned = true;
        drop_waiting(q);
        q->want_drained = true;
        tell_if_drained(q);
    }
    pthread_mutex_unlock(&q->lock);
}

bool queue_abandoned(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    bool abandoned = q->abandoned;
    pthread_mutex_unlock(&q->lock);
    return abandoned;
}

bool queue_push_paced(record_queue *q, const watch_record *record, unsigned long *pushed) {
    if (++*pushed % QUEUE_PACE == 0) {
        queue_want_drained(q);
        pollfd drained = {q->drained_fd, POLLIN, 0};
        while (poll(&drained, 1, -1) < 0 && errno == EINTR) {
        }
        uint64_t count;
        ssize_t taken = read(q->drained_fd, &count, sizeof count);
        (void)taken;
        if (queue_abandoned(q)) return false;
    }
    return queue_push(q, record);
}

void queue_set_up(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    q->set_up = true;
    q->set_up_at = q->queued;
    pthread_cond_signal(&q->filled);
    pthread_mutex_unlock(&q->lock);
}

void queue_mark(record_queue *q, int64_t since) {
    pthread_mutex_lock(&q->lock);
    if (since > q->reader_since) q->reader_since = since;
    if (q->drained_since == 0) q->drained_since = q->reader_since;
    pthread_mutex_unlock(&q->lock);
}

int64_t queue_drained_since(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    int64_t since = q->drained_since;
    pthread_mutex_unlock(&q->lock);
    return since;
}

void queue_detection_starts(record_queue *q) {
    pthread_mutex_lock(&q->lock);
    q->in_hand = false;
    pthread_mutex_unlock(&q->lock);
}

take_result queue_take(record_queue *q, taken_record *out, bool wait, int *error) {
    pthread_mutex_lock(&q->lock);
    // Whatever the watcher does with the record it had, it is done with it.
    q->in_hand = false;
    // The watcher comes back only once its last detection ended: with
    // nothing waiting, every change queued so far has been scanned. Not so
    // when the records were dropped.
    if (!q->used && !q->lost && !q->abandoned) q->drained_since = q->reader_since;
    while (wait && !q->used && !q->lost && !q->ended && !q->set_up) {
        pthread_cond_wait(&q->filled, &q->lock);
    }
    take_result result = TAKEN;
    if (q->set_up && q->taken >= q->set_up_at) {
        q->set_up = false;
        result = TAKE_SET_UP;
    } else if (q->used) {
        entry_header h;
        ring_read(q, q->head, &h, HEADER);
        ring_read(q, q->head + HEADER, out->path, h.path_length + 1);
        ring_read(q, q->head + HEADER + h.path_length + 1, out->detail, h.detail_length + 1);
        out->record.kind = static_cast<record_kind>(h.kind);
        out->record.path = h.has_path ? out->path : nullptr;
        out->record.detail = h.has_detail ? out->detail : nullptr;
        out->watch = q->watch;
        out->device = q->device;
        out->inode = q->inode;
        if (h.has_path) index_remove(q, q->head, h.hash);
        q->in_hand = h.has_path;
        q->in_hand_hash = h.hash;
        q->hand = out;
        q->head = (q->head + h.size) % q->capacity;
        q->used -= h.size;
        q->taken++;
    } else if (q->lost) {
        // Dropped with nothing queued after: told once the backlog is done.
        q->lost = false;
        out->record = watch_record{RECORD_LOST, nullptr, nullptr};
    } else if (q->ended) {
        *error = q->error;
        result = TAKE_ENDED;
    } else {
        result = TAKE_EMPTY;
    }
    tell_if_drained(q);
    pthread_mutex_unlock(&q->lock);
    return result;
}
