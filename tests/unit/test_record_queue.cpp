// The record queue between a watch's reader and its watcher: order, merging
// with any waiting record of the same file, loss told in its place,
// wrapping, ending.
#include <gtest/gtest.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "record_queue.h"

namespace {

struct queue_fixture {
    record_queue queue;
    taken_record taken;
    explicit queue_fixture(size_t capacity) { EXPECT_TRUE(queue_init(&queue, capacity)); }
    ~queue_fixture() { queue_release(&queue); }

    bool push(record_kind kind, const char *path, const char *detail = nullptr) {
        watch_record record = {kind, path, detail};
        return queue_push(&queue, &record);
    }

    // Everything waiting, as "kind:path:detail" lines; "end:N" once ended.
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        int error = 0;
        for (;;) {
            take_result result = queue_take(&queue, &taken, false, &error);
            if (result == TAKE_EMPTY) return out;
            if (result == TAKE_ENDED) {
                out.push_back("end:" + std::to_string(error));
                return out;
            }
            const watch_record &r = taken.record;
            out.push_back(std::to_string(r.kind) + ":" + (r.path ? r.path : "-") + ":" +
                          (r.detail ? r.detail : "-"));
        }
    }
};

typedef std::vector<std::string> lines;

} // namespace

TEST(RecordQueue, AnyWaitingRecordOfTheSameFileAbsorbsANewOneInItsPlace) {
    queue_fixture q(4096);
    EXPECT_TRUE(q.push(RECORD_CHANGE, "a"));
    EXPECT_TRUE(q.push(RECORD_CHANGE, "b"));
    EXPECT_TRUE(q.push(RECORD_CHANGE, "a")); // absorbed by the first, ahead of b
    EXPECT_TRUE(q.push(RECORD_UNREPRESENTABLE, "a")); // another kind
    EXPECT_TRUE(q.push(RECORD_UNWATCHED, "a", "why"));
    EXPECT_TRUE(q.push(RECORD_UNWATCHED, "a", "other"));
    EXPECT_TRUE(q.push(RECORD_UNWATCHED, "a", "why"));
    EXPECT_TRUE(q.push(RECORD_UNWATCHED, "", "why")); // an empty path is a path
    EXPECT_TRUE(q.push(RECORD_CHANGE, "b"));
    EXPECT_EQ(q.drain(), (lines{"0:a:-", "0:b:-", "3:a:-", "4:a:why", "4:a:other", "4::why"}));
    // Taken out, it is no longer waiting: the same change is queued anew.
    EXPECT_TRUE(q.push(RECORD_CHANGE, "a"));
    EXPECT_EQ(q.drain(), (lines{"0:a:-"}));
}

TEST(RecordQueue, TheRecordTakenAbsorbsTheSameUntilItsDetectionStarts) {
    queue_fixture q(4096);
    int error = 0;
    q.push(RECORD_CHANGE, "a");
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    EXPECT_TRUE(q.push(RECORD_CHANGE, "a")); // a close read just after: scanned anyway
    EXPECT_TRUE(q.push(RECORD_UNWATCHED, "a", "why")); // not the same record
    EXPECT_EQ(q.drain(), (lines{"4:a:why"}));
    q.push(RECORD_CHANGE, "b");
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    queue_detection_starts(&q.queue);
    EXPECT_TRUE(q.push(RECORD_CHANGE, "b")); // the detector may have read it already
    EXPECT_EQ(q.drain(), (lines{"0:b:-"}));
    // A loss taken is no file's: nothing is absorbed by it.
    q.push(RECORD_LOST, nullptr);
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    q.push(RECORD_LOST, nullptr);
    EXPECT_EQ(q.drain(), (lines{"1:-:-"}));
}

TEST(RecordQueue, ALossIsAbsorbedOnlyByTheNewestRecordAndNothingMovesBehindIt) {
    queue_fixture q(4096);
    q.push(RECORD_LOST, nullptr);
    q.push(RECORD_LOST, nullptr); // the same moment
    q.push(RECORD_CHANGE, "a");
    q.push(RECORD_LOST, nullptr);
    q.push(RECORD_CHANGE, "a"); // absorbed ahead of the loss, where it was
    q.push(RECORD_UNREADABLE, nullptr);
    q.push(RECORD_LOST, nullptr);
    EXPECT_EQ(q.drain(), (lines{"1:-:-", "0:a:-", "1:-:-", "2:-:-", "1:-:-"}));
}

TEST(RecordQueue, AFullQueueStillAbsorbsWhatWaits) {
    queue_fixture q(256);
    int queued = 0;
    while (q.push(RECORD_CHANGE, ("file" + std::to_string(queued)).c_str())) queued++;
    // Dropping: a new file is lost, a waiting one's change is not.
    EXPECT_FALSE(q.push(RECORD_CHANGE, "new"));
    EXPECT_TRUE(q.push(RECORD_CHANGE, "file0"));
    lines taken = q.drain();
    ASSERT_EQ(static_cast<int>(taken.size()), queued + 1);
    EXPECT_EQ(taken.front(), "0:file0:-");
    EXPECT_EQ(taken.back(), "1:-:-");
}

