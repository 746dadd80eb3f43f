#include <gtest/gtest.h>
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>
#include <sys/inotify.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_tree.h"
#include "inotify_tree.h"

namespace {

struct recorded {
    record_kind kind;
    std::string path;
    std::string detail;
};

// A tree over the fake file system, with /w as its root and /o outside it.
struct harness {
    fake_fs fs;
    watch_tree tree;
    bool started = false;
    std::vector<recorded> records;

    harness() {
        fake_init(&fs);
        fake_mkdir(&fs, "/w");
        fake_mkdir(&fs, "/o");
    }
    ~harness() {
        if (started) tree_release(&tree);
    }

    int start(const char *root = "/w") {
        fake_set_root(&fs, root);
        tree_ops ops = fake_ops(&fs);
        started = true;
        return tree_start(&tree, root, &ops, collect, this);
    }

    // Reads the queue like the watcher does, capacity bytes at a time.
    int deliver(size_t capacity = 4096) {
        std::vector<unsigned char> buffer(capacity);
        for (;;) {
            size_t length = fake_read(&fs, buffer.data(), capacity);
            // No event for a while: the reader runs a check it put off.
            if (!length) return tree_check_owed(&tree) ? tree_run_owed_check(&tree, collect, this) : 0;
            if (int error = feed(buffer.data(), length)) return error;
        }
    }

    int feed(const unsigned char *bytes, size_t length) {
        tree.stream.events_since = fs.events_since;
        // Every record is taken at once: what was read before was scanned,
        // unless the watcher is held in a detection since held_since.
        tree.stream.scanned_before = held_since >= 0 ? held_since : fs.events_since;
        return tree_handle_events(&tree, bytes, length, collect, this);
    }
    int feed(const std::vector<unsigned char> &bytes) {
        // An exact copy on the heap, so reading past it is caught.
        std::vector<unsigned char> exact(bytes);
        return feed(exact.data(), exact.size());
    }

    // Records taken, or refused while refusing is set: a full queue.
    static bool collect(void *context, const watch_record *record) {
        harness *h = static_cast<harness *>(context);
        if (h->refusing) return false;
        h->records.push_back({record->kind, record->path ? record->path : "",
                              record->detail ? record->detail : ""});
        fake_note_record(&h->fs, record);
        return true;
    }
    bool refusing = false;
    int64_t held_since = -1;

    std::vector<std::string> changes() {
        std::vector<std::string> paths;
        for (const recorded &r : records) {
            if (r.kind == RECORD_CHANGE) paths.push_back(r.path);
        }
        records.clear();
        return paths;
    }

    int wd(const char *path) const { return fs.nodes[static_cast<size_t>(fake_lookup(&fs, path))].wd; }

    std::string known_as(const char *path) const {
        int node = tree_find(&tree, wd(path));
        if (node < 0) return "<unknown>";
        char out[PATH_CAPACITY];
        return tree_relative_path(&tree, node, out, sizeof out) ? out : "<too long>";
    }

    void expect_mirror() {
        std::string why;
        EXPECT_TRUE(fake_check_structure(&tree, &why)) << why;
        EXPECT_TRUE(fake_check_mirror(&fs, &tree, &why)) << why;
    }
};

template <typename T> std::vector<T> sorted(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values;
}

typedef std::vector<std::string> paths;

std::vector<unsigned char> event(int wd, uint32_t mask, uint32_t cookie = 0, const std::string &name = "") {
    std::vector<unsigned char> bytes;
    fake_encode(&bytes, wd, mask, cookie, name);
    return bytes;
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::vector<unsigned char> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(InotifyTree, SetUpWatchesEveryDirectoryAndReportsNoFile) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    fake_mkdir(&h.fs, "/w/ab");
    fake_write(&h.fs, "/w/a/b/f");
    fake_write(&h.fs, "/w/g");
    fake_write(&h.fs, "/o/outside");
    h.fs.queue.clear();
    ASSERT_EQ(h.start(), 0);
    EXPECT_TRUE(h.records.empty());
    EXPECT_EQ(h.known_as("/w/a/b"), "a/b");
    EXPECT_EQ(h.known_as("/w/ab"), "ab");
    EXPECT_EQ(h.wd("/o"), 0);
    EXPECT_EQ(h.fs.open_listings, 0);
    h.expect_mirror();
}

TEST(InotifyTree, StartFailsWithTheRootsOwnError) {
    harness h;
    fake_write(&h.fs, "/w/file");
    EXPECT_EQ(h.start("/w/missing"), ENOENT);
    harness file;
    fake_write(&file.fs, "/w/file");
    EXPECT_EQ(file.start("/w/file"), ENOTDIR);
    harness refused;
    refused.fs.nodes[static_cast<size_t>(fake_lookup(&refused.fs, "/w"))].add_error = EACCES;
    EXPECT_EQ(refused.start(), EACCES);
}

TEST(InotifyTree, FileChangesAreReportedInOrderWithRelativePaths) {
    harness h;
    fake_mkdir(&h.fs, "/w/sub");
    ASSERT_EQ(h.start(), 0);
    fake_create(&h.fs, "/w/f");
    fake_write(&h.fs, "/w/sub/g");
    fake_rename(&h.fs, "/w/sub/g", "/w/h");
    fake_rename(&h.fs, "/w/f", "/o/f");   // moved away: its old name
    fake_rename(&h.fs, "/o/f", "/w/sub/i"); // moved in: its new name
    fake_unlink(&h.fs, "/w/h");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"f", "sub/g", "sub/g", "sub/g", "h", "f", "sub/i", "h"}));
}

TEST(InotifyTree, RenamedDirectoryKeepsItsWatchesAndNewPathLeavingNeighbours) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/deep");
    fake_mkdir(&h.fs, "/w/ab");
    fake_mkdir(&h.fs, "/w/c");
    ASSERT_EQ(h.start(), 0);
    int deep = h.wd("/w/a/deep");
    fake_rename(&h.fs, "/w/a", "/w/c/renamed");
    fake_write(&h.fs, "/w/c/renamed/deep/f");
    fake_write(&h.fs, "/w/ab/g");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"c/renamed/deep/f", "c/renamed/deep/f", "ab/g", "ab/g"}));
    EXPECT_TRUE(h.fs.removed.empty());
    EXPECT_EQ(h.wd("/w/c/renamed/deep"), deep);
    EXPECT_EQ(h.known_as("/w/ab"), "ab");
    h.expect_mirror();
}

