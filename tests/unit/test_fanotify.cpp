// The fanotify reader's parts without the kernel: the handle-to-path cache
// and its invalidation, the translation of crafted events against a fake
// kernel (paths as they were when each event happened, the root's bounds,
// the monitor's own changes, loss, malformed records), and the mount table.
#include <gtest/gtest.h>

#include <algorithm>
#include <errno.h>
#include <string.h>
#include <sys/fanotify.h>

#include "fake_fanotify.h"
#include "mounts.h"
#include "path_cache.h"

namespace {

typedef std::vector<std::string> lines;

struct handle_of {
    uint32_t number;
    fan_handle handle() const {
        return fan_handle{FAKE_FSID, 1, 4, reinterpret_cast<const unsigned char *>(&number)};
    }
};

std::string cached(path_cache *c, uint32_t number) {
    handle_of h{number};
    size_t length = 0;
    const char *path = cache_find(c, h.handle(), &length);
    return path ? std::string(path, length) : "(none)";
}

void put(path_cache *c, uint32_t number, const std::string &path) {
    handle_of h{number};
    cache_put(c, h.handle(), path.c_str(), path.size());
}

struct cache_fixture : ::testing::Test {
    path_cache cache;
    void SetUp() override { ASSERT_TRUE(cache_init(&cache)); }
    void TearDown() override { cache_release(&cache); }
};

// Folders 1 to 9 of the fake kernel: 1 is the root.
const uint32_t ROOT = 1, OUTSIDE = 2, SIBLING = 3, A = 4, N = 5;

struct translation : ::testing::Test {
    fake_kernel kernel;
    fan_translator t;
    event_writer events;
    void SetUp() override { start("/r"); }
    void TearDown() override { translator_release(&t); }
    void start(const char *root) {
        kernel.folders = {{ROOT, root}, {OUTSIDE, "/o"}, {SIBLING, "/r2"}};
        fan_ops ops = kernel.ops();
        ASSERT_TRUE(translator_init(&t, root, &ops));
    }
    lines run() {
        lines out = translate(&t, &kernel, events.bytes);
        events.bytes.clear();
        return out;
    }
};

} // namespace

TEST_F(cache_fixture, FindsWhatWasPutAndForgetsWhatWasDropped) {
    put(&cache, 7, "/r/a");
    put(&cache, 8, "/r/b");
    EXPECT_EQ(cached(&cache, 7), "/r/a");
    put(&cache, 7, "/r/c"); // replaced, not added
    EXPECT_EQ(cached(&cache, 7), "/r/c");
    handle_of seven{7};
    cache_drop(&cache, seven.handle());
    EXPECT_EQ(cached(&cache, 7), "(none)");
    EXPECT_EQ(cached(&cache, 8), "/r/b");
    cache_clear(&cache);
    EXPECT_EQ(cached(&cache, 8), "(none)");
}

TEST_F(cache_fixture, ARenamedFolderDropsEveryPathBelowItAndNoNeighbour) {
    put(&cache, 1, "/r/a");
    put(&cache, 2, "/r/a/b");
    put(&cache, 3, "/r/a/b/c");
    put(&cache, 4, "/r/ab");
    put(&cache, 5, "/r");
    cache_drop_below(&cache, "/r/a", 4);
    EXPECT_EQ(cached(&cache, 1), "(none)");
    EXPECT_EQ(cached(&cache, 2), "(none)");
    EXPECT_EQ(cached(&cache, 3), "(none)");
    EXPECT_EQ(cached(&cache, 4), "/r/ab");
    EXPECT_EQ(cached(&cache, 5), "/r");
}

