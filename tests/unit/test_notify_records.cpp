// The plain code of the Windows layer on crafted input: the change-buffer
// walk, the name conversion, the command line and the extended-length form.
#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "crt_argument.h"
#include "change_records.h"
#include "command_line.h"
#include "long_paths.h"

namespace {

struct seen {
    record_kind kind;
    std::string path;
};

void collect(void *context, const watch_record *record) {
    static_cast<std::vector<seen> *>(context)->push_back({record->kind, record->path});
}

void put_u32(std::vector<unsigned char> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

std::vector<unsigned char> utf16le(const std::u16string &s) {
    std::vector<unsigned char> out;
    for (char16_t c : s) {
        out.push_back(static_cast<unsigned char>(c & 0xFF));
        out.push_back(static_cast<unsigned char>(c >> 8));
    }
    return out;
}

// Appends one record; returns its offset. The previous record's
// NextEntryOffset is set to point at it, as the platform does (4-aligned,
// 8 in the extended layout, whose attributes are given).
size_t add_record(std::vector<unsigned char> &b, size_t *previous, const std::u16string &name,
                  uint32_t action = 1, notify_layout layout = NOTIFY_PLAIN,
                  uint32_t attributes = 0, uint32_t tag = 0) {
    bool extended = layout == NOTIFY_EXTENDED;
    while (b.size() % (extended ? 8 : 4)) b.push_back(0);
    size_t at = b.size();
    std::vector<unsigned char> units = utf16le(name);
    b.resize(at + (extended ? NOTIFY_EXTENDED_HEADER_SIZE : NOTIFY_HEADER_SIZE));
    put_u32(b, at, 0);
    put_u32(b, at + 4, action);
    if (extended) {
        put_u32(b, at + NOTIFY_EXTENDED_ATTRIBUTES, attributes);
        put_u32(b, at + NOTIFY_EXTENDED_REPARSE_TAG, tag);
    }
    put_u32(b, at + (extended ? NOTIFY_EXTENDED_NAME_BYTES : 8),
            static_cast<uint32_t>(units.size()));
    b.insert(b.end(), units.begin(), units.end());
    if (*previous != SIZE_MAX) put_u32(b, *previous, static_cast<uint32_t>(at - *previous));
    *previous = at;
    return at;
}

std::u16string text_of(const unsigned char *name, size_t units) {
    std::u16string text;
    for (size_t i = 0; i < units; i++) {
        text += static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
    }
    return text;
}

// The file system as the walk's seam sees it when a record is handled:
// which names are folders or links, the long forms of short names, and what
// the walk asked and which folders it walked ("+" whole, "~" since).
struct fake_disk {
    std::set<std::u16string> folders, links;
    std::map<std::u16string, std::u16string> long_names;
    std::vector<std::u16string> asked, shortened;
    std::vector<std::string> walked;
};

entry_kind fake_kind_of(void *context, const unsigned char *name, size_t units) {
    fake_disk *f = static_cast<fake_disk *>(context);
    std::u16string text = text_of(name, units);
    f->asked.push_back(text);
    return f->folders.count(text) ? ENTRY_FOLDER : f->links.count(text) ? ENTRY_LINK : ENTRY_FILE;
}

size_t fake_long_name(void *context, const unsigned char *name, size_t units, unsigned char *out) {
    fake_disk *f = static_cast<fake_disk *>(context);
    std::u16string text = text_of(name, units);
    f->shortened.push_back(text);
    auto found = f->long_names.find(text);
    if (found == f->long_names.end()) return 0;
    std::vector<unsigned char> bytes = utf16le(found->second);
    memcpy(out, bytes.data(), bytes.size());
    return found->second.size();
}

void fake_walk_folder(void *context, const unsigned char *name, size_t units,
                      const char *relative, bool whole) {
    fake_disk *f = static_cast<fake_disk *>(context);
    EXPECT_EQ(units, text_of(name, units).size());
    f->walked.push_back((whole ? "+" : "~") + std::string(relative));
}

std::vector<seen> walk(const std::vector<unsigned char> &b, size_t length,
                       fake_disk *disk = nullptr, notify_layout layout = NOTIFY_PLAIN) {
    static notify_scratch scratch;
    fake_disk none;
    notify_seam seam = {fake_kind_of, fake_long_name, fake_walk_folder, disk ? disk : &none};
    std::vector<seen> out;
    notify_walk(b.data(), length, layout, &scratch, seam, collect, &out);
    return out;
}

std::vector<seen> walk(const std::vector<unsigned char> &b) { return walk(b, b.size()); }

std::vector<seen> walk_with(const std::vector<unsigned char> &b, fake_disk *disk,
                            notify_layout layout = NOTIFY_PLAIN) {
    return walk(b, b.size(), disk, layout);
}

std::vector<std::string> paths(const std::vector<seen> &records) {
    std::vector<std::string> out;
    for (const seen &s : records) {
        EXPECT_EQ(s.kind, RECORD_CHANGE);
        out.push_back(s.path);
    }
    return out;
}

std::string convert(const std::u16string &s, utf8_result expected, size_t capacity = 64) {
    std::vector<unsigned char> units = utf16le(s);
    std::vector<char> out(capacity, 'Z');
    EXPECT_EQ(utf16le_to_utf8(units.data(), s.size(), out.data(), capacity), expected);
    return out.data();
}

std::string command_line(const char *executable, const char *path, bool fits = true,
                         size_t capacity = 256) {
    std::vector<char> out(capacity, 'Z');
    EXPECT_EQ(build_command_line(out.data(), capacity, executable, path), fits);
    return out.data();
}

} // namespace

TEST(NotifyWalk, ChainOfRecordsInBufferOrderWithBackslashNames) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    add_record(b, &previous, u"a.txt", 1);
    add_record(b, &previous, u"sub\\deeper\\x.txt", 3);
    add_record(b, &previous, u"old", 4);
    add_record(b, &previous, u"new", 5);
    std::vector<seen> r = walk(b);
    ASSERT_EQ(r.size(), 4u);
    const char *names[] = {"a.txt", "sub\\deeper\\x.txt", "old", "new"};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(r[i].kind, RECORD_CHANGE);
        EXPECT_EQ(r[i].path, names[i]);
    }
}