TEST(InotifyTree, RenamePairSplitAcrossTwoReadsStillPairs) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    ASSERT_EQ(h.start(), 0);
    fake_rename(&h.fs, "/w/a", "/w/z");
    fake_write(&h.fs, "/w/z/b/f");
    // One event per read: the MOVED_FROM ends one buffer, the MOVED_TO opens the next.
    ASSERT_EQ(h.deliver(sizeof(inotify_event) + 16), 0);
    EXPECT_EQ(h.changes(), (paths{"z/b/f", "z/b/f"}));
    EXPECT_TRUE(h.fs.removed.empty());
    h.expect_mirror();
}

TEST(InotifyTree, TreeLargerThanItsListsOfPlacedFoldersIsTrustedAndFollowed) {
    // More folders than the lists of those placed and to check hold: they
    // are passed over whole, and every folder is still placed and followed.
    harness h;
    for (int i = 0; i < NODE_LIST_LIMIT + 100; i++) {
        fake_mkdir(&h.fs, ("/w/d" + std::to_string(i)).c_str());
    }
    ASSERT_EQ(h.start(), 0);
    int last = h.wd(("/w/d" + std::to_string(NODE_LIST_LIMIT + 99)).c_str());
    fake_rename(&h.fs, ("/w/d" + std::to_string(NODE_LIST_LIMIT + 99)).c_str(), "/w/d0/moved");
    fake_write(&h.fs, "/w/d0/moved/f");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"d0/moved/f", "d0/moved/f"}));
    EXPECT_EQ(h.wd("/w/d0/moved"), last);
    EXPECT_EQ(h.known_as("/w/d0/moved"), "d0/moved");
    h.expect_mirror();
}

TEST(InotifyTree, DirectoryMovedOutIsForgottenWithItsWatches) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    fake_mkdir(&h.fs, "/w/keep");
    ASSERT_EQ(h.start(), 0);
    int a = h.wd("/w/a"), b = h.wd("/w/a/b");
    fake_rename(&h.fs, "/w/a", "/o/a");
    ASSERT_EQ(h.deliver(), 0); // the move stays open: the next event may pair it
    fake_write(&h.fs, "/o/a/b/f"); // still watched by the kernel
    fake_write(&h.fs, "/w/keep/g");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"keep/g", "keep/g"}));
    EXPECT_EQ(sorted(h.fs.removed), sorted(std::vector<int>{a, b}));
    EXPECT_EQ(tree_find(&h.tree, a), -1);
    EXPECT_EQ(tree_find(&h.tree, b), -1);
    EXPECT_EQ(h.fs.bad_removes, 0);
    h.expect_mirror();
}

TEST(InotifyTree, DirectoryMovedInOrCreatedReportsEveryFileAlreadyInside) {
    harness h;
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/o/n");
    fake_mkdir(&h.fs, "/o/n/s");
    fake_mkdir(&h.fs, "/o/n/s/t");
    fake_write(&h.fs, "/o/n/f");
    fake_write(&h.fs, "/o/n/s/t/g");
    fake_rename(&h.fs, "/o/n", "/w/n");
    // mkdir -p a/b/c && echo x > a/b/c/f, all before the tree hears of a.
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    fake_mkdir(&h.fs, "/w/a/b/c");
    fake_write(&h.fs, "/w/a/b/c/f");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(sorted(h.changes()), (paths{"a/b/c/f", "n/f", "n/s/t/g"}));
    h.expect_mirror();
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
    // Created one step at a time, each step read before the next.
    fake_mkdir(&h.fs, "/w/p");
    ASSERT_EQ(h.deliver(), 0);
    fake_mkdir(&h.fs, "/w/p/q");
    fake_write(&h.fs, "/w/p/q/r");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"p/q/r"}));
    h.expect_mirror();
}

namespace {
// Creates /w/n/f once the root is watched, before the root is listed.
void create_during_set_up(fake_fs *fs, void *) {
    if (fs->call != FAKE_LIST || fake_lookup(fs, "/w/n") >= 0) return;
    fake_mkdir(fs, "/w/n");
    fake_write(fs, "/w/n/f");
}
} // namespace

TEST(InotifyTree, DirectoryListedAtSetUpWhoseCreationComesLaterHasItsFilesReported) {
    harness h;
    h.fs.on_call = create_during_set_up;
    ASSERT_EQ(h.start(), 0);
    EXPECT_TRUE(h.records.empty());
    EXPECT_EQ(h.known_as("/w/n"), "n");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"n/f"}));
    h.expect_mirror();
}

TEST(InotifyTree, IgnoredForgetsTheDirectory) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    ASSERT_EQ(h.start(), 0);
    int b = h.wd("/w/a/b");
    fake_rmdir(&h.fs, "/w/a/b");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(tree_find(&h.tree, b), -1);
    EXPECT_TRUE(h.fs.removed.empty()); // the kernel removed it already
    EXPECT_TRUE(h.changes().empty());
    h.expect_mirror();
}

TEST(InotifyTree, IgnoredForADirectoryStillHoldingWatchedOnesRemovesTheirWatches) {
    // A file system unmounted lazily below the tree: its watch goes, the
    // watches of a mount inside it stay with the kernel unless removed.
    harness h;
    fake_mkdir(&h.fs, "/w/m");
    fake_mkdir(&h.fs, "/w/m/inner");
    ASSERT_EQ(h.start(), 0);
    int m = h.wd("/w/m"), inner = h.wd("/w/m/inner");
    ASSERT_EQ(h.feed(event(m, IN_IGNORED)), 0);
    EXPECT_EQ(tree_find(&h.tree, m), -1);
    EXPECT_EQ(tree_find(&h.tree, inner), -1);
    EXPECT_EQ(h.fs.removed, std::vector<int>{inner});
}

TEST(InotifyTree, RootDeletedOrMovedEndsTheWatchAfterEarlierRecords) {
    {
        harness h;
        ASSERT_EQ(h.start(), 0);
        fake_write(&h.fs, "/w/f");
        fake_unlink(&h.fs, "/w/f");
        fake_rmdir(&h.fs, "/w");
        EXPECT_EQ(h.deliver(), ENOENT);
        EXPECT_EQ(h.changes(), (paths{"f", "f", "f"}));
    }
    {
        harness h;
        ASSERT_EQ(h.start(), 0);
        fake_write(&h.fs, "/w/f");
        fake_rename(&h.fs, "/w", "/o/w");
        EXPECT_EQ(h.deliver(), ENOENT);
        EXPECT_EQ(h.changes(), (paths{"f", "f"}));
    }
    {
        harness h;
        ASSERT_EQ(h.start(), 0);
        int root = h.wd("/w");
        EXPECT_EQ(h.feed(event(root, IN_MODIFY, 0, "x") + event(root, IN_IGNORED)), ENOENT);
        EXPECT_EQ(h.changes(), (paths{"x"}));
    }
}