TEST_F(cache_fixture, TooLongToCacheDropsTheOldPathAndAFullSetGivesUpItsLeastUsed) {
    put(&cache, 1, "/r/a");
    put(&cache, 1, std::string(CACHE_PATH_MAX + 1, 'x'));
    EXPECT_EQ(cached(&cache, 1), "(none)");
    unsigned char long_bytes[HANDLE_KEY_MAX + 1] = {};
    fan_handle too_long = {FAKE_FSID, 1, sizeof long_bytes, long_bytes};
    cache_put(&cache, too_long, "/r", 2);
    size_t length;
    EXPECT_EQ(cache_find(&cache, too_long, &length), nullptr);
    // Bounded: of many more handles than slots, at most a slot's worth
    // stay; one looked up all along stays, the first one put does not.
    const uint32_t MANY = CACHE_SETS * CACHE_WAYS * 8;
    put(&cache, 1, "/kept");
    put(&cache, 2, "/first");
    for (uint32_t n = 10; n < 10 + MANY; n++) {
        put(&cache, n, "/r/" + std::to_string(n));
        ASSERT_EQ(cached(&cache, 1), "/kept");
    }
    EXPECT_EQ(cached(&cache, 2), "(none)");
    size_t found = 0;
    for (uint32_t n = 10; n < 10 + MANY; n++) found += cached(&cache, n) != "(none)";
    EXPECT_LE(found, CACHE_SETS * CACHE_WAYS - 1);
    EXPECT_GT(found, CACHE_SETS * CACHE_WAYS / 2);
}

TEST_F(translation, FilesUnderTheRootAreReportedRelativeAndNothingElse) {
    events.change(FAN_CREATE, ROOT, "a");
    events.change(FAN_MODIFY, ROOT, "a");
    events.change(FAN_DELETE, OUTSIDE, "b");
    events.change(FAN_CREATE, SIBLING, "c"); // /r2 only starts like /r
    events.change(FAN_CREATE, 9, "d");       // a folder the kernel cannot find
    events.change(FAN_ATTRIB, ROOT, "e");    // not a change the monitor asks for
    events.change(FAN_MODIFY, ROOT, ".");    // a folder's own event
    events.change(FAN_MODIFY, ROOT, "..");
    EXPECT_EQ(run(), (lines{"change:a", "change:a"}));
}

TEST_F(translation, AFolderMadeAndRenamedIsFollowedFromItsEvents) {
    events.change(FAN_CREATE | FAN_ONDIR, ROOT, "d", A);
    events.change(FAN_CREATE | FAN_ONDIR, A, "e", N);
    events.change(FAN_CREATE, N, "x");
    events.rename(FAN_ONDIR, ROOT, "d", ROOT, "m", A);
    events.change(FAN_CREATE, A, "y");
    EXPECT_EQ(run(), (lines{"change:d/e/x", "change:m/y"}));
    // Nothing below the renamed folder is cached: N is asked of the kernel.
    kernel.folders[N] = "/r/m/e";
    kernel.resolved.clear();
    events.change(FAN_CREATE, N, "z");
    EXPECT_EQ(run(), (lines{"change:m/e/z"}));
    EXPECT_EQ(kernel.resolved, (std::vector<uint32_t>{N}));
}

TEST_F(translation, AFileIsReportedWhereItWasNotWhereItsFolderWentSince) {
    // The kernel already shows A in its new place; the rename read after the
    // file's event says where it was.
    kernel.folders[A] = "/r/N/A";
    events.change(FAN_CREATE, A, "f");
    events.change(FAN_DELETE, A, "f");
    events.rename(FAN_ONDIR, ROOT, "A", N, "A", A);
    kernel.folders[N] = "/r/N";
    events.change(FAN_CREATE, A, "g");
    EXPECT_EQ(run(), (lines{"change:A/f", "change:A/f", "change:N/A/g"}));
}

TEST_F(translation, AFileIsReportedWhereItWasNotWhereAFolderAboveItWentSince) {
    const uint32_t D = 6, E = 7;
    kernel.folders[D] = "/r/e/D";
    kernel.folders[A] = "/r/e/D/x/A";
    kernel.folders[E] = "/o/elsewhere"; // moved, but never above A
    events.change(FAN_CREATE, A, "f");
    events.rename(FAN_ONDIR, ROOT, "d", ROOT, "e", N);
    events.rename(FAN_ONDIR, N, "D", N, "D", D);
    events.rename(FAN_ONDIR, ROOT, "E", OUTSIDE, "elsewhere", E);
    kernel.folders[N] = "/r/e";
    events.change(FAN_CREATE, A, "g");
    EXPECT_EQ(run(), (lines{"change:d/D/x/A/f", "change:e/D/x/A/g"}));
}