TEST(NotifyWalk, PlainRecordsAskWhatTheyNameAndFoldersAreWalkedNeverHandedOn) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    const std::u16string folder = u"d\\\u0444\u4E2D\U0001F600"; // asked about as it came
    add_record(b, &previous, folder, NOTIFY_ACTION_MODIFIED);      // a folder: left out
    add_record(b, &previous, u"a.txt", NOTIFY_ACTION_MODIFIED);    // a file
    add_record(b, &previous, u"moved-in", NOTIFY_ACTION_ADDED);    // walked whole
    add_record(b, &previous, u"inbox", NOTIFY_ACTION_RENAMED_OLD); // takes the new name's kind
    add_record(b, &previous, u"kept", NOTIFY_ACTION_RENAMED_NEW);  // walked since the mark
    add_record(b, &previous, u"f.old", NOTIFY_ACTION_RENAMED_OLD); // a file's rename: both
    add_record(b, &previous, u"f.new", NOTIFY_ACTION_RENAMED_NEW); // handed on
    add_record(b, &previous, u"link", NOTIFY_ACTION_ADDED);        // a link: nothing
    add_record(b, &previous, u"gone", NOTIFY_ACTION_REMOVED);      // not asked: handed on
    add_record(b, &previous, u"lone", NOTIFY_ACTION_RENAMED_OLD);  // no new name after it
    fake_disk f;
    f.folders = {folder, u"moved-in", u"kept"};
    f.links = {u"link"};
    EXPECT_EQ(paths(walk_with(b, &f)),
              (std::vector<std::string>{"a.txt", "f.old", "f.new", "gone", "lone"}));
    EXPECT_EQ(f.asked, (std::vector<std::u16string>{folder, u"a.txt", u"moved-in", u"kept",
                                                    u"kept", u"f.new", u"f.new", u"link"}));
    EXPECT_EQ(f.walked, (std::vector<std::string>{"+moved-in", "~kept"}));
}