TEST(InotifyTree, OverflowIsReportedThenTheTreeIsWatchedAgain) {
    harness h;
    fake_mkdir(&h.fs, "/w/gone");
    fake_mkdir(&h.fs, "/w/gone/below");
    fake_mkdir(&h.fs, "/w/stays");
    fake_mkdir(&h.fs, "/w/moved");
    ASSERT_EQ(h.start(), 0);
    int gone = h.wd("/w/gone"), below = h.wd("/w/gone/below");
    h.fs.queue_limit = 1;
    fake_write(&h.fs, "/w/first");
    fake_mkdir(&h.fs, "/w/new"); // dropped: the queue is full
    fake_mkdir(&h.fs, "/w/new/deeper");
    fake_rename(&h.fs, "/w/gone", "/o/gone");
    fake_rename(&h.fs, "/w/moved", "/w/stays/moved");
    ASSERT_EQ(h.fs.queue.size(), 2u);
    h.fs.queue_limit = 16384;
    ASSERT_EQ(h.deliver(), 0);
    ASSERT_EQ(h.records.size(), 2u);
    EXPECT_EQ(h.records[0].kind, RECORD_CHANGE);
    EXPECT_EQ(h.records[1].kind, RECORD_LOST);
    EXPECT_EQ(h.known_as("/w/new/deeper"), "new/deeper");
    EXPECT_EQ(h.known_as("/w/stays/moved"), "stays/moved");
    EXPECT_EQ(sorted(h.fs.removed), sorted(std::vector<int>{gone, below}));
    ASSERT_EQ(h.deliver(), 0); // the removals' own IN_IGNORED
    h.expect_mirror();
    // Directories found by the rescan report what happens in them.
    h.records.clear();
    fake_write(&h.fs, "/w/new/deeper/f");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"new/deeper/f", "new/deeper/f"}));
}

TEST(InotifyTree, OverflowWithWdMinusOneSettlesAPendingMove) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    ASSERT_EQ(h.start(), 0);
    int a = h.wd("/w/a");
    fake_rename(&h.fs, "/w/a", "/w/b");
    h.fs.queue.pop_back(); // the MOVED_TO, lost
    fake_queue(&h.fs, -1, IN_Q_OVERFLOW, 0, "");
    ASSERT_EQ(h.deliver(), 0);
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0].kind, RECORD_LOST);
    EXPECT_EQ(h.known_as("/w/b"), "b");
    EXPECT_NE(h.wd("/w/b"), a); // forgotten at the overflow, watched again by the rescan
    ASSERT_EQ(h.deliver(), 0);
    h.expect_mirror();
}

TEST(InotifyTree, DirectoriesThatCannotBeWatchedAreNamedAndTheRestStaysWatched) {
    harness h;
    fake_mkdir(&h.fs, "/w/locked");
    fake_mkdir(&h.fs, "/w/open");
    fake_mkdir(&h.fs, "/w/unlistable");
    fake_mkdir(&h.fs, "/w/unlistable/inside");
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w/locked"))].add_error = EACCES;
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w/unlistable"))].open_error = EACCES;
    ASSERT_EQ(h.start(), 0);
    ASSERT_EQ(h.records.size(), 2u);
    std::sort(h.records.begin(), h.records.end(),
              [](const recorded &x, const recorded &y) { return x.path < y.path; });
    EXPECT_EQ(h.records[0].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[0].path, "locked");
    EXPECT_EQ(h.records[0].detail, "Permission denied");
    EXPECT_EQ(h.records[1].path, "unlistable");
    EXPECT_EQ(h.known_as("/w/open"), "open");
    EXPECT_EQ(h.known_as("/w/unlistable"), "unlistable"); // watched, only not listed
    h.records.clear();

    // The watch limit, when a new directory appears with another inside.
    h.fs.watch_limit = h.fs.watch_count + 1;
    fake_mkdir(&h.fs, "/w/open/new");
    fake_mkdir(&h.fs, "/w/open/new/over");
    fake_write(&h.fs, "/w/open/new/over/f");
    fake_write(&h.fs, "/w/open/g");
    ASSERT_EQ(h.deliver(), 0);
    ASSERT_EQ(h.records.size(), 3u);
    EXPECT_EQ(h.records[0].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[0].path, "open/new/over");
    EXPECT_NE(h.records[0].detail.find("fs.inotify.max_user_watches"), std::string::npos);
    EXPECT_EQ(h.records[1].path, "open/g");
    EXPECT_EQ(h.known_as("/w/open/new"), "open/new");
    h.expect_mirror();
}

TEST(InotifyTree, PathsBeyondPathMaxAreNamedNeverCut) {
    harness h;
    std::string name255(255, 'd');
    std::string path = "/w";
    for (int i = 0; i < 15; i++) {
        path += "/" + name255;
        ASSERT_EQ(fake_mkdir(&h.fs, path.c_str()), 0);
    }
    path += "/" + std::string(200, 'e'); // relative 4040 bytes: still watched
    ASSERT_EQ(fake_mkdir(&h.fs, path.c_str()), 0);
    ASSERT_EQ(h.start(), 0);
    EXPECT_TRUE(h.records.empty());
    std::string relative = path.substr(3);
    EXPECT_EQ(h.known_as(path.c_str()), relative);

    std::string fits(50, 'f'), too_long(100, 'g');
    fake_write(&h.fs, (path + "/" + fits).c_str());
    fake_write(&h.fs, (path + "/" + too_long).c_str());
    fake_mkdir(&h.fs, (path + "/" + std::string(60, 'h')).c_str()); // beyond PATH_MAX with the root
    ASSERT_EQ(h.deliver(), 0);
    ASSERT_EQ(h.records.size(), 5u);
    EXPECT_EQ(h.records[0].kind, RECORD_CHANGE);
    EXPECT_EQ(h.records[0].path, relative + "/" + fits);
    EXPECT_EQ(h.records[2].kind, RECORD_UNREPRESENTABLE);
    EXPECT_EQ(h.records[2].path, too_long);
    EXPECT_EQ(h.records[4].kind, RECORD_UNWATCHED_UNREPRESENTABLE);
    EXPECT_EQ(h.records[4].path, std::string(60, 'h')); // what is known of it
    EXPECT_EQ(h.records[4].detail, "File name too long");

    char small[10];
    EXPECT_FALSE(tree_relative_path(&h.tree, tree_find(&h.tree, h.wd(path.c_str())), small, sizeof small));
}

