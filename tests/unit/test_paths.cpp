#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "monitor.h"

namespace {

struct collected {
    std::vector<std::string> fields;
    size_t refuse_at = 1000;
};

bool collect(void *context, const char *field) {
    collected *c = static_cast<collected *>(context);
    if (c->fields.size() == c->refuse_at) return false;
    c->fields.push_back(field);
    return true;
}

std::vector<std::string> split(std::string list, size_t refuse_at = 1000) {
    collected c;
    c.refuse_at = refuse_at;
    split_fields(&list[0], collect, &c);
    return c.fields;
}

} // namespace

TEST(SplitFields, FollowsStrtokRules) {
    EXPECT_EQ(split(""), std::vector<std::string>{});
    EXPECT_EQ(split(";;;"), std::vector<std::string>{});
    EXPECT_EQ(split("C:\\a;;C:\\b;"), (std::vector<std::string>{"C:\\a", "C:\\b"}));
    EXPECT_EQ(split(";x"), std::vector<std::string>{"x"});
    EXPECT_EQ(split(" a ; b "), (std::vector<std::string>{" a ", " b "}));
    EXPECT_EQ(split("same;same"), (std::vector<std::string>{"same", "same"}));
}

TEST(SplitFields, StopsAtTheFirstRefusedStart) {
    collected c;
    c.refuse_at = 1;
    std::string list = "a;b;c";
    EXPECT_FALSE(split_fields(&list[0], collect, &c));
    EXPECT_EQ(c.fields, std::vector<std::string>{"a"});
    // The refused field was split off; the ones after it never were.
    EXPECT_EQ(std::string(list.c_str() + 2), "b");
    EXPECT_EQ(list[4], 'c');
}

TEST(ComposePath, JoinsWithOneSeparatorAsWritten) {
    char out[32];
    ASSERT_TRUE(compose_path(out, sizeof out, "C:\\data", '\\', "sub\\x.txt"));
    EXPECT_STREQ(out, "C:\\data\\sub\\x.txt");
    ASSERT_TRUE(compose_path(out, sizeof out, "dir/", '/', "f"));
    EXPECT_STREQ(out, "dir//f");
}

TEST(ComposePath, RefusesWhatDoesNotFitInsteadOfCutting) {
    char out[8];
    EXPECT_TRUE(compose_path(out, sizeof out, "abc", '/', "def")); // 7 + NUL
    EXPECT_FALSE(compose_path(out, sizeof out, "abc", '/', "defg"));
    EXPECT_EQ(out[7], '\0');
}

TEST(DescribeLongPath, NamesDirectoryAndLastComponent) {
    char out[64];
    describe_long_path(out, sizeof out, "/root", '/', "a/b/c/name.txt");
    EXPECT_STREQ(out, "/root/.../name.txt");
    describe_long_path(out, sizeof out, "/root", '/', "plain");
    EXPECT_STREQ(out, "/root/.../plain");
    char tiny[6];
    describe_long_path(tiny, sizeof tiny, "/root", '/', "x");
    EXPECT_STREQ(tiny, "/root");
}