TEST(NotifyWalk, ExtendedRecordsSayWhatTheyNameWithoutAsking) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    const uint32_t DIR = ATTRIBUTE_DIRECTORY, LINK = DIR | ATTRIBUTE_REPARSE_POINT;
    add_record(b, &previous, u"sub", NOTIFY_ACTION_MODIFIED, NOTIFY_EXTENDED, DIR);
    add_record(b, &previous, u"sub\\a.txt", NOTIFY_ACTION_ADDED, NOTIFY_EXTENDED, 0x20);
    add_record(b, &previous, u"in", NOTIFY_ACTION_ADDED, NOTIFY_EXTENDED, DIR);
    add_record(b, &previous, u"old", NOTIFY_ACTION_RENAMED_OLD, NOTIFY_EXTENDED, DIR);
    add_record(b, &previous, u"new", NOTIFY_ACTION_RENAMED_NEW, NOTIFY_EXTENDED, DIR);
    add_record(b, &previous, u"dead", NOTIFY_ACTION_REMOVED, NOTIFY_EXTENDED, DIR);
    add_record(b, &previous, u"junction", NOTIFY_ACTION_ADDED, NOTIFY_EXTENDED, LINK,
               0xA0000003);
    // A cloud placeholder is a folder of the tree itself.
    add_record(b, &previous, u"cloud", NOTIFY_ACTION_ADDED, NOTIFY_EXTENDED, LINK, 0x9000001A);
    add_record(b, &previous, u"gone.txt", NOTIFY_ACTION_REMOVED, NOTIFY_EXTENDED, 0x20);
    fake_disk f;
    EXPECT_EQ(paths(walk_with(b, &f, NOTIFY_EXTENDED)),
              (std::vector<std::string>{"sub\\a.txt", "gone.txt"}));
    EXPECT_TRUE(f.asked.empty());
    EXPECT_EQ(f.walked, (std::vector<std::string>{"+in", "~new", "+cloud"}));
}

TEST(NotifyWalk, ShortNamesAreReportedUnderTheirLongNamesWhereTheFileIsThere) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    add_record(b, &previous, u"PROGRA~1\\x.exe", NOTIFY_ACTION_MODIFIED);
    add_record(b, &previous, u"FOLDER~1", NOTIFY_ACTION_ADDED);   // a folder under its long name
    add_record(b, &previous, u"GONE~1.TXT", NOTIFY_ACTION_ADDED); // no long form: as it came
    add_record(b, &previous, u"OLD~1.TXT", NOTIFY_ACTION_REMOVED); // gone: not asked
    add_record(b, &previous, u"plain.txt", NOTIFY_ACTION_ADDED);   // no ~: not asked
    fake_disk f;
    f.long_names = {{u"PROGRA~1\\x.exe", u"Program Files\\x.exe"},
                    {u"FOLDER~1", u"Folder \u4E2D long"}};
    f.folders = {u"Folder \u4E2D long"};
    EXPECT_EQ(paths(walk_with(b, &f)), (std::vector<std::string>{
                                           "Program Files\\x.exe", "GONE~1.TXT", "OLD~1.TXT",
                                           "plain.txt"}));
    EXPECT_EQ(f.shortened,
              (std::vector<std::u16string>{u"PROGRA~1\\x.exe", u"FOLDER~1", u"GONE~1.TXT"}));
    EXPECT_EQ(f.walked, (std::vector<std::string>{"+Folder \xE4\xB8\xAD long"}));
}

TEST(NotifyWalk, AFolderWhoseNameIsNotUtf16IsNamedNotWalked) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    const std::u16string bad = std::u16string(u"d") + char16_t(0xD800);
    add_record(b, &previous, bad, NOTIFY_ACTION_ADDED);
    fake_disk f;
    f.folders = {bad};
    std::vector<seen> r = walk_with(b, &f);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, RECORD_UNREPRESENTABLE);
    EXPECT_TRUE(f.walked.empty());
}