TEST(InotifyTree, EventsForUnknownWatchesAreIgnored) {
    harness h;
    ASSERT_EQ(h.start(), 0);
    int root = h.wd("/w");
    int calls = h.fs.calls;
    EXPECT_EQ(h.feed(event(root + 100, IN_CREATE, 0, "x") + event(-1, IN_MODIFY, 0, "y") +
                     event(root + 7, IN_IGNORED) + event(root + 5, IN_MOVED_TO | IN_ISDIR, 9, "d") +
                     event(root, IN_MODIFY, 0, "z")),
              0);
    EXPECT_EQ(h.changes(), (paths{"z"}));
    EXPECT_EQ(h.fs.calls, calls); // nothing was watched for the unknown ones
}

TEST(InotifyTree, TruncatedBuffersAreUnreadableAndNeverOverRead) {
    harness h;
    ASSERT_EQ(h.start(), 0);
    int root = h.wd("/w");
    std::vector<unsigned char> whole = event(root, IN_MODIFY, 0, "a") + event(root, IN_MODIFY, 0, "b");
    for (size_t cut = 1; cut < whole.size(); cut++) {
        std::vector<unsigned char> part(whole.begin(), whole.begin() + static_cast<long>(cut));
        h.records.clear();
        ASSERT_EQ(h.feed(part), 0);
        size_t complete = cut >= 32 ? 1 : 0;
        ASSERT_EQ(h.records.size(), complete + (cut == 32 ? 0 : 1)) << cut;
        if (complete) {
            EXPECT_EQ(h.records[0].path, "a");
        }
        if (cut != 32) {
            EXPECT_EQ(h.records.back().kind, RECORD_UNREADABLE) << cut;
        }
    }
    // A length beyond the buffer, and a name without its terminator.
    h.records.clear();
    std::vector<unsigned char> lying = event(root, IN_MODIFY, 0, "a");
    uint32_t huge = 0xffffffffu;
    memcpy(lying.data() + offsetof(inotify_event, len), &huge, sizeof huge);
    ASSERT_EQ(h.feed(lying), 0);
    std::vector<unsigned char> unterminated;
    fake_encode(&unterminated, root, IN_MODIFY, 0, "abcd", 4);
    ASSERT_EQ(h.feed(unterminated), 0);
    ASSERT_EQ(h.records.size(), 2u);
    EXPECT_EQ(h.records[0].kind, RECORD_UNREADABLE);
    EXPECT_EQ(h.records[1].path, "abcd");
}

TEST(InotifyTree, WatchIndexSurvivesGrowthAndBackwardShiftDeletion) {
    harness h;
    ASSERT_EQ(h.start(), 0);
    // Watch descriptors 64 apart share a home slot while the index is small;
    // the others spread. Create, then remove every third, twice over.
    std::vector<std::string> made;
    for (int i = 0; i < 300; i++) {
        h.fs.next_wd = i < 40 ? 1000 + 64 * i : 5000 + i;
        std::string path = "/w/d" + std::to_string(i);
        ASSERT_EQ(fake_mkdir(&h.fs, path.c_str()), 0);
        made.push_back(path);
        ASSERT_EQ(h.deliver(), 0); // watched now, with the descriptor chosen above
    }
    h.expect_mirror();
    for (int round = 0; round < 2; round++) {
        for (size_t i = static_cast<size_t>(round); i < made.size(); i += 3) {
            if (fake_lookup(&h.fs, made[i].c_str()) >= 0) {
                ASSERT_EQ(fake_rmdir(&h.fs, made[i].c_str()), 0);
            }
        }
        ASSERT_EQ(h.deliver(), 0);
        h.expect_mirror();
        for (const std::string &path : made) {
            if (fake_lookup(&h.fs, path.c_str()) >= 0) {
                EXPECT_EQ(h.known_as(path.c_str()), path.substr(3));
            }
        }
    }
    EXPECT_EQ(tree_find(&h.tree, 1000), -1);
    EXPECT_GE(tree_find(&h.tree, 1000 + 64 * 2), 0);
}

namespace {
// Takes the mounts away once the tree has made far more calls than the tree
// has directories, so a loop fails the test instead of hanging it.
void end_loops(fake_fs *fs, void *context) {
    if (fs->calls < 10000) return;
    *static_cast<bool *>(context) = true;
    for (fake_node &n : fs->nodes) {
        if (n.bind >= 0) n.alive = false;
    }
}
} // namespace

TEST(InotifyTree, MountsShowingAnAncestorDoNotLoopSetUpArrivalOrRescan) {
    harness h;
    bool looped = false;
    h.fs.on_call = end_loops;
    h.fs.on_call_context = &looped;
    fake_mkdir(&h.fs, "/w/a");
    fake_bind(&h.fs, "/w/a", "/w/a/loop");
    fake_bind(&h.fs, "/w", "/w/a/root");
    ASSERT_EQ(h.start(), 0);
    EXPECT_EQ(h.known_as("/w/a"), "a");
    fake_mkdir(&h.fs, "/o/n");
    fake_bind(&h.fs, "/o/n", "/o/n/self");
    fake_write(&h.fs, "/o/n/f");
    fake_rename(&h.fs, "/o/n", "/w/n");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"n/f"}));
    fake_queue(&h.fs, -1, IN_Q_OVERFLOW, 0, "");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_FALSE(looped);
    EXPECT_EQ(h.known_as("/w/a"), "a");
    EXPECT_EQ(h.known_as("/w/n"), "n");
    std::string why;
    EXPECT_TRUE(fake_check_structure(&h.tree, &why)) << why;
}

TEST(InotifyTree, DirectoryRenamedTwiceWithItsFirstNewNameTakenHasItsFilesScanned) {
    // mv a b; echo > b/f; mv b x; mkdir b: when the tree reads the first
    // rename, "b" is another directory already.
    harness h;
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/a");
    ASSERT_EQ(h.deliver(), 0);
    fake_rename(&h.fs, "/w/a", "/w/b");
    fake_write(&h.fs, "/w/b/f");
    fake_rename(&h.fs, "/w/b", "/w/x");
    fake_mkdir(&h.fs, "/w/b");
    ASSERT_EQ(h.deliver(), 0);
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
    for (const std::string &path : h.changes()) EXPECT_TRUE(fake_ever_named(&h.fs, path.c_str())) << path;
    h.expect_mirror();
}

TEST(InotifyTree, RootGoneWhileEventsWereLostEndsTheWatchAtTheRescan) {
    {
        harness h;
        ASSERT_EQ(h.start(), 0);
        h.fs.queue_limit = 0;
        fake_rmdir(&h.fs, "/w"); // its DELETE_SELF and IN_IGNORED are lost
        EXPECT_EQ(h.deliver(), ENOENT);
        ASSERT_EQ(h.records.size(), 1u);
        EXPECT_EQ(h.records[0].kind, RECORD_LOST);
    }
    {
        harness h;
        ASSERT_EQ(h.start(), 0);
        h.fs.queue_limit = 0;
        fake_rename(&h.fs, "/w", "/o/w");
        fake_mkdir(&h.fs, "/w"); // another directory under the same name
        EXPECT_EQ(h.deliver(), ENOENT);
        EXPECT_EQ(h.fs.watch_count, 1u); // the one just found is not kept
    }
}