TEST(RecordQueue, AFloodOfWritesToTwoFilesHoldsTwoRecords) {
    queue_fixture q(16384);
    int error = 0;
    int detections = 0;
    for (int i = 0; i < 6000; i++) {
        ASSERT_TRUE(q.push(RECORD_CHANGE, i % 2 ? "one" : "two"));
        // The watcher takes a record now and then, as its detections end.
        if (i % 100 == 0 && queue_take(&q.queue, &q.taken, false, &error) == TAKEN) {
            queue_detection_starts(&q.queue);
            detections++;
        }
    }
    ASSERT_TRUE(q.push(RECORD_CHANGE, "after"));
    lines rest = q.drain();
    EXPECT_LE(rest.size(), 3u);
    EXPECT_EQ(rest.back(), "0:after:-");
    EXPECT_EQ(detections, 60);
}

// Pushes and takes at random against a plain list of what waits: the index
// must find every waiting record and nothing taken, through wraps and the
// moves of its slots when one is taken. Each seed of the hash places the
// records elsewhere among the slots.
TEST(RecordQueue, TheIndexFindsExactlyWhatWaits) {
    for (uint32_t seed = 0; seed < 40; seed++) {
        queue_fixture q(4096); // 256 slots for at most 100 files waiting: collisions
        q.queue.seed = seed;
        std::mt19937 random(seed);
        std::vector<std::string> model;
        for (int step = 0; step < 20000; step++) {
            if (random() % 3) {
                std::string path = "f" + std::to_string(random() % 100);
                ASSERT_TRUE(q.push(RECORD_CHANGE, path.c_str()));
                if (std::find(model.begin(), model.end(), path) == model.end()) model.push_back(path);
                continue;
            }
            int error = 0;
            take_result taken = queue_take(&q.queue, &q.taken, false, &error);
            ASSERT_EQ(taken, model.empty() ? TAKE_EMPTY : TAKEN);
            if (model.empty()) continue;
            queue_detection_starts(&q.queue);
            ASSERT_EQ(std::string(q.taken.record.path), model.front()) << "seed " << seed;
            model.erase(model.begin());
        }
    }
}

TEST(RecordQueue, WhatWasDroppedAtOnceIsNoLongerWaiting) {
    queue_fixture q(4096);
    q.push(RECORD_CHANGE, "a");
    q.push(RECORD_CHANGE, "b");
    queue_abandon(&q.queue, q.queue.watch);
    EXPECT_TRUE(q.push(RECORD_CHANGE, "a"));
    EXPECT_EQ(q.drain(), (lines{"0:a:-"}));
}

TEST(RecordQueue, ALossIsToldBeforeWhatCameAfterIt) {
    queue_fixture q(128);
    std::string name(40, 'x');
    int queued = 0;
    while (q.push(RECORD_CHANGE, (name + std::to_string(queued)).c_str())) queued++;
    EXPECT_FALSE(q.push(RECORD_CHANGE, "dropped too"));
    lines first = q.drain();
    ASSERT_EQ(static_cast<int>(first.size()), queued + 1);
    EXPECT_EQ(first.back(), "1:-:-"); // told once the backlog is done
    EXPECT_TRUE(q.push(RECORD_CHANGE, "later"));
    EXPECT_EQ(q.drain(), (lines{"0:later:-"}));
    // With room again before the watcher looks, the loss goes ahead of the next.
    while (q.push(RECORD_CHANGE, (name + std::to_string(queued++)).c_str())) {
    }
    int error = 0;
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    EXPECT_TRUE(q.push(RECORD_CHANGE, "after"));
    lines rest = q.drain();
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(lines(rest.end() - 2, rest.end()), (lines{"1:-:-", "0:after:-"}));
}

TEST(RecordQueue, RecordsWrapAroundTheRingWhole) {
    queue_fixture q(110);
    std::string a(30, 'a'), b(30, 'b');
    for (int round = 0; round < 20; round++) {
        ASSERT_TRUE(q.push(RECORD_CHANGE, a.c_str()));
        taken_record &t = q.taken;
        int error = 0;
        ASSERT_EQ(queue_take(&q.queue, &t, false, &error), TAKEN);
        EXPECT_EQ(std::string(t.record.path), a);
        queue_detection_starts(&q.queue);
        ASSERT_TRUE(q.push(RECORD_CHANGE, b.c_str()));
        ASSERT_TRUE(q.push(RECORD_CHANGE, a.c_str()));
        EXPECT_EQ(q.drain(), (lines{"0:" + b + ":-", "0:" + a + ":-"}));
    }
}