TEST_F(translation, AFolderRenamedOverAndOverWhileFilesAreMadeBelowIt) {
    // d0/inner, then d(i-1) renamed to d(i) and inner/f(i) made, 30 times;
    // the kernel already shows the last name.
    const uint32_t D = 6, I = 7;
    kernel.folders[D] = "/r/d30";
    kernel.folders[I] = "/r/d30/inner";
    lines expected;
    for (int i = 1; i <= 30; i++) {
        // Folders renamed elsewhere on the filesystem meanwhile, many more.
        for (uint32_t other = 100; other < 200; other++) {
            kernel.folders[other] = "/o/x" + std::to_string(other);
            events.rename(FAN_ONDIR, OUTSIDE, "y", OUTSIDE, "x" + std::to_string(other), other);
        }
        events.rename(FAN_ONDIR, ROOT, "d" + std::to_string(i - 1), ROOT, "d" + std::to_string(i), D);
        events.change(FAN_CREATE, I, "f" + std::to_string(i));
        expected.push_back("change:d" + std::to_string(i) + "/inner/f" + std::to_string(i));
    }
    EXPECT_EQ(run(), expected);
}

TEST_F(translation, AFolderAboveWhoseLastMoveIsNotQueuedYetIsFoundAllTheSame) {
    // The kernel shows d3 already; the event of that last move comes later.
    const uint32_t D = 6, I = 7;
    kernel.folders[D] = "/r/d3";
    kernel.folders[I] = "/r/d3/inner";
    events.rename(FAN_ONDIR, ROOT, "d0", ROOT, "d1", D);
    events.change(FAN_CREATE, I, "f1");
    events.rename(FAN_ONDIR, ROOT, "d1", ROOT, "d2", D);
    EXPECT_EQ(run(), (lines{"change:d1/inner/f1"}));
}

TEST_F(translation, AFolderThatHeldTheNameAboveOnlyBetweenTwoAnswersIsNotTakenForItsParent) {
    // Y's folder I is at x/sub when first asked; X takes the name x for a
    // moment and I is at y/sub by the time the answers are checked.
    const uint32_t X = 6, I = 7;
    kernel.moving[I] = {"/r/x/sub"};
    kernel.folders[I] = "/r/y/sub";
    kernel.folders[X] = "/r/x";
    events.change(FAN_CREATE, I, "f");
    events.rename(FAN_ONDIR, ROOT, "t", ROOT, "x", X);
    EXPECT_EQ(run(), (lines{"change:x/sub/f"}));
}

TEST_F(translation, TheEventsQueuedSinceAreReadToPlaceAFolder) {
    kernel.folders[A] = "/r/N/A";
    kernel.folders[N] = "/r/N";
    events.change(FAN_CREATE, A, "f");
    event_writer later;
    later.rename(FAN_ONDIR, ROOT, "A", N, "A", A);
    kernel.later = later.bytes;
    EXPECT_EQ(run(), (lines{"change:A/f"}));
}

TEST_F(translation, FilesInFoldersDeletedBeforeTheyWereReadAreStillPlaced) {
    // rm -rf of A/B: neither folder exists when the events are read.
    events.change(FAN_DELETE, N, "f");
    events.change(FAN_DELETE | FAN_ONDIR, A, "B", N);
    events.change(FAN_DELETE, A, "g");
    events.change(FAN_DELETE | FAN_ONDIR, ROOT, "A", A);
    events.change(FAN_DELETE, 9, "h"); // never placed: left out
    events.change(FAN_DELETE | FAN_ONDIR, ROOT, "", 9); // names no entry: places nothing
    EXPECT_EQ(run(), (lines{"change:A/B/f", "change:A/g"}));
}

TEST_F(translation, FoldersMadeAndDeletedBeforeTheirEventsWereReadAreStillPlaced) {
    // The kernel merged each deletion into the creation still queued.
    events.change(FAN_CREATE | FAN_DELETE | FAN_ONDIR, ROOT, "dl", A);
    events.change(FAN_CREATE | FAN_DELETE | FAN_ONDIR, A, "inner", N);
    events.change(FAN_CREATE | FAN_MODIFY | FAN_DELETE, N, "dropper");
    EXPECT_EQ(run(), (lines{"change:dl/inner/dropper"}));
}