TEST(InotifyTree, RootSeenAgainThroughAMountKeepsTheEventsOfItsOwnEnd) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_bind(&h.fs, "/w", "/w/a/again");
    ASSERT_EQ(h.start(), 0);
    fake_rename(&h.fs, "/w", "/o/w");
    EXPECT_EQ(h.deliver(), ENOENT);
}

TEST(InotifyTree, WhatAMountShowsIsWatchedAndReportedUnlessWatchedElsewhere) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/o/d");
    fake_write(&h.fs, "/o/d/f");
    fake_write(&h.fs, "/o/top");
    ASSERT_EQ(h.start(), 0);
    // A mount comes with no event: the mount table tells the reader.
    fake_bind(&h.fs, "/o", "/w/m");
    tree_mount_changed(&h.tree, "m", harness::collect, &h);
    EXPECT_EQ(sorted(h.changes()), (paths{"m/d/f", "m/top"}));
    fake_create(&h.fs, "/w/m/d/g");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"m/d/g"}));
    // A folder the tree watches, shown at another path too: its files are
    // reported where the tree has it, and it stays there.
    fake_bind(&h.fs, "/w/a", "/w/b");
    tree_mount_changed(&h.tree, "b", harness::collect, &h);
    EXPECT_EQ(h.known_as("/w/a"), "a");
    // The root itself (its guard tells) and paths the tree does not hold.
    tree_mount_changed(&h.tree, "", harness::collect, &h);
    tree_mount_changed(&h.tree, "nowhere/x", harness::collect, &h);
    EXPECT_TRUE(h.records.empty());
    std::string why;
    EXPECT_TRUE(fake_check_structure(&h.tree, &why)) << why;
}

namespace {
struct deep_run {
    harness *h;
    bool survived;
};

void *rescan_deep_tree(void *context) {
    deep_run *run = static_cast<deep_run *>(context);
    fake_queue(&run->h->fs, -1, IN_Q_OVERFLOW, 0, "");
    run->h->deliver();
    run->survived = true;
    return nullptr;
}
} // namespace

TEST(InotifyTree, TreesDeeperThanAnyPathAreWalkedWithoutRecursion) {
    // Chains of directories, each as deep as a path allows, moved one into
    // the bottom of the next: the tree ends far deeper than PATH_MAX. Then a
    // rescan finds the top unreadable, so everything below is kept as known.
    harness h;
    ASSERT_EQ(h.start(), 0);
    const int chains = 4, depth = 800;
    for (int c = 0; c < chains; c++) {
        std::string path = "/w/c" + std::to_string(c);
        ASSERT_EQ(fake_mkdir(&h.fs, path.c_str()), 0);
        for (int i = 0; i < depth; i++) {
            path += "/d";
            ASSERT_EQ(fake_mkdir(&h.fs, path.c_str()), 0);
        }
    }
    ASSERT_EQ(h.deliver(), 0);
    std::string bottom;
    for (int i = 0; i < depth; i++) bottom += "/d";
    for (int c = 0; c + 1 < chains; c++) {
        std::string from = "/w/c" + std::to_string(c);
        std::string to = "/w/c" + std::to_string(c + 1) + bottom + "/c" + std::to_string(c);
        ASSERT_EQ(fake_rename(&h.fs, from.c_str(), to.c_str()), 0);
        ASSERT_EQ(h.deliver(), 0);
    }
    EXPECT_TRUE(h.records.empty());
    std::string deepest = "/w/c3" + bottom + "/c2" + bottom + "/c1" + bottom + "/c0" + bottom;
    EXPECT_EQ(h.known_as(deepest.c_str()), "<too long>"); // known, only not nameable
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w/c3"))].open_error = EACCES;

    // A stack that a recursion over 3200 levels overflows.
    deep_run run = {&h, false};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 32 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, rescan_deep_tree, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_TRUE(run.survived);
    EXPECT_GE(tree_find(&h.tree, h.wd(deepest.c_str())), 0);
    ASSERT_EQ(h.records.size(), 2u);
    EXPECT_EQ(h.records[1].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[1].path, "c3");
}

TEST(InotifyTree, DirectoryCreatedBeforeItsParentWasRenamedIsWatchedUnderTheNewName) {
    // mkdir t/sub; echo > t/sub/f; mv t done: when the tree reads the
    // creation of sub, t/sub no longer exists.
    for (size_t capacity : {size_t(4096), sizeof(inotify_event) + 16}) {
        harness h;
        fake_mkdir(&h.fs, "/w/up");
        fake_mkdir(&h.fs, "/w/up/t");
        ASSERT_EQ(h.start(), 0);
        fake_mkdir(&h.fs, "/w/up/t/sub");
        fake_write(&h.fs, "/w/up/t/sub/f");
        fake_rename(&h.fs, "/w/up", "/w/done");
        ASSERT_EQ(h.deliver(capacity), 0); // the rename in the same read, or a later one
        EXPECT_EQ(h.known_as("/w/done/t/sub"), "done/t/sub") << capacity;
        EXPECT_EQ(h.changes(), (paths{"done/t/sub/f"})) << capacity;
        fake_write(&h.fs, "/w/done/t/sub/g");
        ASSERT_EQ(h.deliver(capacity), 0);
        EXPECT_EQ(h.changes(), (paths{"done/t/sub/g", "done/t/sub/g"}));
        h.expect_mirror();
    }
}

namespace {
// Runs once, at the first call the tree makes outside a listing after the
// directory at path got its watch: a change between two steps of set-up.
struct between_steps {
    const char *watched;
    void (*change)(fake_fs *fs);
    bool done;
};

void change_between_steps(fake_fs *fs, void *context) {
    between_steps *b = static_cast<between_steps *>(context);
    if (b->done || fs->open_listings || fs->call == FAKE_NEXT) return;
    int node = fake_lookup(fs, b->watched);
    if (node < 0 || fs->nodes[static_cast<size_t>(node)].wd == 0) return;
    b->done = true;
    b->change(fs);
}
} // namespace

TEST(InotifyTree, ListingByAPathAnotherDirectoryTookListsNothingForTheOldOne) {
    // Set-up watched x and y, then y replaced x before x was listed: what
    // /w/x lists now is y's.
    harness h;
    fake_mkdir(&h.fs, "/w/x");
    fake_mkdir(&h.fs, "/w/y");
    fake_mkdir(&h.fs, "/w/y/sub");
    between_steps step = {"/w/y/sub", [](fake_fs *fs) { fake_rename(fs, "/w/y", "/w/x"); }, false};
    h.fs.on_call = change_between_steps;
    h.fs.on_call_context = &step;
    ASSERT_EQ(h.start(), 0);
    ASSERT_TRUE(step.done);
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.known_as("/w/x/sub"), "x/sub");
    h.expect_mirror();
}