TEST(NotifyWalk, ALeftOutFolderKeepsTheBatchChecked) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    size_t folder = add_record(b, &previous, u"sub", NOTIFY_ACTION_MODIFIED);
    add_record(b, &previous, u"after");
    fake_disk f;
    f.folders = {u"sub"};
    // The next record's offset is checked as for any record.
    std::vector<unsigned char> bad = b;
    put_u32(bad, folder, 4);
    std::vector<seen> r = walk_with(bad, &f);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, RECORD_UNREADABLE);
    // A folder last in its batch ends it as any record does.
    b.resize(folder);
    previous = SIZE_MAX;
    add_record(b, &previous, u"sub", NOTIFY_ACTION_MODIFIED);
    EXPECT_TRUE(walk_with(b, &f).empty());
}

TEST(NotifyWalk, ZeroBytesMeansChangesWereLost) {
    std::vector<unsigned char> b(16, 0xAA);
    std::vector<seen> r = walk(b, 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, RECORD_LOST);
}

TEST(NotifyWalk, NothingPastTheReturnedBytesIsRead) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    add_record(b, &previous, u"first");
    size_t second = add_record(b, &previous, u"second");
    // Every cut inside the second record: the first is handed on, then the
    // batch ends as unreadable. The bytes past the cut are poisoned, and the
    // vector is trimmed so a read past the end is caught by the sanitizer.
    for (size_t cut = second; cut < b.size(); cut++) {
        std::vector<unsigned char> trimmed(b.begin(), b.begin() + static_cast<long>(cut));
        std::vector<seen> r = walk(trimmed);
        ASSERT_EQ(r.size(), 2u) << cut;
        EXPECT_EQ(r[0].path, "first");
        EXPECT_EQ(r[1].kind, RECORD_UNREADABLE) << cut;
    }
    // Shorter than one header.
    for (size_t cut = 1; cut < NOTIFY_HEADER_SIZE; cut++) {
        std::vector<unsigned char> trimmed(b.begin(), b.begin() + static_cast<long>(cut));
        std::vector<seen> r = walk(trimmed);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].kind, RECORD_UNREADABLE);
    }
}

TEST(NotifyWalk, BadOffsetsAndLengthsEndTheBatch) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    size_t first = add_record(b, &previous, u"one");
    add_record(b, &previous, u"two");
    struct {
        size_t field;
        uint32_t value;
        size_t good;
    } cases[] = {
        {first + 8, 0xFFFFFFFFu, 0},                   // name length far past the end
        {first + 8, static_cast<uint32_t>(b.size()), 0}, // name length just past the end
        {first, 0xFFFFFFF0u, 1},                        // next record far past the end
        {first, static_cast<uint32_t>(b.size()), 1},    // next record at the end
        {first, 4, 1},                                  // next record inside this one
        {first + 8, 0, 0},                              // a record without a name
    };
    for (const auto &c : cases) {
        std::vector<unsigned char> bad = b;
        put_u32(bad, c.field, c.value);
        std::vector<seen> r = walk(bad);
        ASSERT_EQ(r.size(), c.good + 1) << c.field << " " << c.value;
        EXPECT_EQ(r.back().kind, RECORD_UNREADABLE);
    }
    // More bytes than any wait can return.
    std::vector<unsigned char> big(NOTIFY_BUFFER_SIZE + 4, 0);
    std::vector<seen> r = walk(big);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, RECORD_UNREADABLE);
}

TEST(NotifyWalk, OddNameLengthDropsTheHalfUnit) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    size_t at = add_record(b, &previous, u"ab");
    b.push_back(0x63); // half of another unit
    put_u32(b, at + 8, 5);
    std::vector<seen> r = walk(b);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, RECORD_CHANGE);
    EXPECT_EQ(r[0].path, "ab");
}

TEST(NotifyWalk, UnpairedSurrogateNamesTheFileWithReplacementAndGoesOn) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    add_record(b, &previous, std::u16string(u"dir\\x") + char16_t(0xD800) + u".txt");
    add_record(b, &previous, u"after");
    std::vector<seen> r = walk(b);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, RECORD_UNREPRESENTABLE);
    EXPECT_EQ(r[0].path, "dir\\x\xEF\xBF\xBD.txt");
    EXPECT_EQ(r[1].kind, RECORD_CHANGE);
    EXPECT_EQ(r[1].path, "after");
}

