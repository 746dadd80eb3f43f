// The guard of a field's path: which events may change what it names, and
// its verdict once a folder on the way was renamed.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fake_tree.h"
#include "root_guard.h"

TEST(RootGuard, OnlyEventsOnTheWayCountAndTheFieldIsLookedUpAgain) {
    char pattern[] = "/tmp/root-guard-XXXXXX";
    std::string top = mkdtemp(pattern);
    std::string field = top + "/a/root";
    ASSERT_EQ(system(("mkdir -p " + field).c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(field.c_str(), &st), 0);
    // The folder holding "root" is watched as wd 7.
    guard_step step = {7, "root", 4};
    root_guard g = {field.c_str(), st.st_dev, st.st_ino, nullptr, &step, 1};
    std::vector<unsigned char> other, named, gone, lost;
    fake_encode(&other, 7, IN_MOVED_FROM | IN_ISDIR, 1, "elsewhere");
    fake_encode(&other, 8, IN_MOVED_FROM | IN_ISDIR, 1, "root");
    fake_encode(&named, 7, IN_MOVED_FROM | IN_ISDIR, 1, "root");
    fake_encode(&gone, 7, IN_MOVE_SELF, 0, "");
    fake_encode(&lost, -1, IN_Q_OVERFLOW, 0, "");
    event_batch batch = {};
    auto touched = [&](const std::vector<unsigned char> &bytes, size_t length) {
        batch_parse(&batch, bytes.data(), length);
        return guard_touched(&g, &batch);
    };
    EXPECT_FALSE(touched(other, other.size()));
    EXPECT_TRUE(touched(named, named.size()));
    EXPECT_TRUE(touched(gone, gone.size()));
    EXPECT_TRUE(touched(lost, lost.size()));
    EXPECT_FALSE(touched(named, named.size() - 1)); // cut short: not read past
    EXPECT_TRUE(batch.cut);
    EXPECT_EQ(batch.count, 0u);
    // A read too large to parse is taken as events lost, which may have
    // said anything.
    batch_parse(&batch, nullptr, SIZE_MAX);
    ASSERT_EQ(batch.count, 1u);
    EXPECT_EQ(batch.events[0].mask, static_cast<uint32_t>(IN_Q_OVERFLOW));
    EXPECT_TRUE(guard_touched(&g, &batch));
    batch_release(&batch);

    EXPECT_EQ(guard_check(&g), 0);
    ASSERT_EQ(rename((top + "/a").c_str(), (top + "/b").c_str()), 0);
    EXPECT_EQ(guard_check(&g), ENOENT); // gone from the field's path
    ASSERT_EQ(system(("mkdir -p " + field).c_str()), 0);
    EXPECT_EQ(guard_check(&g), ENOENT); // another folder stands there
    ASSERT_EQ(system(("rm -rf " + top).c_str()), 0);
}