TEST(InotifyTree, SetUpListedDirectoryWhoseCreationCameUnderAStalePathHasItsFilesReported) {
    harness h;
    fake_mkdir(&h.fs, "/w/c");
    between_steps step = {"/w/c", [](fake_fs *fs) {
                              fake_mkdir(fs, "/w/c/a");
                              fake_write(fs, "/w/c/a/f");
                          }, false};
    h.fs.on_call = change_between_steps;
    h.fs.on_call_context = &step;
    ASSERT_EQ(h.start(), 0);
    ASSERT_TRUE(step.done);
    EXPECT_EQ(h.known_as("/w/c/a"), "c/a");
    fake_rename(&h.fs, "/w/c", "/w/d");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"d/a/f"}));
    h.expect_mirror();
}

TEST(InotifyTree, MoveAwayReadAfterARescanFoundItsNameTakenLeavesTheNewOneWatched) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    ASSERT_EQ(h.start(), 0);
    fake_queue(&h.fs, -1, IN_Q_OVERFLOW, 0, "");
    h.fs.queue_limit = 2;
    fake_rename(&h.fs, "/w/a", "/o/a"); // read after the overflow
    fake_mkdir(&h.fs, "/w/a");          // lost with it
    h.fs.queue_limit = 16384;
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.known_as("/w/a"), "a");
    std::vector<unsigned char> settle = event(999, IN_MODIFY, 0, "x");
    ASSERT_EQ(h.feed(settle), 0);
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.known_as("/w/a"), "a");
    h.expect_mirror();
}

TEST(InotifyTree, DirectoryFoundInANewOneWithoutItsMoveBeingSeenIsReportedAgain) {
    // b left the tree and came back inside x before x was watched: the
    // kernel said nothing of where it went, so its files are due again.
    harness h;
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/b");
    fake_write(&h.fs, "/w/b/f");
    ASSERT_EQ(h.deliver(), 0);
    h.records.clear();
    fake_mkdir(&h.fs, "/w/x");
    fake_rename(&h.fs, "/w/b", "/o/b");
    fake_rename(&h.fs, "/o/b", "/w/x/b");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"x/b/f"}));
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
    h.expect_mirror();
}

TEST(InotifyTree, CreationReadAfterARenameTookTheNameDoesNotMoveTheKnownDirectoryEarly) {
    // rm d/f; mkdir a; mv d a: the deletion is reported where the file was.
    harness h;
    fake_mkdir(&h.fs, "/w/d");
    fake_write(&h.fs, "/w/d/f");
    h.fs.queue.clear();
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/a");
    fake_unlink(&h.fs, "/w/d/f");
    fake_rename(&h.fs, "/w/d", "/w/a");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"d/f"}));
    EXPECT_EQ(h.known_as("/w/a"), "a");
    h.expect_mirror();
}

TEST(InotifyTree, DirectoryFoundThroughAParentPathAnotherTookIsNotTakenForTheParentsChild) {
    // mkdir a/n; mv a ab/a; mv (outside dir holding n) a: /w/a/n is
    // another directory when the creation of a/n is read.
    harness h;
    fake_mkdir(&h.fs, "/w/ab");
    fake_mkdir(&h.fs, "/w/a");
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/a/n");
    fake_write(&h.fs, "/w/a/n/f");
    fake_rename(&h.fs, "/w/a", "/w/ab/a");
    fake_mkdir(&h.fs, "/o/c");
    fake_mkdir(&h.fs, "/o/c/n");
    fake_write(&h.fs, "/o/c/n/g");
    fake_rename(&h.fs, "/o/c", "/w/a");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.known_as("/w/ab/a/n"), "ab/a/n");
    EXPECT_EQ(h.known_as("/w/a/n"), "a/n");
    EXPECT_EQ(sorted(h.changes()), (paths{"a/n/g", "ab/a/n/f"}));
    h.expect_mirror();
}

TEST(InotifyTree, RescanForgetsWhatLeftFromBelowADirectoryItCannotList) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/c");
    ASSERT_EQ(h.start(), 0);
    int c = h.wd("/w/a/c");
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w/a"))].open_error = EACCES;
    h.fs.queue_limit = 0;
    fake_rename(&h.fs, "/w/a/c", "/o/c"); // its move is lost
    h.fs.queue_limit = 16384;
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(tree_find(&h.tree, c), -1);
    EXPECT_EQ(h.fs.removed, std::vector<int>{c});
    EXPECT_EQ(h.known_as("/w/a"), "a"); // watched, only not listed
}

TEST(InotifyTree, MoveIntoItsOwnSubtreeAsTheTreeStillSeesItIsNamedBeforeItIsForgotten) {
    // Events the tree reads behind the file system can name as new parent a
    // directory the tree still holds below the one that moved.
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    fake_mkdir(&h.fs, "/w/a/b/x");
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w/a/b/x"))].add_error = EACCES;
    h.fs.queue.clear();
    ASSERT_EQ(h.start(), 0);
    h.records.clear();
    int root = h.wd("/w"), a = h.wd("/w/a"), b = h.wd("/w/a/b");
    ASSERT_EQ(h.feed(event(root, IN_MOVED_FROM | IN_ISDIR, 7, "a") +
                     event(b, IN_MOVED_TO | IN_ISDIR, 7, "x")),
              0);
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[0].path, "a/b/x");
    EXPECT_EQ(tree_find(&h.tree, a), -1);
    EXPECT_EQ(tree_find(&h.tree, b), -1);
    std::string why;
    EXPECT_TRUE(fake_check_structure(&h.tree, &why)) << why;
}

TEST(InotifyTree, DirectoryWaitingForARenameDoesNotKeepTheWatchBusy) {
    // A directory missed under a parent whose path another directory holds
    // waits for the rename above it. Looking costs a watch added to that
    // other directory and removed, whose IN_IGNORED must not look again.
    harness h;
    fake_mkdir(&h.fs, "/w/p");
    fake_mkdir(&h.fs, "/w/p/a");
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/p/a/n");
    fake_rename(&h.fs, "/w/p", "/o/p");
    fake_mkdir(&h.fs, "/w/p");
    fake_mkdir(&h.fs, "/w/p/a");
    unsigned char first[sizeof(inotify_event) + 16];
    size_t length = fake_read(&h.fs, first, sizeof first); // the creation of n only
    h.fs.queue.clear();                                     // the rest is not read yet
    ASSERT_EQ(h.feed(first, length), 0);
    unsigned char buffer[4096];
    for (int reads = 0; reads < 10 && !h.fs.queue.empty(); reads++) {
        ASSERT_EQ(h.feed(buffer, fake_read(&h.fs, buffer, sizeof buffer)), 0);
    }
    EXPECT_TRUE(h.fs.queue.empty());
    EXPECT_EQ(h.fs.watch_count, 3u); // root, p and a
}