TEST(NotifyWalk, LongestNamesABufferCanCarryAreNeverCut) {
    const size_t longest = (NOTIFY_BUFFER_SIZE - NOTIFY_HEADER_SIZE) / 2;
    // Three UTF-8 bytes per unit, the most any unit takes.
    std::u16string names[] = {std::u16string(longest, u'\u4E2D'),
                              std::u16string(longest, char16_t(0xDC00)),
                              std::u16string(longest, u'a')};
    for (const std::u16string &name : names) {
        std::vector<unsigned char> b;
        size_t previous = SIZE_MAX;
        add_record(b, &previous, name);
        ASSERT_EQ(b.size(), NOTIFY_BUFFER_SIZE);
        std::vector<seen> r = walk(b);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_NE(r[0].kind, RECORD_UNREADABLE);
        EXPECT_EQ(r[0].path.size(), name[0] == u'a' ? longest : 3 * longest);
    }
}

TEST(Utf16ToUtf8, EveryLengthOfEncoding) {
    EXPECT_EQ(convert(u"a\u007F", UTF8_EXACT), "a\x7F");
    EXPECT_EQ(convert(u"\u0080\u07FF", UTF8_EXACT), "\xC2\x80\xDF\xBF");
    EXPECT_EQ(convert(u"\u0800\uFFFF\uE000", UTF8_EXACT), "\xE0\xA0\x80\xEF\xBF\xBF\xEE\x80\x80");
    EXPECT_EQ(convert(u"\u0444\u0430\u0439\u043B", UTF8_EXACT),
              "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"); // Cyrillic
    EXPECT_EQ(convert(u"\U0001F600", UTF8_EXACT), "\xF0\x9F\x98\x80");     // emoji pair
    EXPECT_EQ(convert(u"\U00010000\U0010FFFF", UTF8_EXACT),
              "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

TEST(Utf16ToUtf8, UnpairedSurrogatesAndNulAreReplacedAndFlagged) {
    const std::string R = "\xEF\xBF\xBD";
    EXPECT_EQ(convert(std::u16string(1, char16_t(0xD83D)), UTF8_REPLACED), R);  // high at end
    EXPECT_EQ(convert(std::u16string(1, char16_t(0xDE00)), UTF8_REPLACED), R);  // lone low
    EXPECT_EQ(convert(std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, UTF8_REPLACED),
              R + R); // reversed pair
    EXPECT_EQ(convert(std::u16string{char16_t(0xD83D), u'x'}, UTF8_REPLACED), R + "x");
    EXPECT_EQ(convert(std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)},
                      UTF8_REPLACED),
              R + "\xF0\x9F\x98\x80");
    EXPECT_EQ(convert(std::u16string{u'a', char16_t(0), u'b'}, UTF8_REPLACED), "a" + R + "b");
}

TEST(Utf16ToUtf8, TooSmallBufferGivesNothingRatherThanACutName) {
    EXPECT_EQ(convert(u"abc", UTF8_EXACT, 4), "abc");
    EXPECT_EQ(convert(u"abcd", UTF8_TOO_LONG, 4), "");
    EXPECT_EQ(convert(u"a\U0001F600", UTF8_TOO_LONG, 5), "");
    EXPECT_EQ(convert(u"", UTF8_EXACT, 1), "");
}