TEST_F(translation, AFolderOutsideTheRootNowIsNotLookedAtFurther) {
    // Moved out of the tree since (or always outside): not the tree's now,
    // and the events after it are not looked at for it.
    kernel.folders[A] = "/o/A";
    events.change(FAN_CREATE, A, "f");
    events.rename(FAN_ONDIR, ROOT, "A", OUTSIDE, "A", A);
    EXPECT_EQ(run(), lines{});
}

TEST_F(translation, WritesToAFileNotLinkedYetAreLeftOutAndItsLinkIsReported) {
    // O_TMPFILE: the kernel names the file "#" and its inode number.
    events.change(FAN_MODIFY, ROOT, "#11640");
    events.change(FAN_CREATE, ROOT, "linked", 9);
    // A real entry of such a name, written, made, deleted or renamed; names
    // that only look like it.
    kernel.named = {"/r/#7"};
    events.change(FAN_MODIFY, ROOT, "#7");
    events.change(FAN_CREATE, ROOT, "#8");
    events.change(FAN_DELETE, ROOT, "#9");
    events.rename(0, ROOT, "#10", ROOT, "#11");
    events.change(FAN_MODIFY, ROOT, "#");
    events.change(FAN_MODIFY, ROOT, "#1a");
    events.change(FAN_MODIFY, ROOT, "1");
    EXPECT_EQ(run(), (lines{"change:linked", "change:#7", "change:#8", "change:#9", "change:#10",
                            "change:#11", "change:#", "change:#1a", "change:1"}));
}

TEST_F(translation, RenamedFilesAreReportedUnderEachNameInsideTheRoot) {
    events.rename(0, ROOT, "a", ROOT, "b");
    events.rename(0, OUTSIDE, "c", ROOT, "d");
    events.rename(0, ROOT, "e", OUTSIDE, "f");
    EXPECT_EQ(run(), (lines{"change:a", "change:b", "change:d", "change:e"}));
}

TEST_F(translation, AFolderArrivingHasAllItsFilesReportedOneRenamedInsideItsLatest) {
    events.rename(FAN_ONDIR, OUTSIDE, "x", ROOT, "in", A);
    events.rename(FAN_ONDIR, ROOT, "in", ROOT, "moved", A);
    events.rename(FAN_ONDIR, ROOT, "moved", OUTSIDE, "away", A);
    events.rename(FAN_ONDIR, 9, "unknown", ROOT, "back", N);
    events.rename(FAN_ONDIR, ROOT, "back", ROOT, "again");     // no handle: nothing to walk
    EXPECT_EQ(run(), lines{});
    EXPECT_EQ(kernel.arrived, (lines{"in", "back"}));
    EXPECT_EQ(kernel.moved, std::vector<uint32_t>{A});
}

TEST_F(translation, TheMonitorsOwnChangesAreLeftOutButStillMoveTheCache) {
    kernel.own = {{42, 5}};
    events.change(FAN_CREATE, ROOT, "log", 0, 42, 5);
    events.change(FAN_CREATE | FAN_ONDIR, ROOT, "q", A, 42, 5);
    events.rename(FAN_ONDIR, OUTSIDE, "x", ROOT, "quarantine", N, 42, 5);
    events.change(FAN_CREATE, A, "other");
    events.rename(0, A, "other", ROOT, "mine", 0, 42, 5);
    events.rename(FAN_ONDIR, ROOT, "quarantine", ROOT, "kept", N, 42, 5);
    EXPECT_EQ(run(), (lines{"change:q/other"}));
    EXPECT_EQ(kernel.arrived, lines{});
    EXPECT_TRUE(kernel.moved.empty());
    // The same number, but the kernel's descriptor names another process (one
    // that took an ended detector's number), or none: the process had ended,
    // or the descriptor could not be made.
    events.change(FAN_MODIFY, ROOT, "reused", 0, 42, 6);
    events.change(FAN_MODIFY, ROOT, "ended", 0, 42, FAN_NOPIDFD);
    events.change(FAN_MODIFY, ROOT, "unknown", 0, 42, FAN_EPIDFD);
    events.rename(FAN_ONDIR, OUTSIDE, "y", ROOT, "arrived", 9, 42, 6);
    EXPECT_EQ(run(), (lines{"change:reused", "change:ended", "change:unknown"}));
    EXPECT_EQ(kernel.arrived, lines{"arrived"});
}

