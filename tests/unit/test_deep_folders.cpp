// Folders too deep for a path, on real directories: whether one lies below
// a root, wherever the climb first finds a path that fits (below the root,
// beside it, above it, or only at the top), and within its bound; and the
// bounded cache of the answers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "deep_folders.h"

namespace {

// Chains of folders too deep for a path, made once for every case: each
// case places the root at another folder of their way, or beside it.
struct deep_tree : ::testing::Test {
    static std::string top;
    static std::string ways; // top/a/a/... (14 levels)/r: 1,012 folders below r
    static int deep;         // the deepest folder there
    static int wide;         // the deepest of top/long: 17 names of 250 bytes

    static void SetUpTestSuite() {
        char name[] = "/tmp/deep-folders-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        top = name;
        ways = top;
        for (int i = 0; i < 14; i++) ways += "/a";
        ways += "/r";
        close(chain(top, "a", 14));
        deep = chain(ways, "dddd", 1012);
        wide = chain(top + "/long", std::string(250, 'n'), 17);
        ASSERT_GE(deep, 0);
        ASSERT_GE(wide, 0);
    }
    static void TearDownTestSuite() {
        close(deep);
        close(wide);
        std::string command = "rm -rf -- '" + top + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    // levels folders named name below parent (absolute, made if missing);
    // the deepest one, opened as a reader opens a folder by its handle.
    static int chain(const std::string &parent, const std::string &name, int levels) {
        mkdir(parent.c_str(), 0755);
        int fd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; i < levels && fd >= 0; i++) {
            mkdirat(fd, name.c_str(), 0755);
            int deeper = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = deeper;
        }
        return fd;
    }
    // Whether folder (kept open) lies below root (made if missing).
    static bool below(const std::string &root, int folder, int hops = 64) {
        mkdir(root.c_str(), 0755);
        struct stat st;
        if (stat(root.c_str(), &st) != 0) return false;
        return deep_below(root.c_str(), st.st_dev, st.st_ino, dup(folder), hops);
    }
};

std::string deep_tree::top;
std::string deep_tree::ways;
int deep_tree::deep = -1;
int deep_tree::wide = -1;

// The folder levels names below top on the way of the first chain.
std::string on_the_way(const std::string &top, int levels) {
    std::string path = top;
    for (int i = 0; i < levels; i++) path += "/a";
    return path;
}

struct handle_of {
    uint32_t number;
    fan_handle handle() const {
        return fan_handle{7, 1, 4, reinterpret_cast<const unsigned char *>(&number)};
    }
};

} // namespace

TEST_F(deep_tree, AClimbWhoseFirstPathThatFitsIsBelowBesideOrAboveTheRoot) {
    // A hop up from the deepest folder lands 3 levels below top, where a
    // path first fits.
    EXPECT_TRUE(below(on_the_way(top, 1), deep));   // the landing is below the root
    EXPECT_FALSE(below(top + "/b", deep));          // beside it
    // Above the root, short of the top: the folder as deep as the root is
    // found by the hop's length, the root or another.
    EXPECT_TRUE(below(on_the_way(top, 6), deep));
    EXPECT_FALSE(below(on_the_way(top, 5) + "/s", deep));
}

TEST_F(deep_tree, AClimbThatReachesTheTopFindsTheDepthByHalvingAndIsBounded) {
    // Long names: the first hop reaches "/", and how deep the folder is is
    // found by halving the hop.
    EXPECT_TRUE(below(top + "/long/" + std::string(250, 'n'), wide));
    EXPECT_FALSE(below(top + "/b", wide));
    // A root deeper than the folder is not above it.
    EXPECT_FALSE(below(ways + "/dddd/dddd/dddd/dddd", wide));
    // Not followed that far: taken as below, to be named rather than lost.
    EXPECT_TRUE(below(top + "/b", wide, 0));
}

TEST(DeepFolders, AnswersAreKeptPerHandleBoundedAndForgotten) {
    static deep_folders d; // as the reader holds it: zeroed
    handle_of one{1}, two{2};
    EXPECT_EQ(deep_find(&d, one.handle()), -1);
    deep_put(&d, one.handle(), true);
    deep_put(&d, two.handle(), false);
    EXPECT_EQ(deep_find(&d, one.handle()), 1);
    EXPECT_EQ(deep_find(&d, two.handle()), 0);
    deep_put(&d, two.handle(), true); // replaced, not added
    EXPECT_EQ(deep_find(&d, two.handle()), 1);
    unsigned char long_bytes[HANDLE_KEY_MAX + 1] = {};
    fan_handle too_long = {7, 1, sizeof long_bytes, long_bytes};
    deep_put(&d, too_long, true);
    EXPECT_EQ(deep_find(&d, too_long), -1);
    // Bounded: one looked up all along stays among many more handles.
    const uint32_t MANY = DEEP_SETS * DEEP_WAYS * 4;
    for (uint32_t n = 10; n < 10 + MANY; n++) {
        handle_of h{n};
        deep_put(&d, h.handle(), false);
        ASSERT_EQ(deep_find(&d, one.handle()), 1);
    }
    size_t kept = 0;
    for (uint32_t n = 10; n < 10 + MANY; n++) kept += deep_find(&d, handle_of{n}.handle()) >= 0;
    EXPECT_LT(kept, DEEP_SETS * DEEP_WAYS);
    deep_forget(&d);
    EXPECT_EQ(deep_find(&d, one.handle()), -1);
}