TEST(CommandLine, PathIsQuotedSoTheRuntimeGivesItBackWhole) {
    const char *exe = "C:\\tools\\AV_Quillmar.exe";
    EXPECT_EQ(command_line(exe, "C:\\data\\a.txt"),
              "\"C:\\tools\\AV_Quillmar.exe\" \"C:\\data\\a.txt\"");
    const char *paths[] = {
        "C:\\data\\a.txt",
        "C:\\data\\dir\\",            // a trailing backslash must not escape the quote
        "C:\\data\\dir\\\\",          // two of them
        "C:\\a \"quoted\" name",      // embedded quotes
        "C:\\back\\\"slash",          // backslash before a quote
        "C:\\x\\\\\"y",               // two backslashes before a quote
        "C:\\%PATH% & ^ ! | < > ( )", // nothing is special without cmd.exe
        "",
        "\xD1\x84\xE4\xB8\xAD\xF0\x9F\x98\x80", // UTF-8 passes as bytes
    };
    for (const char *path : paths) {
        std::string line = command_line(exe, path);
        EXPECT_EQ(line.rfind("\"C:\\tools\\AV_Quillmar.exe\" \"", 0), 0u) << line;
        EXPECT_EQ(crt_parse_argument(line), path) << line;
    }
    EXPECT_EQ(command_line(exe, "C:\\dir\\"), "\"C:\\tools\\AV_Quillmar.exe\" \"C:\\dir\\\\\"");
    EXPECT_EQ(command_line(exe, "a\"b"), "\"C:\\tools\\AV_Quillmar.exe\" \"a\\\"b\"");
}

TEST(CommandLine, RefusesWhatDoesNotFitOrCannotBeQuoted) {
    // "x" "a\\" needs 10 bytes with the terminator.
    EXPECT_EQ(command_line("x", "a\\", true, 10), "\"x\" \"a\\\\\"");
    for (size_t capacity = 1; capacity < 10; capacity++) {
        std::string line = command_line("x", "a\\", false, capacity);
        EXPECT_LT(line.size(), capacity);
    }
    command_line("C:\\a\"b.exe", "f", false);
}

TEST(CommandLine, TheLimitIsCountedInUtf16UnitsWithTheTerminator) {
    // "x" "PATH": 6 units around the path, the terminator not counted.
    const size_t around = 6, room = COMMAND_LINE_UNITS - 1 - around;
    std::vector<char> out(COMMAND_LINE_BYTES);
    EXPECT_TRUE(build_command_line(out.data(), out.size(), "x", std::string(room, 'a').c_str()));
    EXPECT_FALSE(
        build_command_line(out.data(), out.size(), "x", std::string(room + 1, 'a').c_str()));
    // Three bytes, one unit; four bytes, two units.
    std::string cjk;
    for (size_t i = 0; i < room; i++) cjk += "\xE4\xB8\xAD";
    EXPECT_TRUE(build_command_line(out.data(), out.size(), "x", cjk.c_str()));
    std::string emoji;
    for (size_t i = 0; i < room / 2; i++) emoji += "\xF0\x9F\x98\x80";
    EXPECT_TRUE(build_command_line(out.data(), out.size(), "x", emoji.c_str()));
    emoji += "a";
    EXPECT_FALSE(build_command_line(out.data(), out.size(), "x", (emoji + "a").c_str()));
}

namespace {

std::wstring exact(const wchar_t *path, const wchar_t *base = L"C:\\cwd\\here",
                   size_t capacity = 128) {
    std::vector<wchar_t> out(capacity, L'Z');
    if (!exact_path(path, base, out.data(), capacity)) return L"<refused>";
    return out.data();
}

} // namespace