TEST_F(translation, AnOverflowIsALossAndForgetsTheCache) {
    events.change(FAN_CREATE | FAN_ONDIR, ROOT, "d", A);
    events.change(FAN_CREATE, A, "x");
    events.overflow();
    events.change(FAN_CREATE, A, "y"); // A is unknown to the kernel: left out
    EXPECT_EQ(run(), (lines{"change:d/x", "lost"}));
}

TEST_F(translation, AMalformedRecordIsUnreadableAndNothingAfterItIsRead) {
    events.change(FAN_CREATE, ROOT, "a");
    size_t good = events.bytes.size();
    events.change(FAN_CREATE, ROOT, "b");
    events.bytes[good + 24 + 2] = 0xff; // the info record's length runs past the event
    events.change(FAN_CREATE, ROOT, "c");
    EXPECT_EQ(run(), (lines{"change:a", "unreadable"}));
    // A name with a slash is no entry's: it could climb out of the root.
    events.change(FAN_CREATE, ROOT, "../etc/passwd");
    EXPECT_EQ(run(), (lines{"unreadable"}));
    // A name not terminated inside its record, a handle longer than its
    // record, an event longer than the buffer, a short header.
    for (size_t cut : {size_t(0), size_t(1), size_t(2)}) {
        events.change(FAN_CREATE, ROOT, "abc");
        std::vector<unsigned char> &b = events.bytes;
        if (cut == 0) b[b.size() - 4] = 'x', b[b.size() - 3] = 'x', b[b.size() - 2] = 'x', b[b.size() - 1] = 'x';
        if (cut == 1) b[24 + 12] = 0xff;
        if (cut == 2) b.resize(b.size() - 1);
        EXPECT_EQ(run(), (lines{"unreadable"})) << cut;
    }
    events.bytes.assign(10, 0);
    EXPECT_EQ(run(), (lines{"unreadable"}));
}

TEST_F(translation, NamesTooLongForAPathAreNamedNotCut) {
    kernel.folders[A] = "/r/" + std::string(PATH_CAPACITY - 8, 'd');
    events.change(FAN_CREATE, A, "name");
    EXPECT_EQ(run(), (lines{"unrepresentable:name"}));
}

TEST_F(translation, AFolderDeeperThanAnyPathHasItsChangesNamed) {
    kernel.too_deep = {A};
    events.change(FAN_CREATE, A, "deep");
    // Placed by a later move through a folder too deep: named too.
    kernel.folders[N] = "/r/" + std::string(PATH_CAPACITY - 8, 'n');
    events.change(FAN_CREATE, 9, "deeper");
    events.rename(FAN_ONDIR, N, "long-name", ROOT, "x", 9);
    // Outside the root, the same is left out.
    kernel.folders[SIBLING] = "/r2/" + std::string(PATH_CAPACITY - 8, 's');
    events.change(FAN_CREATE, 8, "other");
    events.rename(FAN_ONDIR, SIBLING, "long-name", ROOT, "y", 8);
    EXPECT_EQ(run(), (lines{"unrepresentable:deep", "unrepresentable:deeper"}));
}

TEST_F(translation, FolderMovesThatCanCarryADeepFolderAcrossTheRootAreCounted) {
    // 6 and 7 lie outside the root, deeper than any path; 9 is unknown.
    const uint32_t DEEP = 6, DEEPER = 7;
    kernel.deep_outside = {DEEP, DEEPER};
    events.change(FAN_CREATE, DEEP, "f");                             // left out
    events.rename(FAN_ONDIR, OUTSIDE, "x", OUTSIDE, "y", 20);         // outside
    events.rename(FAN_ONDIR, DEEP, "x", DEEPER, "y", 21);             // outside, deep
    events.rename(FAN_ONDIR, DEEP, "x", OUTSIDE, "y", 22);
    EXPECT_EQ(run(), lines{});
    EXPECT_EQ(t.edge_moves, 0u);
    lines counted;
    for (int i = 0; i < 4; i++) {
        if (i == 0) events.rename(FAN_ONDIR, DEEP, "x", ROOT, "in", 23);   // into the root
        if (i == 1) events.rename(FAN_ONDIR, ROOT, "in", OUTSIDE, "z", 23); // out of it
        if (i == 2) events.rename(FAN_ONDIR, 9, "x", OUTSIDE, "y", 24);     // from where?
        if (i == 3) events.overflow();
        unsigned long before = t.edge_moves;
        run();
        EXPECT_EQ(t.edge_moves, before + 1) << i;
    }
    kernel.too_deep = {8};
    events.rename(FAN_ONDIR, 8, "x", 8, "y", 25); // within the root, deep
    run();
    EXPECT_EQ(t.edge_moves, 5u);
}