TEST(RecordQueue, EndsAfterEveryRecord) {
    queue_fixture kept(4096);
    kept.push(RECORD_CHANGE, "a");
    queue_end(&kept.queue, 2);
    EXPECT_EQ(kept.drain(), (lines{"0:a:-", "end:2"}));
}

// A watch that ends because the field no longer names its folder: its
// records are dropped, the watcher's abandon of it (even one that comes
// late) does not reach the next watch, and the drained mark does not move
// past records that were dropped.
TEST(RecordQueue, AWatchDroppedLeavesTheNextOneWhole) {
    queue_fixture q(4096);
    queue_mark(&q.queue, 100);
    queue_watching(&q.queue, 1, 10);
    q.push(RECORD_CHANGE, "a");
    q.push(RECORD_CHANGE, "b");
    queue_set_up(&q.queue); // told once a and b are gone
    queue_mark(&q.queue, 200);
    int error = 0;
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    EXPECT_EQ(q.taken.watch, 0u);
    EXPECT_EQ(q.taken.device, 1u);
    EXPECT_EQ(q.taken.inode, 10u);
    queue_abandon(&q.queue, q.taken.watch); // "a" was under a field that moved on
    EXPECT_TRUE(queue_abandoned(&q.queue));
    // "b" dropped, not handed over; the set-up it came with is still told.
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKE_SET_UP);
    EXPECT_EQ(q.drain(), (lines{}));
    EXPECT_EQ(queue_drained_since(&q.queue), 100);
    EXPECT_EQ(queue_drop_watch(&q.queue), 100);
    EXPECT_FALSE(queue_abandoned(&q.queue));
    queue_watching(&q.queue, 1, 11);
    q.push(RECORD_CHANGE, "c");
    queue_abandon(&q.queue, 0); // late, from the watch before: void
    EXPECT_FALSE(queue_abandoned(&q.queue));
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    EXPECT_EQ(std::string(q.taken.record.path), "c");
    EXPECT_EQ(q.taken.watch, 1u);
    EXPECT_EQ(q.taken.inode, 11u);
    // The reader drops what the field no longer leads to; records of the
    // next watch come after.
    q.push(RECORD_CHANGE, "d");
    EXPECT_EQ(queue_drop_watch(&q.queue), 100);
    q.push(RECORD_FIELD_GONE, nullptr);
    EXPECT_EQ(q.drain(), (lines{std::to_string(RECORD_FIELD_GONE) + ":-:-"}));
    EXPECT_EQ(queue_drained_since(&q.queue), 200);
}

TEST(RecordQueue, AReaderThatAsksOnceEverythingIsTakenIsToldAtOnce) {
    queue_fixture q(4096);
    uint64_t count = 0;
    // Asked while a record waits: told when it is taken.
    q.push(RECORD_CHANGE, "a");
    queue_want_drained(&q.queue);
    EXPECT_LT(read(q.queue.drained_fd, &count, sizeof count), 0);
    q.drain();
    EXPECT_EQ(read(q.queue.drained_fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    // Asked when all is taken already: no take is left to tell it.
    queue_want_drained(&q.queue);
    EXPECT_EQ(read(q.queue.drained_fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
}

TEST(RecordQueue, AfterALossRecordsAreQueuedAgainOnlyOnceAQuarterIsFree) {
    queue_fixture q(1024);
    std::string name(40, 'x');
    int queued = 0;
    while (q.push(RECORD_CHANGE, (name + std::to_string(queued)).c_str())) queued++;
    int error = 0;
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    // One record's room: still dropping, no loss told in between.
    EXPECT_FALSE(q.push(RECORD_CHANGE, "dropped"));
    while (q.queue.used > q.queue.capacity - q.queue.capacity / 4) {
        ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    }
    EXPECT_TRUE(q.push(RECORD_CHANGE, "after"));
    lines rest = q.drain();
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(lines(rest.end() - 2, rest.end()), (lines{"1:-:-", "0:after:-"}));
    EXPECT_EQ(std::count(rest.begin(), rest.end(), "1:-:-"), 1);
}

namespace {

// The drained mark: what the reader had marked when the watcher last came
// back for a record and found none. A take that finds a record waiting is
// no such moment: that record's detection is still to come.
TEST(RecordQueue, DrainedMarkMovesOnlyWhenTheWatcherFindsNothingWaiting) {
    queue_fixture q(4096);
    queue_mark(&q.queue, 100);
    EXPECT_EQ(queue_drained_since(&q.queue), 100); // the watch's start
    q.push(RECORD_CHANGE, "a");
    queue_mark(&q.queue, 200);
    int error = 0;
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKEN);
    EXPECT_EQ(queue_drained_since(&q.queue), 100);
    queue_mark(&q.queue, 150); // never back
    ASSERT_EQ(queue_take(&q.queue, &q.taken, false, &error), TAKE_EMPTY);
    EXPECT_EQ(queue_drained_since(&q.queue), 200);
}

} // namespace