TEST(InotifyTree, NamesSwappedTwiceAndReadLateFollowTheEventsNotTheFileSystem) {
    // mv x t; mv y x; mv t y; mv y t; (file in the directory at x); mv x y;
    // mv t x: by the time these are read, x and y stand where they started.
    harness h;
    fake_mkdir(&h.fs, "/w/x");
    fake_mkdir(&h.fs, "/w/x/sub");
    fake_mkdir(&h.fs, "/w/y");
    fake_mkdir(&h.fs, "/w/y/sub");
    ASSERT_EQ(h.start(), 0);
    fake_write(&h.fs, "/w/blocker");
    ASSERT_EQ(h.deliver(), 0); // a batch after set-up: its listing is behind us
    h.records.clear();
    fake_rename(&h.fs, "/w/x", "/w/t");
    fake_rename(&h.fs, "/w/y", "/w/x");
    fake_rename(&h.fs, "/w/t", "/w/y");
    fake_rename(&h.fs, "/w/y", "/w/t");
    fake_create(&h.fs, "/w/x/sub/during");
    fake_rename(&h.fs, "/w/x", "/w/y");
    fake_rename(&h.fs, "/w/t", "/w/x");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"x/sub/during"}));
    EXPECT_TRUE(h.fs.removed.empty());
    h.expect_mirror();
}

TEST(InotifyTree, RenameHalvesAroundAnotherEventInOneBufferAreOneStep) {
    // Another process's event falls between the halves of a rename: the
    // directory is moved where the first half stands, so the event in it
    // already has the new path and no watch is dropped and taken again.
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/b");
    ASSERT_EQ(h.start(), 0);
    int root = h.wd("/w"), b = h.wd("/w/a/b");
    fake_rename(&h.fs, "/w/a", "/w/z");
    fake_create(&h.fs, "/w/z/b/f");
    h.fs.queue.clear();
    ASSERT_EQ(h.feed(event(root, IN_MOVED_FROM | IN_ISDIR, 9, "a") + event(b, IN_CREATE, 0, "f") +
                     event(root, IN_MOVED_TO | IN_ISDIR, 9, "z")),
              0);
    EXPECT_EQ(h.changes(), (paths{"z/b/f"}));
    EXPECT_TRUE(h.fs.removed.empty());
    h.expect_mirror();
}

TEST(InotifyTree, ChangesBeforeAMoveSeenAheadKeepTheirPathAndTheMoveIsFollowed) {
    // mkdir N; echo > A/f; rm A/f; mv A N/A, all read after N was listed: N
    // was watched after the move, so only its first half is ever read.
    harness h;
    fake_mkdir(&h.fs, "/w/A");
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/N");
    fake_write(&h.fs, "/w/A/f");
    fake_unlink(&h.fs, "/w/A/f");
    fake_rename(&h.fs, "/w/A", "/w/N/A");
    fake_create(&h.fs, "/w/N/A/g");
    ASSERT_EQ(h.deliver(), 0);
    paths changes = h.changes();
    EXPECT_EQ(std::count(changes.begin(), changes.end(), "A/f"), 3);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), "N/A/f"), 0);
    EXPECT_GE(std::count(changes.begin(), changes.end(), "N/A/g"), 1);
    EXPECT_TRUE(h.fs.removed.empty()); // followed, not dropped and found again
    h.expect_mirror();
}

TEST(InotifyTree, NamesSwappedAheadOfTheEventsEndWithEveryDirectoryAtItsPath) {
    // mkdir X M/Y; mv X T; mv M/Y X; mv T M/Y; mv M X/M, all read after the
    // fact: whatever the tree takes for what on the way, once the events
    // stop every directory is watched where it stands.
    harness h;
    fake_mkdir(&h.fs, "/w/M");
    ASSERT_EQ(h.start(), 0);
    fake_mkdir(&h.fs, "/w/X");
    fake_mkdir(&h.fs, "/w/M/Y");
    fake_rename(&h.fs, "/w/X", "/w/T");
    fake_rename(&h.fs, "/w/M/Y", "/w/X");
    fake_rename(&h.fs, "/w/T", "/w/M/Y");
    fake_rename(&h.fs, "/w/M", "/w/X/M");
    ASSERT_EQ(h.deliver(), 0);
    h.expect_mirror();
    h.records.clear();
    fake_create(&h.fs, "/w/X/p1");
    fake_create(&h.fs, "/w/X/M/p2");
    fake_create(&h.fs, "/w/X/M/Y/p3");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), (paths{"X/p1", "X/M/p2", "X/M/Y/p3"}));
}

TEST(InotifyTree, ChangesWhoseRecordsFindNoRoomAreFoundAgainByTheirChangeTime) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_create(&h.fs, "/w/a/old");
    fake_mkdir(&h.fs, "/w/b"); // the clock moves on past old's change
    ASSERT_EQ(h.start(), 0);
    ASSERT_EQ(h.deliver(), 0);
    fake_write(&h.fs, "/w/a/new");
    fake_create(&h.fs, "/w/b/arrived-with-room");
    h.refusing = true;
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_TRUE(h.records.empty());
    EXPECT_TRUE(tree_has_dirty(&h.tree));
    // Still full when the watcher looks: the marks stay.
    tree_report_dirty(&h.tree, harness::collect, &h);
    EXPECT_TRUE(tree_has_dirty(&h.tree));
    h.refusing = false;
    tree_report_dirty(&h.tree, harness::collect, &h);
    EXPECT_FALSE(tree_has_dirty(&h.tree));
    EXPECT_EQ(sorted(h.changes()), (paths{"a/new", "b/arrived-with-room"}));
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
}

TEST(InotifyTree, ARootThatCannotBeListedIsNamedAtSetUpAndWhenItsChangesAreLookedFor) {
    harness h;
    fake_create(&h.fs, "/w/f");
    h.fs.nodes[static_cast<size_t>(fake_lookup(&h.fs, "/w"))].open_error = EACCES;
    ASSERT_EQ(h.start(), 0);
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[0].path, "");
    EXPECT_EQ(h.records[0].detail, "Permission denied");
    h.records.clear();
    fake_write(&h.fs, "/w/f");
    h.refusing = true;
    ASSERT_EQ(h.deliver(), 0);
    h.refusing = false;
    tree_report_dirty(&h.tree, harness::collect, &h);
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0].kind, RECORD_UNWATCHED);
    EXPECT_EQ(h.records[0].path, "");
}