TEST_F(translation, TheRootDirectoryOfTheSystem) {
    translator_release(&t);
    start("/");
    events.change(FAN_CREATE, ROOT, "a");
    events.change(FAN_CREATE, OUTSIDE, "b");
    EXPECT_EQ(run(), (lines{"change:a", "change:o/b"})); // the root folder is "/" here
}

TEST(MountTable, LinesAreParsedWithTheirEscapesUndone) {
    char line[] = "36 35 98:0 /sub\\040dir /mnt/a\\134b\\011c rw,noatime master:1 - ext4 /dev/x rw";
    mount_entry e;
    ASSERT_TRUE(mount_parse_line(line, &e));
    EXPECT_EQ(e.id, 36);
    EXPECT_STREQ(e.root, "/sub dir");
    EXPECT_STREQ(e.point, "/mnt/a\\b\tc");
    char short_line[] = "36 35 98:0 /";
    EXPECT_FALSE(mount_parse_line(short_line, &e));
    char bad_id[] = "x 35 98:0 / /mnt - ext4 /dev/x rw";
    EXPECT_FALSE(mount_parse_line(bad_id, &e));
    char bad_escape[] = "1 0 1:1 / /a\\9 - ext4 x rw"; // not octal: kept as it is
    ASSERT_TRUE(mount_parse_line(bad_escape, &e));
    EXPECT_STREQ(e.point, "/a\\9");
}

TEST(MountTable, EachRefusalIsNamedForWhatItNeeds) {
    EXPECT_STREQ(mark_refusal(EPERM), "fanotify needs CAP_SYS_ADMIN");
    EXPECT_STREQ(mark_refusal(EINVAL), "fanotify needs Linux 5.17 or later");
    EXPECT_STREQ(mark_refusal(ENOSYS), "the kernel has no fanotify");
    EXPECT_STREQ(mark_refusal(EOPNOTSUPP), "the filesystem refuses a fanotify mark");
    EXPECT_STREQ(mark_refusal(ENODEV), "the filesystem cannot report file handles");
    EXPECT_STREQ(mark_refusal(EXDEV), "the filesystem's file handles are not unique");
    EXPECT_STREQ(mark_refusal(EMFILE), "fanotify group limit reached");
    EXPECT_STREQ(mark_refusal(ENOMEM), "fanotify refused");
}

TEST(MountTable, TheSystemRootIsTheTopOfItsFilesystemAndAFolderInItIsNot) {
    EXPECT_TRUE(mount_is_top("/"));
    EXPECT_FALSE(mount_is_top("/usr/bin"));
    EXPECT_FALSE(mount_is_top("/no/such/folder"));
}

// Hard links: a name under the root holding a file with other names is kept
// with the file's handle when the file is reported; a write through any
// other name, outside the root or not, is reported under the names kept.
// The file is looked at by its handle: a path can lead elsewhere by then.
namespace {
const uint32_t FILE_X = 50, FILE_Y = 51;
} // namespace

TEST_F(translation, AWriteThroughANameOutsideIsReportedUnderTheNamesInTheRoot) {
    kernel.files = {{FILE_X, true}, {FILE_Y, false}};
    events.change(FAN_CREATE, ROOT, "report.pdf", FILE_X); // ln /o/x /r/report.pdf
    events.change(FAN_CREATE, ROOT, "single", FILE_Y);     // one name: not followed
    events.change(FAN_MODIFY | FAN_CLOSE_WRITE, OUTSIDE, "x", FILE_X);
    events.change(FAN_MODIFY, OUTSIDE, "y", FILE_Y);
    EXPECT_EQ(run(), (lines{"change:report.pdf", "change:single", "change:report.pdf"}));
    // Through its name in the root: once, as the event names it.
    events.change(FAN_MODIFY, ROOT, "report.pdf", FILE_X);
    EXPECT_EQ(run(), (lines{"change:report.pdf"}));
    // Nor by the monitor's own processes; whose changes still keep the
    // names current.
    kernel.own = {{42, 5}};
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X, 42, 5);
    events.change(FAN_CLOSE_WRITE, ROOT, "report.pdf", FILE_X, 42, 5);
    EXPECT_EQ(run(), lines{});
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:report.pdf"}));
}

