// The rescan's walk over crafted folder listings: which files count as
// changed, which folders are entered, and how each folder left out is named.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "change_records.h"
#include "tree_rescan.h"

namespace {

const uint64_t NEW = 1000 * RESCAN_MARGIN, OLD = NEW - RESCAN_MARGIN - 1;
const uint32_t DIR = ATTRIBUTE_DIRECTORY;

void put(std::vector<unsigned char> &l, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) l[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Appends a record to a listing, the one before linked to it.
void add(std::vector<unsigned char> &l, const std::u16string &name, uint32_t attributes = 0,
         uint64_t changed = NEW, uint64_t written = OLD, uint64_t created = OLD,
         uint32_t tag = 0) {
    size_t at = l.size(), last = 0;
    while (at && read_u32(&l[last])) last += read_u32(&l[last]);
    if (at) put(l, last, at - last, 4);
    l.resize(at + (LISTING_HEADER_SIZE + name.size() * 2 + 7) / 8 * 8);
    put(l, at + LISTING_CREATION_TIME, created, 8);
    put(l, at + LISTING_LAST_WRITE_TIME, written, 8);
    put(l, at + LISTING_CHANGE_TIME, changed, 8);
    put(l, at + LISTING_ATTRIBUTES, attributes, 4);
    put(l, at + LISTING_NAME_BYTES, name.size() * 2, 4);
    put(l, at + LISTING_REPARSE_TAG, tag, 4);
    for (size_t i = 0; i < name.size(); i++) put(l, at + LISTING_HEADER_SIZE + 2 * i, name[i], 2);
}

// Listings by path, each given whole by the first call. A folder whose name
// starts with x cannot be opened (error 5); one with y fails after it.
struct fake_disk {
    std::map<std::u16string, std::vector<unsigned char>> listings;
    int open = 0;
    std::vector<std::u16string> followed; // opened following a link
};

struct cursor {
    std::u16string path;
    int calls;
};

char16_t initial(const std::u16string &path) {
    return path[path.rfind(u'\\') + 1];
}

void *fake_open(void *context, const path_unit *path, bool follow, unsigned long *error) {
    if (initial(path) == u'x') return *error = 5, nullptr;
    static_cast<fake_disk *>(context)->open++;
    if (follow) static_cast<fake_disk *>(context)->followed.push_back(path);
    return new cursor{path, 0};
}

listing_result fake_list(void *context, void *folder, unsigned char *buffer, size_t size,
                         unsigned long *error) {
    cursor *c = static_cast<cursor *>(folder);
    if (c->calls++) return initial(c->path) == u'y' ? (*error = 21, LISTING_FAILED) : LISTING_END;
    const std::vector<unsigned char> &l = static_cast<fake_disk *>(context)->listings[c->path];
    memset(buffer, 0xAA, size); // what the platform leaves past the records
    memcpy(buffer, l.data(), l.size());
    return LISTING_MORE;
}

void fake_close(void *context, void *folder) {
    static_cast<fake_disk *>(context)->open--;
    delete static_cast<cursor *>(folder);
}

void collect(void *context, const watch_record *record) {
    const char *kinds[] = {"change", "lost", "unreadable", "unrepresentable", "left out"};
    std::string detail = *record->detail ? std::string(" (") + record->detail + ")" : "";
    static_cast<std::vector<std::string> *>(context)->push_back(
        kinds[record->kind] + std::string(" ") + record->path + detail);
}

std::vector<std::string> rescan(fake_disk &d, const std::u16string &root = u"R",
                                size_t capacity = LONG_PATH_UNITS, const char *relative = "",
                                uint64_t since = NEW) {
    static rescan_state state;
    static path_unit path[LONG_PATH_UNITS];
    path[root.copy(path, root.size())] = 0;
    std::vector<std::string> seen;
    rescan_tree(&state, path, root.size(), capacity, relative, since,
                {fake_open, fake_list, fake_close, &d}, collect, &seen);
    EXPECT_EQ(d.open, 0);
    EXPECT_EQ(path[root.size()], 0);
    return seen;
}

} // namespace

TEST(TreeRescan, FilesChangedSinceLessTheMarginByAnyTimeNoFolderNoLink) {
    fake_disk d;
    const std::u16string bad(1, u'\xD800'); // not valid UTF-16
    std::vector<unsigned char> &root = d.listings[u"R"];
    add(root, u".", DIR);
    add(root, u"..", DIR);
    add(root, u"old", 0, OLD);
    add(root, u"written", 0, OLD, NEW - RESCAN_MARGIN);
    add(root, u"created", 0, OLD, OLD, NEW);
    add(root, u"changed");
    add(root, u"sub", DIR);
    const uint32_t REPARSE_DIR = DIR | ATTRIBUTE_REPARSE_POINT;
    add(root, u"link", REPARSE_DIR);                                  // no tag, as under Wine
    add(root, u"junction", REPARSE_DIR, NEW, OLD, OLD, 0xA0000003);   // names another place
    add(root, u"cloud", REPARSE_DIR, NEW, OLD, OLD, 0x9000601A);      // a folder here
    add(root, u"file-link", ATTRIBUTE_REPARSE_POINT);
    add(root, bad);
    add(root, bad + u"-dir", DIR);
    add(d.listings[u"R\\sub"], u"f");
    add(d.listings[u"R\\cloud"], u"f");
    add(d.listings[u"R\\" + bad + u"-dir"], u"f");
    d.listings[u"R\\"] = root;
    const std::vector<std::string> expected = {
        "change written", "change created", "change changed", "change sub\\f",
        "change cloud\\f", "change file-link", "unrepresentable \xEF\xBF\xBD",
        "unrepresentable \xEF\xBF\xBD-dir\\f"};
    EXPECT_EQ(rescan(d), expected);
    // A root that ends in a separator, as a drive's does, gets no second one.
    EXPECT_EQ(rescan(d, u"R\\"), expected);
}

TEST(TreeRescan, EachFolderLeftOutIsNamedAndTheRestGoesOn) {
    fake_disk d;
    for (const char16_t *name : {u"x", u"y", u"z1", u"z2", u"z3", u"z4", u"d"}) {
        add(d.listings[u"R"], name, DIR);
    }
    add(d.listings[u"R"], u"f");
    add(d.listings[u"R\\y"], u"f");
    // Listings that cannot be read: no name, a name or a next record past
    // the buffer, a next record inside this one (read from there, a well
    // formed record that changed nothing).
    add(d.listings[u"R\\z1"], u"");
    add(d.listings[u"R\\z2"], u"n");
    put(d.listings[u"R\\z2"], LISTING_NAME_BYTES, RESCAN_LISTING_SIZE, 4);
    add(d.listings[u"R\\z3"], u"n");
    put(d.listings[u"R\\z3"], LISTING_NEXT, RESCAN_LISTING_SIZE, 4);
    add(d.listings[u"R\\z4"], u"\x02", 0, 0, 0, 0);
    put(d.listings[u"R\\z4"], LISTING_NEXT, 8, 4);
    std::vector<std::string> expected = {"left out x (not rescanned, Windows error 5)",
                                         "change y\\f",
                                         "left out y (not rescanned, Windows error 21)"};
    for (const char *z : {"z1", "z2", "z3", "z4"}) {
        expected.push_back("left out " + std::string(z) + " (not rescanned, unreadable listing)");
    }
    std::u16string path = u"R";
    std::string relative;
    for (size_t level = 1; level < RESCAN_DEPTH; level++) {
        path += u"\\d";
        relative += "d\\";
        add(d.listings[path], u"f");
        add(d.listings[path], u"d", DIR);
        expected.push_back("change " + relative + "f");
    }
    expected.push_back("left out " + relative + "d (not rescanned, nested deeper than 64 folders)");
    expected.push_back("change f");
    EXPECT_EQ(rescan(d), expected);
    EXPECT_EQ(rescan(d, u"x"),
              std::vector<std::string>{"left out  (not rescanned, Windows error 5)"});
    // R, a separator and d leave no room for the terminator in 3 units.
    fake_disk small;
    add(small.listings[u"R"], u"d", DIR);
    EXPECT_EQ(rescan(small, u"R", 3),
              std::vector<std::string>{"left out d (not rescanned, path too long)"});
}

TEST(TreeRescan, AFolderBelowTheRootIsWalkedUnderItsRelativePathAndNotFollowed) {
    fake_disk d;
    add(d.listings[u"R\\in\\new"], u"old", 0, OLD);
    add(d.listings[u"R\\in\\new"], u"sub", DIR);
    add(d.listings[u"R\\in\\new\\sub"], u"f");
    add(d.listings[u"R\\x"], u"f");
    EXPECT_EQ(rescan(d, u"R\\in\\new", LONG_PATH_UNITS, "in\\new"),
              std::vector<std::string>{"change in\\new\\sub\\f"});
    // Since 0: every file, whatever its times.
    EXPECT_EQ(rescan(d, u"R\\in\\new", LONG_PATH_UNITS, "in\\new", 0),
              (std::vector<std::string>{"change in\\new\\old", "change in\\new\\sub\\f"}));
    EXPECT_EQ(rescan(d, u"R\\x", LONG_PATH_UNITS, "x"),
              std::vector<std::string>{"left out x (not rescanned, Windows error 5)"});
    EXPECT_TRUE(d.followed.empty());
    // The watched folder itself is followed, as the watch followed it.
    add(d.listings[u"R"], u"old", 0, OLD);
    rescan(d);
    EXPECT_EQ(d.followed, std::vector<std::u16string>{u"R"});
}
