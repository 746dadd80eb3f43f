// The catch-up walk and the folders it opens: on a real directory, and over
// the fake file system where a folder is swapped for a link mid-walk.
#include <gtest/gtest.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "changed_walk.h"
#include "fake_tree.h"

namespace {

typedef std::vector<std::string> lines;

struct walked {
    std::vector<std::string> lines;
    int room = 1 << 30; // records the queue takes before it is full
};

bool collect(void *context, const watch_record *record) {
    walked *w = static_cast<walked *>(context);
    if (w->room-- <= 0) return false;
    w->lines.push_back(std::to_string(record->kind) + ":" + (record->path ? record->path : ""));
    return true;
}

void touch(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
}

struct tree {
    std::string root;
    tree() {
        char pattern[] = "/tmp/changed-walk-XXXXXX";
        root = mkdtemp(pattern);
        mkdir((root + "/a").c_str(), 0755);
        mkdir((root + "/a/b").c_str(), 0755);
        mkdir((root + "/outside").c_str(), 0755);
        touch(root + "/top");
        touch(root + "/a/b/deep");
        touch(root + "/outside/x");
        symlink("../outside", (root + "/a/link").c_str()); // reported, never followed
    }
    ~tree() { std::string command = "rm -rf " + root; EXPECT_EQ(system(command.c_str()), 0); }
};

lines sorted(lines values) {
    std::sort(values.begin(), values.end());
    return values;
}

} // namespace

TEST(ChangedWalk, ReportsEveryFileChangedSinceTheMarkAndFollowsNoLink) {
    tree t;
    walked all;
    EXPECT_TRUE(walk_changed(t.root.c_str(), now_ns() - 60 * 1000000000ll, collect, &all));
    EXPECT_EQ(sorted(all.lines), (lines{"0:a/b/deep", "0:a/link", "0:outside/x", "0:top"}));
    // Beyond the margin after every change: nothing.
    walked none;
    EXPECT_TRUE(walk_changed(t.root.c_str(), now_ns() + 60 * 1000000000ll, collect, &none));
    EXPECT_TRUE(none.lines.empty());
    EXPECT_TRUE(changed_since(5, 0));
    EXPECT_TRUE(changed_since(CLOCK_MARGIN_NS, 2 * CLOCK_MARGIN_NS));
    EXPECT_FALSE(changed_since(CLOCK_MARGIN_NS - 1, 2 * CLOCK_MARGIN_NS));
}

TEST(ChangedWalk, SaysWhenARecordFoundNoRoomOrAFolderIsGone) {
    tree t;
    walked full;
    full.room = 1;
    EXPECT_FALSE(walk_changed(t.root.c_str(), 0, collect, &full));
    EXPECT_EQ(full.lines.size(), 1u);
    walked gone;
    EXPECT_TRUE(walk_changed((t.root + "/missing").c_str(), 0, collect, &gone));
    EXPECT_TRUE(gone.lines.empty());
    walked file;
    EXPECT_TRUE(walk_changed((t.root + "/top").c_str(), 0, collect, &file));
    EXPECT_EQ(file.lines, (lines{"4:"})); // not a folder: named
}

// Below a folder, a link is refused wherever it stands on the way, with
// openat2 and one name at a time alike; and the root is only opened while
// it is the folder first seen there.
TEST(FolderLister, NoLinkIsFollowedBelowAFolderAndTheRootMustBeTheOneWatched) {
    tree t;
    for (bool components : {false, true}) {
        kernel_root root;
        ASSERT_EQ(kernel_root_init(&root, t.root.c_str()), 0);
        root.component_walk = components;
        lister_ops l = kernel_lister(&root);
        int error = 0;
        void *a = l.open_below(l.context, nullptr, "a/b", &error);
        ASSERT_NE(a, nullptr) << components;
        l.close(l.context, a);
        for (const char *refused : {"a/link", "a/link/x", "top", "../outside"}) {
            error = 0;
            EXPECT_EQ(l.open_below(l.context, nullptr, refused, &error), nullptr) << refused;
            EXPECT_EQ(error, ENOTDIR) << refused << " " << components;
        }
        EXPECT_EQ(l.open_below(l.context, nullptr, "a/missing/x", &error), nullptr);
        EXPECT_EQ(error, ENOENT);
        void *self = l.open_below(l.context, nullptr, "", &error);
        ASSERT_NE(self, nullptr);
        l.close(l.context, self);
    }
    kernel_root root;
    ASSERT_EQ(kernel_root_init(&root, t.root.c_str()), 0);
    lister_ops l = kernel_lister(&root);
    // Every entry of a folder too big for one read of the kernel's, once;
    // a folder removed while open lists as empty, not as unreadable.
    ASSERT_EQ(mkdir((t.root + "/many").c_str(), 0755), 0);
    for (int i = 0; i < 2000; i++) touch(t.root + "/many/" + std::string(40, 'f') + std::to_string(i));
    ASSERT_EQ(mkdir((t.root + "/gone").c_str(), 0755), 0);
    int error = 0;
    void *many = l.open_below(l.context, nullptr, "many", &error);
    void *gone = l.open_below(l.context, nullptr, "gone", &error);
    ASSERT_TRUE(many && gone);
    ASSERT_EQ(rmdir((t.root + "/gone").c_str()), 0);
    EXPECT_EQ(l.list(l.context, many), 0);
    EXPECT_EQ(l.list(l.context, gone), 0);
    bool is_directory = true;
    std::vector<std::string> names;
    while (const char *name = l.next_entry(l.context, many, &is_directory)) names.push_back(name);
    EXPECT_EQ(names.size(), 2000u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 2000u);
    EXPECT_FALSE(is_directory);
    EXPECT_EQ(l.next_entry(l.context, gone, &is_directory), nullptr);
    l.close(l.context, many);
    l.close(l.context, gone);
    ASSERT_EQ(rename(t.root.c_str(), (t.root + ".moved").c_str()), 0);
    ASSERT_EQ(mkdir(t.root.c_str(), 0755), 0);
    EXPECT_EQ(l.open_below(l.context, nullptr, "", &error), nullptr);
    EXPECT_EQ(error, ENOENT); // another folder by that path now
    ASSERT_EQ(rmdir(t.root.c_str()), 0);
    ASSERT_EQ(rename((t.root + ".moved").c_str(), t.root.c_str()), 0);
}

