// The rescan's walk over fake folder listings: which files count as changed,
// which folders are entered, and how each folder left out is named.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tree_rescan.h"

namespace {

const uint64_t SINCE = 1000 * RESCAN_MARGIN;
const uint64_t OLD = SINCE - RESCAN_MARGIN - 1; // just outside the window
const uint32_t DIR = LISTING_DIRECTORY;

struct entry {
    std::u16string name;
    uint32_t attributes;
    uint64_t created, written, changed;
};

// Folders by path relative to the root R, each listed two records a call
// after "." and "..", or as raw bytes; failures by folder.
struct fake_disk {
    std::map<std::u16string, std::vector<entry>> folders;
    std::map<std::u16string, std::vector<unsigned char>> raw;
    std::map<std::u16string, unsigned long> open_fails, list_fails;
    std::vector<std::u16string> opened;
    int open_now = 0;
};

struct cursor {
    std::u16string folder;
    size_t next;
};

void put(unsigned char *at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void *fake_open(void *context, const path_unit *path, unsigned long *error) {
    fake_disk *d = static_cast<fake_disk *>(context);
    std::u16string p(path);
    std::u16string relative = p.size() > 2 ? p.substr(2) : u"";
    d->opened.push_back(relative);
    if (d->open_fails.count(relative)) {
        *error = d->open_fails[relative];
        return nullptr;
    }
    d->open_now++;
    return new cursor{relative, 0};
}

listing_result fake_list(void *context, void *folder, unsigned char *buffer, size_t size,
                         size_t *length, unsigned long *error) {
    fake_disk *d = static_cast<fake_disk *>(context);
    cursor *c = static_cast<cursor *>(folder);
    std::vector<entry> all = {{u".", DIR, 0, 0, 0}, {u"..", DIR, SINCE, SINCE, SINCE}};
    all.insert(all.end(), d->folders[c->folder].begin(), d->folders[c->folder].end());
    *length = size;
    if (d->raw.count(c->folder)) {
        std::vector<unsigned char> &raw = d->raw[c->folder];
        memcpy(buffer, raw.data(), raw.size());
        *length = raw.size() == 1 ? size + 1 : raw.size(); // one byte: a length past the buffer
        return c->next++ ? LISTING_END : LISTING_MORE;
    }
    if (c->next > 2 && d->list_fails.count(c->folder)) {
        *error = d->list_fails[c->folder];
        return LISTING_FAILED;
    }
    if (c->next >= all.size()) return LISTING_END;
    size_t at = 0, previous = 0;
    for (int n = 0; n < 2 && c->next < all.size(); n++, c->next++) {
        const entry &e = all[c->next];
        put(buffer + previous, at - previous, 4);
        memset(buffer + at, 0, LISTING_HEADER_SIZE);
        put(buffer + at + LISTING_CREATION_TIME, e.created, 8);
        put(buffer + at + LISTING_LAST_WRITE_TIME, e.written, 8);
        put(buffer + at + LISTING_CHANGE_TIME, e.changed, 8);
        put(buffer + at + LISTING_ATTRIBUTES, e.attributes, 4);
        put(buffer + at + LISTING_NAME_BYTES, e.name.size() * 2, 4);
        for (size_t i = 0; i < e.name.size(); i++) put(buffer + at + 68 + 2 * i, e.name[i], 2);
        previous = at;
        at = (at + LISTING_HEADER_SIZE + e.name.size() * 2 + 7) / 8 * 8;
    }
    return LISTING_MORE;
}

void fake_close(void *context, void *folder) {
    static_cast<fake_disk *>(context)->open_now--;
    delete static_cast<cursor *>(folder);
}

void collect(void *context, const watch_record *record) {
    static_cast<std::vector<std::string> *>(context)->push_back(
        std::to_string(record->kind) + " " + record->path + (*record->detail ? " (" : "") +
        record->detail + (*record->detail ? ")" : ""));
}

std::vector<std::string> rescan(fake_disk &d, size_t capacity = LONG_PATH_UNITS) {
    static rescan_state state;
    static path_unit path[LONG_PATH_UNITS] = u"R";
    std::vector<std::string> seen;
    rescan_tree(&state, path, 1, capacity, SINCE, {fake_open, fake_list, fake_close, &d},
                collect, &seen);
    EXPECT_EQ(d.open_now, 0);
    EXPECT_EQ(path[1], 0);
    return seen;
}

const std::string CHANGE = std::to_string(RECORD_CHANGE) + " ";
const std::string UNWATCHED = std::to_string(RECORD_UNWATCHED) + " ";

} // namespace

TEST(TreeRescan, FilesChangedSinceLessTheMarginByAnyTimeAndNoLinkFollowed) {
    const uint64_t edge = SINCE - RESCAN_MARGIN;
    fake_disk d;
    d.folders[u""] = {{u"old", 0, OLD, OLD, OLD},
                      {u"written", 0, OLD, edge, OLD},
                      {u"changed", 0, OLD, OLD, SINCE},
                      {u"created", 0, SINCE, OLD, OLD},
                      {u"sub", DIR, OLD, OLD, OLD},
                      {u"link", DIR | LISTING_REPARSE_POINT, SINCE, SINCE, SINCE},
                      {u"file-link", LISTING_REPARSE_POINT, OLD, OLD, SINCE}};
    d.folders[u"sub"] = {{u"deep", DIR, OLD, OLD, OLD}, {u"a", 0, OLD, OLD, OLD}};
    d.folders[u"sub\\deep"] = {{u"f", 0, OLD, SINCE, OLD}};
    EXPECT_EQ(rescan(d), (std::vector<std::string>{CHANGE + "written", CHANGE + "changed",
                                                   CHANGE + "created", CHANGE + "sub\\deep\\f",
                                                   CHANGE + "file-link"}));
    EXPECT_EQ(d.opened, (std::vector<std::u16string>{u"", u"sub", u"sub\\deep"}));
}

TEST(TreeRescan, EachFolderLeftOutIsNamedAndTheRestGoesOn) {
    fake_disk d;
    d.folders[u""] = {{u"a", DIR, 0, 0, 0}, {u"b", DIR, 0, 0, 0}, {u"z", 0, 0, 0, SINCE}};
    d.folders[u"b"] = {{u"1", 0, 0, 0, SINCE}};
    d.open_fails[u"a"] = 5;
    d.list_fails[u"b"] = 21;
    const std::string unreadable = UNWATCHED + "c (not rescanned, unreadable listing)";
    EXPECT_EQ(rescan(d), (std::vector<std::string>{
                             UNWATCHED + "a (not rescanned, Windows error 5)", CHANGE + "b\\1",
                             UNWATCHED + "b (not rescanned, Windows error 21)", CHANGE + "z"}));
    // Listings that cannot be read: a length past the buffer, a cut header,
    // no name, a name or a next record past the end, and a next record
    // inside this one, which would be well formed read from there.
    d.folders[u""] = {{u"c", DIR, 0, 0, 0}};
    std::vector<unsigned char> record(LISTING_HEADER_SIZE + 2, 0);
    put(&record[LISTING_NAME_BYTES], 2, 4);
    std::vector<std::vector<unsigned char>> bad(6, record);
    bad[0].resize(1);
    bad[1].resize(LISTING_HEADER_SIZE - 1);
    put(&bad[2][LISTING_NAME_BYTES], 0, 4);
    put(&bad[3][LISTING_NAME_BYTES], 4, 4);
    put(&bad[4][LISTING_NEXT], record.size() + 1, 4);
    bad[5].resize(LISTING_HEADER_SIZE + 10);
    put(&bad[5][LISTING_NAME_BYTES], 4, 4);
    put(&bad[5][LISTING_HEADER_SIZE], 2, 4);
    put(&bad[5][LISTING_NEXT], 8, 4);
    for (const std::vector<unsigned char> &b : bad) {
        d.raw[u"c"] = b;
        EXPECT_EQ(rescan(d), std::vector<std::string>{unreadable});
    }
    d.open_fails[u""] = 3;
    EXPECT_EQ(rescan(d), std::vector<std::string>{UNWATCHED + " (not rescanned, Windows error 3)"});
}

TEST(TreeRescan, DepthAndPathLengthAreBoundedAndNamed) {
    fake_disk d;
    std::u16string folder;
    std::string relative;
    std::vector<std::string> expected;
    for (size_t level = 0; level <= RESCAN_DEPTH; level++) {
        d.folders[folder] = {{u"f", 0, 0, 0, SINCE}, {u"d", DIR, 0, 0, 0}};
        std::string here = relative + (level ? "\\" : "");
        expected.push_back(level < RESCAN_DEPTH
                               ? CHANGE + here + "f"
                               : UNWATCHED + relative + " (not rescanned, nested deeper than 64 folders)");
        folder += (level ? u"\\d" : u"d");
        relative = here + "d";
        if (level == RESCAN_DEPTH) break;
    }
    EXPECT_EQ(rescan(d), expected);
    // R, a separator and "d" leave no room for the terminator in 3 units.
    EXPECT_EQ(rescan(d, 3), (std::vector<std::string>{
                                CHANGE + "f", UNWATCHED + "d (not rescanned, path too long)"}));
}

TEST(TreeRescan, NamesThatAreNotUtf16AreNamedNotScanned) {
    fake_disk d;
    const std::u16string bad(1, u'\xD800');
    d.folders[u""] = {{bad, DIR, 0, 0, 0}, {u"ok", 0, 0, 0, SINCE}};
    d.folders[bad] = {{u"f", 0, 0, 0, SINCE}};
    const std::string unrepresentable = std::to_string(RECORD_UNREPRESENTABLE) + " ";
    EXPECT_EQ(rescan(d), (std::vector<std::string>{unrepresentable + "\xEF\xBF\xBD\\f",
                                                   CHANGE + "ok"}));
}