TEST(ExactPaths, NamesAreKeptAsTheyAreOnlyDotsAndSeparatorsResolved) {
    struct {
        const wchar_t *path, *exact;
    } cases[] = {
        // Names the plain form would rewrite: trailing dots and spaces,
        // device names, a name of dots.
        {L"C:\\data\\evil.", L"\\\\?\\C:\\data\\evil."},
        {L"C:\\data\\payload .exe ", L"\\\\?\\C:\\data\\payload .exe "},
        {L"C:\\data\\con", L"\\\\?\\C:\\data\\con"},
        {L"C:\\data\\nul.txt", L"\\\\?\\C:\\data\\nul.txt"},
        {L"C:\\data\\...", L"\\\\?\\C:\\data\\..."},
        // What cannot be a name.
        {L"C:/data//sub\\.\\x\\..\\f", L"\\\\?\\C:\\data\\sub\\f"},
        {L"C:\\..\\..\\f", L"\\\\?\\C:\\f"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"C:\\data\\..", L"\\\\?\\C:\\"},
        {L"\\\\server\\share\\dir\\a.", L"\\\\?\\UNC\\server\\share\\dir\\a."},
        {L"\\\\server\\share\\..\\..\\x", L"\\\\?\\UNC\\server\\share\\x"},
        {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share\\"},
        {L"//server/share/d", L"\\\\?\\UNC\\server\\share\\d"},
        // Already exact, or a device: as given.
        {L"\\\\?\\C:\\x\\..\\y.", L"\\\\?\\C:\\x\\..\\y."},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
        // Relative forms, against the base.
        {L"sub\\\\r.txt", L"\\\\?\\C:\\cwd\\here\\sub\\r.txt"},
        {L"..\\up ", L"\\\\?\\C:\\cwd\\up "},
        {L"\\rooted", L"\\\\?\\C:\\rooted"},
        {L"C:", L"\\\\?\\C:\\cwd\\here"},
        {L"C:dir\\f.", L"\\\\?\\C:\\cwd\\here\\dir\\f."},
    };
    for (const auto &c : cases) EXPECT_EQ(exact(c.path), c.exact) << std::wstring(c.path);
    // A base with a trailing separator (Wine gives one), a share, or one
    // already exact.
    EXPECT_EQ(exact(L"Z:", L"Z:\\tmp\\x\\"), L"\\\\?\\Z:\\tmp\\x");
    EXPECT_EQ(exact(L"\\r", L"\\\\srv\\sh\\dir"), L"\\\\?\\UNC\\srv\\sh\\r");
    EXPECT_EQ(exact(L"f", L"\\\\?\\UNC\\srv\\sh\\d"), L"\\\\?\\UNC\\srv\\sh\\d\\f");
    EXPECT_EQ(exact(L"..\\..\\f", L"\\\\?\\D:\\d"), L"\\\\?\\D:\\f");
}

TEST(ExactPaths, FormsAndRefusalsWhenTooLong) {
    EXPECT_EQ(path_form_of(L"C:\\x"), PATH_ABSOLUTE);
    EXPECT_EQ(path_form_of(L"\\\\s\\h"), PATH_ABSOLUTE);
    EXPECT_EQ(path_form_of(L"z:"), PATH_DRIVE_RELATIVE);
    EXPECT_EQ(path_form_of(L"C:x"), PATH_DRIVE_RELATIVE);
    EXPECT_EQ(path_form_of(L"\\x"), PATH_ROOT_RELATIVE);
    EXPECT_EQ(path_form_of(L"x:y:z"), PATH_DRIVE_RELATIVE);
    EXPECT_EQ(path_form_of(L"1:x"), PATH_RELATIVE);
    const wchar_t *paths[] = {L"C:\\data\\file.txt", L"\\\\server\\share\\f",
                              L"rel\\f", L"\\\\?\\C:\\f", L"C:"};
    for (const wchar_t *path : paths) {
        std::wstring whole = exact(path);
        // Refused, not cut, when one unit short.
        EXPECT_EQ(exact(path, L"C:\\cwd\\here", whole.size() + 1), whole);
        for (size_t capacity = 1; capacity <= whole.size(); capacity++) {
            EXPECT_EQ(exact(path, L"C:\\cwd\\here", capacity), L"<refused>");
        }
    }
}

TEST(ExactPaths, ThePartBelowAFolderIsCountedBySeparators) {
    const wchar_t *below = name_below(L"\\\\?\\C:\\PROGRA~1", L"\\\\?\\C:\\Program Files\\Sub\\x");
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(std::wstring(below), L"Sub\\x");
    below = name_below(L"\\\\?\\C:\\", L"\\\\?\\C:\\f.txt");
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(std::wstring(below), L"f.txt");
    EXPECT_EQ(name_below(L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"), nullptr);
    EXPECT_EQ(name_below(L"\\\\?\\C:\\a", L"\\\\?\\C:\\a\\"), nullptr);
}