namespace {

// The fake file system's folders, walked from its root /w.
struct fake_walk {
    fake_fs fs;
    lister_ops lister;
    walked out;
    fake_walk() {
        fake_init(&fs);
        fake_mkdir(&fs, "/w");
        fake_set_root(&fs, "/w");
        lister = fake_lister(&fs);
    }
    bool walk(int64_t since) {
        int error = 0;
        void *root = lister.open_below(lister.context, nullptr, "", &error);
        EXPECT_NE(root, nullptr);
        bool complete = walk_changed_below(&lister, root, "", since, collect, &out);
        lister.close(lister.context, root);
        EXPECT_EQ(fs.open_directories, 0);
        return complete;
    }
};

// Swaps /w/evil for a link to /secret once evil is being listed (the root,
// listed first, holds nothing else).
void swap_for_link(fake_fs *fs, void *context) {
    int *listings = static_cast<int *>(context);
    if (fs->call != FAKE_LIST || ++*listings != 2) return;
    fake_rename(fs, "/w/evil", "/w/evil.old");
    fake_symlink(fs, "/secret", "/w/evil");
}

} // namespace

TEST(ChangedWalk, AFolderSwappedForALinkMidWalkIsWalkedAsOpenedNeverThroughTheLink) {
    fake_walk w;
    fake_mkdir(&w.fs, "/secret");
    fake_mkdir(&w.fs, "/secret/inner");
    fake_write(&w.fs, "/secret/inner/private_key");
    fake_mkdir(&w.fs, "/w/evil");
    fake_mkdir(&w.fs, "/w/evil/inner");
    fake_write(&w.fs, "/w/evil/f");
    fake_write(&w.fs, "/w/evil/inner/own");
    int listings = 0;
    w.fs.on_call = swap_for_link;
    w.fs.on_call_context = &listings;
    EXPECT_TRUE(w.walk(0));
    ASSERT_GE(fake_lookup(&w.fs, "/w/evil.old"), 0);
    // Never named under evil, where a link stands by now: the folder's
    // rename tells where they are.
    EXPECT_EQ(w.out.lines, lines{});
    // Walked again now: the link is a file, and nothing behind it is read.
    w.out.lines.clear();
    w.fs.on_call = nullptr;
    EXPECT_TRUE(w.walk(0));
    EXPECT_EQ(sorted(w.out.lines),
              (lines{"0:evil", "0:evil.old/f", "0:evil.old/inner/own"}));
}

TEST(ChangedWalk, TheMarginTheDepthAndWhatCannotBeListed) {
    fake_walk w;
    fake_write(&w.fs, "/w/just_in");
    fake_write(&w.fs, "/w/just_out");
    const int64_t since = 100 * CLOCK_MARGIN_NS;
    w.fs.nodes[static_cast<size_t>(fake_lookup(&w.fs, "/w/just_in"))].ctime = since - CLOCK_MARGIN_NS;
    w.fs.nodes[static_cast<size_t>(fake_lookup(&w.fs, "/w/just_out"))].ctime = since - CLOCK_MARGIN_NS - 1;
    // Deeper than the folders a walk holds open: opened from the deepest
    // held one, the names in between, no link followed either.
    std::string deep = "/w";
    std::string relative;
    for (int i = 0; i < 100; i++) {
        deep += "/d";
        relative += relative.empty() ? "d" : "/d";
        fake_mkdir(&w.fs, deep.c_str());
    }
    fake_write(&w.fs, (deep + "/bottom").c_str());
    fake_mkdir(&w.fs, "/w/locked");
    fake_mkdir(&w.fs, "/w/locked/inside");
    w.fs.nodes[static_cast<size_t>(fake_lookup(&w.fs, "/w/locked"))].open_error = EACCES;
    EXPECT_TRUE(w.walk(since));
    EXPECT_EQ(sorted(w.out.lines), (lines{"0:" + relative + "/bottom", "0:just_in", "4:locked"}));
    // A queue without room: the walk says so.
    w.out.lines.clear();
    w.out.room = 1;
    EXPECT_FALSE(w.walk(since));
}