namespace {
// Set-up looks ahead of a folder made meanwhile; once armed, a folder of
// the box is renamed while the check at rest lists the box (the only
// listing of more than a few entries).
struct storm_under_check {
    between_steps set_up;
    bool armed;
    int entries;
    int listings;
};

void rename_under_check(fake_fs *fs, void *context) {
    storm_under_check *s = static_cast<storm_under_check *>(context);
    if (!s->armed) return change_between_steps(fs, &s->set_up);
    if (fs->call == FAKE_LIST) s->listings++;
    if (fs->call == FAKE_NEXT && ++s->entries == 32) fake_rename(fs, "/w/box/d0", "/w/box/e0");
}
} // namespace

TEST(InotifyTree, ACheckPutOffByChangesMadeWhileItListedWaitsForAsManyEventsOrForQuiet) {
    harness h;
    fake_mkdir(&h.fs, "/w/box");
    for (int i = 0; i < 64; i++) fake_mkdir(&h.fs, ("/w/box/d" + std::to_string(i)).c_str());
    storm_under_check s = {{"/w/box/d5", [](fake_fs *fs) { fake_mkdir(fs, "/w/box/new"); }, false},
                           false, 0, 0};
    h.fs.on_call = rename_under_check;
    h.fs.on_call_context = &s;
    ASSERT_EQ(h.start(), 0);
    ASSERT_TRUE(s.set_up.done);
    s.armed = true;
    std::vector<unsigned char> buffer(4096);
    size_t length = fake_read(&h.fs, buffer.data(), buffer.size());
    ASSERT_EQ(h.feed(buffer.data(), length), 0);
    // The check saw the rename made while it listed, and was put off.
    ASSERT_GE(s.entries, 32);
    ASSERT_TRUE(tree_check_owed(&h.tree));
    int listings = s.listings;
    // The rename's events are far fewer bytes than the entries it listed:
    // at this rest it is not tried again.
    length = fake_read(&h.fs, buffer.data(), buffer.size());
    ASSERT_GT(length, 0u);
    ASSERT_EQ(h.feed(buffer.data(), length), 0);
    EXPECT_LT(h.tree.stream.stream_end, h.tree.sync.verify_after);
    EXPECT_EQ(s.listings, listings);
    EXPECT_EQ(h.tree.sync.ahead, true);
    // Quiet: the reader settles, and the check holds now.
    ASSERT_EQ(tree_run_owed_check(&h.tree, harness::collect, &h), 0);
    EXPECT_GT(s.listings, listings);
    EXPECT_FALSE(tree_check_owed(&h.tree));
    EXPECT_EQ(h.known_as("/w/box/e0"), "box/e0");
    h.expect_mirror();
}

TEST(InotifyTree, ARenamedDirectoryHasWhatChangedLatelyReportedUnderItsNewPath) {
    harness h;
    fake_mkdir(&h.fs, "/w/a");
    fake_mkdir(&h.fs, "/w/a/sub");
    fake_write(&h.fs, "/w/a/old");
    fake_mkdir(&h.fs, "/o/in");
    fake_write(&h.fs, "/o/in/came");
    h.fs.queue.clear();
    ASSERT_EQ(h.start(), 0);
    ASSERT_EQ(h.deliver(), 0);
    fake_create(&h.fs, "/w/a/sub/new");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), paths{"a/sub/new"});
    // Scanned under its old path before the rename: only what changed since
    // is looked for again, under the new one.
    fake_rename(&h.fs, "/w/a", "/w/b");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_TRUE(h.changes().empty());
    ASSERT_TRUE(tree_has_dirty(&h.tree));
    tree_report_dirty(&h.tree, harness::collect, &h);
    EXPECT_EQ(h.changes(), paths{"b/sub/new"});
    // Arrived while the watcher is held, and renamed before its files were
    // scanned: every one of them again, however old.
    h.held_since = h.fs.clock;
    fake_rename(&h.fs, "/o/in", "/w/in");
    ASSERT_EQ(h.deliver(), 0);
    EXPECT_EQ(h.changes(), paths{"in/came"});
    fake_rename(&h.fs, "/w/in", "/w/b/in");
    ASSERT_EQ(h.deliver(), 0);
    tree_report_dirty(&h.tree, harness::collect, &h);
    EXPECT_EQ(h.changes(), paths{"b/in/came"});
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
}

TEST(InotifyTree, DirectoriesKeptOpenAtSetUpAreGivenUpWhenDescriptorsRunOut) {
    harness h;
    for (int i = 0; i < 6; i++) {
        std::string sub = "/w/a/s" + std::to_string(i);
        fake_mkdir(&h.fs, "/w/a");
        fake_mkdir(&h.fs, sub.c_str());
        fake_mkdir(&h.fs, (sub + "/t").c_str());
    }
    h.fs.queue.clear();
    h.fs.open_limit = 4;
    ASSERT_EQ(h.start(), 0);
    EXPECT_TRUE(h.records.empty());
    EXPECT_EQ(h.fs.open_directories, 0);
    h.expect_mirror();
}

TEST(InotifyTree, FoldersRenamedOnAsSoonAsWrittenAreNeverNamedWhereAnotherStands) {
    // write inbox/malK; mv inbox keptK; mkdir inbox: the tree, read behind,
    // meets each new inbox by a name a later one holds. A file is reported
    // at a path that named it, or owed until the folder's place is sure.
    harness h;
    fake_mkdir(&h.fs, "/w/inbox");
    h.fs.queue.clear();
    ASSERT_EQ(h.start(), 0);
    // One short read after each round: the tree stays a few events behind.
    unsigned char buffer[96];
    for (int k = 0; k < 40; k++) {
        std::string kept = "/w/kept" + std::to_string(k);
        fake_write(&h.fs, ("/w/inbox/mal" + std::to_string(k)).c_str());
        fake_rename(&h.fs, "/w/inbox", kept.c_str());
        fake_mkdir(&h.fs, "/w/inbox");
        size_t length = fake_read(&h.fs, buffer, sizeof buffer);
        ASSERT_EQ(h.feed(buffer, length), 0);
    }
    ASSERT_EQ(h.deliver(), 0);
    for (int round = 0; round < 4 && tree_has_dirty(&h.tree); round++) {
        tree_report_dirty(&h.tree, harness::collect, &h);
    }
    for (const std::string &path : h.changes()) {
        EXPECT_TRUE(fake_ever_named(&h.fs, path.c_str())) << path;
    }
    std::string why;
    EXPECT_TRUE(fake_check_scanned(&h.fs, &why)) << why;
    h.expect_mirror();
}