TEST_F(translation, NamesOfLinkedFilesFollowRenamesDeletionsAndFolders) {
    kernel.folders[A] = "/r/a";
    kernel.files = {{FILE_X, true}};
    events.change(FAN_CREATE, ROOT, "one", FILE_X);
    events.change(FAN_CREATE, A, "two", FILE_X);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:one", "change:a/two", "change:one", "change:a/two"}));
    // Renamed: the new name is kept, the old one holds nothing now.
    events.rename(0, ROOT, "one", ROOT, "three", FILE_X);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:one", "change:three", "change:a/two", "change:three"}));
    // Deleted; and a folder moved out of the root takes its names along.
    events.change(FAN_DELETE, ROOT, "three", FILE_X);
    kernel.folders[A] = "/o/a";
    events.rename(FAN_ONDIR, ROOT, "a", OUTSIDE, "a", A);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:three"}));
    // Back from outside: walked (by the reader, which follows its links
    // then); the names forgotten meanwhile stay so.
    kernel.folders[A] = "/r/a";
    events.rename(FAN_ONDIR, OUTSIDE, "a", ROOT, "a", A);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), lines{});
    EXPECT_EQ(kernel.arrived, lines{"a"});
}

TEST_F(translation, NamesExchangedKeepTheirFilesAndAFileLeftAloneIsForgotten) {
    kernel.files = {{FILE_X, true}, {FILE_Y, false}};
    events.change(FAN_CREATE, ROOT, "a", FILE_X);
    events.change(FAN_CREATE, ROOT, "b", FILE_Y);
    // Exchanged: x moves from a to b, then y from b to a.
    events.rename(0, ROOT, "a", ROOT, "b", FILE_X);
    events.rename(0, ROOT, "b", ROOT, "a", FILE_Y);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:a", "change:b", "change:a", "change:b", "change:b", "change:a",
                            "change:b"}));
    // Its other name gone: one link left, written and closed.
    kernel.files[FILE_X] = false;
    events.change(FAN_CLOSE_WRITE, ROOT, "b", FILE_X);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:b"}));
}

TEST_F(translation, LinkedFilesDeeperThanAnyPathAreNamed) {
    kernel.folders[A] = "/r/a";
    kernel.files = {{FILE_X, true}};
    events.change(FAN_CREATE, A, "deep", FILE_X);
    EXPECT_EQ(run(), (lines{"change:a/deep"}));
    // Its folder moved below one whose path is nearly as long as any can be.
    std::string longest = "/r/" + std::string(PATH_CAPACITY - 8, 'n');
    kernel.folders[N] = longest;
    kernel.folders[A] = longest + "/a";
    events.rename(FAN_ONDIR, ROOT, "a", N, "a", A);
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"unrepresentable:deep"}));
    // And deeper than any path.
    kernel.too_deep = {A};
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"unrepresentable:deep"}));
}

TEST_F(translation, BeyondTheBoundOneLineAndLostEventsForgetTheNames) {
    kernel.files = {{FILE_X, true}};
    for (int i = 0; i <= LINKED_NAMES_MAX; i++) {
        events.change(FAN_CREATE, ROOT, "n" + std::to_string(i), FILE_X);
    }
    lines out = run();
    ASSERT_EQ(out.size(), static_cast<size_t>(LINKED_NAMES_MAX) + 2);
    EXPECT_EQ(out.back(), "unwatched:");
    EXPECT_EQ(std::count(out.begin(), out.end(), "unwatched:"), 1);
    events.change(FAN_CREATE, ROOT, "more", FILE_X);
    events.overflow();
    events.change(FAN_MODIFY, OUTSIDE, "x", FILE_X);
    EXPECT_EQ(run(), (lines{"change:more", "lost"}));
    EXPECT_TRUE(t.links_lost);
}

