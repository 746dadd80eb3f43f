// The table of hard-linked files' names: names kept, found by place and by
// file, moved and forgotten, checked against a plain map at random, and the
// bound.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "linked_files.h"

namespace {

linked_key key(int number) {
    linked_key k;
    linked_key_of(&k, &number, sizeof number);
    return k;
}

struct table_fixture : ::testing::Test {
    linked_files table;
    void SetUp() override { linked_init(&table); }
    void TearDown() override { linked_release(&table); }

    // Says that folder/name holds file (0: no file followed); the file that
    // lost its last name by that, or 0.
    int set(int folder, const std::string &name, int file) {
        linked_key f = key(file), dropped;
        EXPECT_TRUE(linked_set(&table, key(folder), name.c_str(), name.size(), file ? &f : nullptr,
                               1, static_cast<uint64_t>(file), &dropped));
        int number = 0;
        if (dropped.size) memcpy(&number, dropped.bytes, sizeof number);
        return number;
    }

    std::set<std::string> names_of(int file) {
        std::set<std::string> out;
        int count = linked_names_of(&table, key(file));
        for (int i = 0; i < count; i++) {
            const linked_name &n = table.names[table.found[i]];
            int folder;
            memcpy(&folder, n.folder.bytes, sizeof folder);
            out.insert(std::to_string(folder) + "/" + n.name);
        }
        return out;
    }
};

} // namespace

TEST_F(table_fixture, NamesAreKeptMovedAndForgottenWithTheirFiles) {
    EXPECT_FALSE(linked_follows(&table, key(7)));
    EXPECT_EQ(table.names, nullptr); // nothing reserved until a name is kept
    EXPECT_EQ(set(1, "a", 7), 0);
    EXPECT_EQ(set(2, "a", 7), 0); // another folder, another name
    EXPECT_EQ(set(1, "b", 8), 0);
    EXPECT_EQ(names_of(7), (std::set<std::string>{"1/a", "2/a"}));
    EXPECT_GE(linked_find(&table, key(1), "b", 1), 0);
    EXPECT_LT(linked_find(&table, key(1), "c", 1), 0);
    // The name now holds another file: the old one keeps its other name.
    EXPECT_EQ(set(1, "a", 8), 0);
    EXPECT_EQ(names_of(7), (std::set<std::string>{"2/a"}));
    EXPECT_EQ(names_of(8), (std::set<std::string>{"1/a", "1/b"}));
    // Its last name gone: no longer followed.
    EXPECT_EQ(set(2, "a", 0), 7);
    EXPECT_FALSE(linked_follows(&table, key(7)));
    EXPECT_EQ(set(9, "nothing", 0), 0);
    linked_clear(&table);
    EXPECT_FALSE(linked_follows(&table, key(8)));
    EXPECT_EQ(table.count, 0);
}

TEST_F(table_fixture, TheBoundRefusesANewNameButNotOneKeptAgain) {
    for (int i = 0; i < LINKED_NAMES_MAX; i++) set(1, "n" + std::to_string(i), 7);
    linked_key seven = key(7), dropped;
    EXPECT_FALSE(linked_set(&table, key(1), "more", 4, &seven, 1, 7, &dropped));
    EXPECT_TRUE(linked_set(&table, key(1), "n0", 2, &seven, 1, 7, &dropped));
    EXPECT_EQ(set(1, "n1", 0), 0);
    EXPECT_TRUE(linked_set(&table, key(1), "more", 4, &seven, 1, 7, &dropped)); // room again
    std::string longest(NAME_MAX + 1, 'x');
    EXPECT_LT(linked_add(&table, seven, key(2), longest.c_str(), longest.size(), 1, 7), 0);
    unsigned char big[LINKED_KEY_MAX + 1] = {};
    linked_key k;
    EXPECT_FALSE(linked_key_of(&k, big, sizeof big));
}

// Names set at random against a map: each index finds exactly what is kept,
// through the moves of its slots when an entry is taken out.
TEST_F(table_fixture, TheIndexesFindExactlyWhatIsKept) {
  for (uint32_t seed = 0; seed < 40; seed++) {
    // Each seed of the hash places the entries elsewhere among the slots.
    set(0, "reserve", 1);
    linked_clear(&table);
    table.seed = seed;
    std::mt19937 random(seed);
    std::map<std::pair<int, std::string>, int> model; // (folder, name) -> file
    for (int step = 0; step < 30000; step++) {
        int folder = static_cast<int>(random() % 8);
        std::string name = "f" + std::to_string(random() % 1000); // 8,000 places: within the bound
        int file = random() % 4 ? static_cast<int>(1 + random() % 3000) : 0;
        set(folder, name, file);
        if (file) model[{folder, name}] = file;
        else model.erase({folder, name});
        if (step != 29999) continue;
        std::map<int, std::set<std::string>> by_file;
        for (const auto &kept : model) {
            by_file[kept.second].insert(std::to_string(kept.first.first) + "/" + kept.first.second);
            int entry = linked_find(&table, key(kept.first.first), kept.first.second.c_str(),
                                    kept.first.second.size());
            ASSERT_GE(entry, 0);
            int held;
            memcpy(&held, table.names[entry].file.bytes, sizeof held);
            ASSERT_EQ(held, kept.second);
        }
        for (const auto &kept : by_file) ASSERT_EQ(names_of(kept.first), kept.second);
        ASSERT_EQ(table.count, static_cast<int>(model.size()));
    }
    linked_clear(&table);
  }
}
