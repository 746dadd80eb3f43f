// The walk that finds what changed in a lost window, on a real directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "changed_walk.h"

namespace {

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
        symlink("outside", (root + "/a/link").c_str()); // reported, never followed
    }
    ~tree() { std::string command = "rm -rf " + root; EXPECT_EQ(system(command.c_str()), 0); }
};

int64_t now_ns() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

TEST(ChangedWalk, ReportsEveryFileChangedSinceTheMarkAndFollowsNoLink) {
    tree t;
    walked all;
    EXPECT_TRUE(walk_changed(t.root.c_str(), now_ns() - 60 * 1000000000ll, collect, &all));
    std::sort(all.lines.begin(), all.lines.end());
    EXPECT_EQ(all.lines, (std::vector<std::string>{"0:a/b/deep", "0:a/link", "0:outside/x", "0:top"}));
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
    EXPECT_EQ(file.lines, (std::vector<std::string>{"4:"})); // not a folder: named
}