TEST_F(translation, NamesInAFolderThatLeftTheRootMakeRoomWhenTheTableIsFull) {
    kernel.folders[A] = "/r/a";
    kernel.files = {{FILE_X, true}, {FILE_Y, true}};
    for (int i = 0; i < LINKED_NAMES_MAX; i++) {
        events.change(FAN_CREATE, A, "n" + std::to_string(i), FILE_X);
    }
    EXPECT_EQ(run().size(), static_cast<size_t>(LINKED_NAMES_MAX));
    kernel.folders[A] = "/o/a";
    events.rename(FAN_ONDIR, ROOT, "a", OUTSIDE, "a", A);
    events.change(FAN_CREATE, ROOT, "fresh", FILE_Y);
    events.change(FAN_MODIFY, OUTSIDE, "y", FILE_Y);
    EXPECT_EQ(run(), (lines{"change:fresh", "change:fresh"}));
}

TEST_F(translation, FileChangesOutsideOfferTheirFolderForIgnoringRenamesAndInsideNever) {
    events.change(FAN_CREATE, OUTSIDE, "a");
    events.change(FAN_MODIFY | FAN_CLOSE_WRITE, OUTSIDE, "a");
    events.change(FAN_CREATE, ROOT, "b");
    events.change(FAN_CREATE | FAN_ONDIR, OUTSIDE, "d", A);
    events.change(FAN_CREATE | FAN_ONDIR, ROOT, "e", N);
    events.rename(0, OUTSIDE, "a", SIBLING, "c");           // a rename: never ignored
    events.rename(FAN_ONDIR, A, "f", OUTSIDE, "g", 6);
    events.change(FAN_DELETE, SIBLING, "c");
    EXPECT_EQ(run(), (lines{"change:b"}));
    EXPECT_EQ(kernel.outside, (std::vector<uint32_t>{OUTSIDE, OUTSIDE, OUTSIDE, SIBLING}));
}

TEST_F(translation, AFolderComingInsideIsToldBeforeItIsWalkedOneMovingWithinOrOutIsNot) {
    kernel.own = {{42, 5}};
    events.rename(FAN_ONDIR, OUTSIDE, "x", ROOT, "in", A);
    events.rename(FAN_ONDIR, ROOT, "in", ROOT, "moved", A);            // within
    events.rename(FAN_ONDIR, ROOT, "moved", OUTSIDE, "away", A);       // out
    events.rename(FAN_ONDIR, OUTSIDE, "away", SIBLING, "there", A);    // outside
    events.rename(FAN_ONDIR, 9, "unknown", ROOT, "back", N);           // from a place not known
    events.rename(FAN_ONDIR, OUTSIDE, "o", 9, "to a place not known", 6);
    events.rename(FAN_ONDIR, OUTSIDE, "mine", ROOT, "own", 7, 42, 5);  // the monitor's own: not walked
    EXPECT_EQ(run(), lines{});
    EXPECT_EQ(kernel.order, (lines{"entered", "arrived:in", "entered", "arrived:back", "entered",
                                   "entered"}));
}

TEST_F(translation, AFileFollowedFirstIsReportedAgainWhenWritesElsewhereMayHaveBeenDropped) {
    kernel.files = {{FILE_X, true}, {FILE_Y, true}};
    kernel.dropped_writes = true;
    events.change(FAN_CREATE, ROOT, "x", FILE_X);
    events.change(FAN_CREATE, ROOT, "y", FILE_Y); // the table holds one: not asked again
    EXPECT_EQ(run(), (lines{"change:x", "change:x", "change:y"}));
    EXPECT_EQ(kernel.following, 1);
    kernel.files[FILE_X] = false; // its other name gone
    events.change(FAN_CLOSE_WRITE, ROOT, "x", FILE_X);
    events.change(FAN_DELETE, ROOT, "y", FILE_Y);
    kernel.dropped_writes = false; // none dropped since: once
    events.change(FAN_CREATE, ROOT, "y", FILE_Y);
    EXPECT_EQ(run(), (lines{"change:x", "change:y", "change:y"}));
    EXPECT_EQ(kernel.following, 2);
}
