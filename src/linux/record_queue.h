// The queue between a watch's reader and its watcher: records in the order
// the reader made them, each path resolved when its event was read. The
// reader never waits on it; the watcher sleeps on it while it is empty.
//
// It is bounded: a record that finds no room is dropped, and so is every
// record after it until a quarter of the queue is free again; the watcher is
// told that changes were lost before any record queued after that.
//
// A record of a file (a path) that finds one of the same kind, path and
// detail still waiting anywhere in the queue is absorbed by it, which keeps
// its place; so is one the same as the record the watcher took last, until
// that record's detection starts (the detector then reads the file after the
// change, as a close read just after the write whose record was taken); as the kernel merges its own events: a file written a thousand
// times during one detection is scanned once more, and a flood of writes to
// N files holds at most N records, so a file changed after it waits for at
// most N detections. Records only ever move forward that way, never behind
// a loss line they preceded, and the waiting one is scanned after the change
// it absorbed. Records without a path (a loss) are absorbed only by the
// same record at the end of the queue: they say when something happened.
// The waiting records of files are found through an open-addressing index
// taken with the ring, with more slots than records can fit: no allocation
// per record, a few probes per push.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "capacities.h"
#include "os.h"

static const size_t RECORD_DETAIL_SIZE = 192;

// A record taken out of the queue, owned by the watcher's thread.
struct taken_record {
    watch_record record; // points into the buffers below
    char path[PATH_CAPACITY];
    char detail[RECORD_DETAIL_SIZE];
    // The watch it came from, and the folder that watch watches: its path
    // holds only while the field still names that folder.
    unsigned long watch;
    dev_t device;
    ino_t inode;
};

// A slot of the index: where a waiting record starts in the ring, plus one
// (0 for a free slot), and the record's hash.
struct queue_slot {
    uint32_t at;
    uint32_t hash;
};

struct record_queue {
    pthread_mutex_t lock;
    pthread_cond_t filled;
    unsigned char *ring;
    size_t capacity;
    queue_slot *slots;        // the index of waiting records with a path
    size_t slot_mask;         // slots - 1, a power of two less one
    uint32_t seed;            // of the records' hashes
    size_t head;   // where the oldest record starts
    size_t used;   // bytes of records waiting
    size_t newest; // where the newest waiting record starts, when used
    bool lost;     // records were dropped since the last one queued
    bool ended;    // the reader is done: no record follows
    int error;     // why it ended
    unsigned long queued; // records queued so far
    unsigned long taken;  // records taken so far
    bool set_up;          // set-up is done once the first set_up_at are taken
    unsigned long set_up_at;
    // The record the watcher took last, while its detection is still to
    // start: its hash, and the watcher's copy (read under the lock only).
    bool in_hand;
    uint32_t in_hand_hash;
    const taken_record *hand;
    int drained_fd;       // an eventfd the watcher signals once it took everything
    bool want_drained;
    bool abandoned;       // the watcher wants no more records: the reader stops
    // No change the reader has yet to queue was made before reader_since
    // (nanoseconds since the epoch; set by the reader before each batch of
    // events). drained_since is what reader_since was when the watcher last
    // came back for a record and found none: every change made before it had
    // been handed to detection, and that detection had ended.
    int64_t reader_since;
    int64_t drained_since;
    // The watch the reader runs now (one more each time the field's folder
    // is watched again), and the folder it watches.
    unsigned long watch;
    dev_t device;
    ino_t inode;
};

// False when the queue's storage cannot be had. A capacity below 4 GiB.
bool queue_init(record_queue *queue, size_t capacity);
void queue_release(record_queue *queue);

// Reader: queues a record, or drops it when there is no room. True when it
// is queued or absorbed by a waiting one.
bool queue_push(record_queue *queue, const watch_record *record);

// Reader: queues a line on the whole field, why (a static text): something
// is not watched there as it should be.
void queue_tell(record_queue *queue, const char *why);

// Reader: no record follows; the watcher ends with error once it has taken
// every record.
void queue_end(record_queue *queue, int error);

// Reader: the watch ended and the field no longer names its folder. Its
// records are dropped (their paths lead where the field no longer does), and
// so is the watcher's wish to abandon it. Returns the drained mark as it
// stood (see drained_since): every change after it that was not handed over
// is to be looked for again.
int64_t queue_drop_watch(record_queue *queue);

// Reader: the next watch watches the folder device/inode.
void queue_watching(record_queue *queue, dev_t device, ino_t inode);

// Reader: asks to be told, through drained_fd, once the watcher has taken
// every record queued (now or later).
void queue_want_drained(record_queue *queue);

// Watcher: the field no longer names the folder of watch. Unless another
// watch has begun since, drops what is queued and asks the reader to stop
// (through drained_fd); the drained mark stays where it is until the next
// watch begins.
void queue_abandon(record_queue *queue, unsigned long watch);
// Reader: whether the watcher abandoned the queue.
bool queue_abandoned(record_queue *queue);

// Reader, handing over a walk of a tree, which comes faster than the watcher
// takes it: queues record as queue_push does, but every QUEUE_PACE records
// first waits until the watcher has taken what is queued, so that a walk
// larger than the queue is not dropped (and walked again, and dropped
// again). *pushed counts the walk's records. False when the record was
// dropped, or the watcher gave the watch up meanwhile.
static const unsigned long QUEUE_PACE = 4096;
bool queue_push_paced(record_queue *queue, const watch_record *record, unsigned long *pushed);

// Reader: no change it has yet to queue was made before since (nanoseconds
// since the epoch); never moves back. The first call also starts the
// drained mark: changes made before the watch began are not its own.
void queue_mark(record_queue *queue, int64_t since);

// Reader: the moment before which every change had been handed to
// detection and that detection had ended (see drained_since).
int64_t queue_drained_since(record_queue *queue);

// Reader: the watch is set up; the watcher learns it once it has taken the
// records queued so far (those of the set-up).
void queue_set_up(record_queue *queue);

// Watcher: the detection of the record taken last starts now; a change
// read from now on is a record of its own.
void queue_detection_starts(record_queue *queue);

enum take_result { TAKEN, TAKE_EMPTY, TAKE_ENDED, TAKE_SET_UP };

// Watcher: takes the oldest record into out. With wait, sleeps until there
// is one or the reader ended; else TAKE_EMPTY when there is none now.
// TAKE_SET_UP once, when the records of the set-up have been taken.
// TAKE_ENDED, with *error, once the reader ended and every record was taken.
take_result queue_take(record_queue *queue, taken_record *out, bool wait, int *error);
