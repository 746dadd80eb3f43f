// The plain code of the Windows layer on crafted input: the change-buffer
// walk, the name conversion, the command line and the extended-length form.
#include <gtest/gtest.h>
#include <wchar.h>

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
// NextEntryOffset is set to point at it, as the platform does (4-aligned).
size_t add_record(std::vector<unsigned char> &b, size_t *previous, const std::u16string &name,
                  uint32_t action = 1) {
    while (b.size() % 4) b.push_back(0);
    size_t at = b.size();
    std::vector<unsigned char> units = utf16le(name);
    b.resize(at + NOTIFY_HEADER_SIZE);
    put_u32(b, at, 0);
    put_u32(b, at + 4, action);
    put_u32(b, at + 8, static_cast<uint32_t>(units.size()));
    b.insert(b.end(), units.begin(), units.end());
    if (*previous != SIZE_MAX) put_u32(b, *previous, static_cast<uint32_t>(at - *previous));
    *previous = at;
    return at;
}

// The file system as the folder check sees it when a record is handled:
// which names are folders, and what the walk asked about.
struct fake_folders {
    std::set<std::u16string> folders;
    std::vector<std::u16string> asked;
};

bool fake_is_folder(void *context, const unsigned char *name, size_t units) {
    fake_folders *f = static_cast<fake_folders *>(context);
    std::u16string text;
    for (size_t i = 0; i < units; i++) {
        text += static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
    }
    f->asked.push_back(text);
    return f->folders.count(text) > 0;
}

std::vector<seen> walk(const std::vector<unsigned char> &b, size_t length,
                       fake_folders *folders = nullptr) {
    static notify_scratch scratch;
    fake_folders none;
    std::vector<seen> out;
    notify_walk(b.data(), length, &scratch, {fake_is_folder, folders ? folders : &none}, collect,
                &out);
    return out;
}

std::vector<seen> walk(const std::vector<unsigned char> &b) { return walk(b, b.size()); }

std::vector<seen> walk_with(const std::vector<unsigned char> &b, fake_folders *folders) {
    return walk(b, b.size(), folders);
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

TEST(NotifyWalk, AModifiedFolderIsLeftOutAndOnlyModifiedRecordsAreAsked) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    const std::u16string folder = u"d\\\u0444\u4E2D\U0001F600"; // asked about as it came
    add_record(b, &previous, folder, NOTIFY_ACTION_MODIFIED);   // a folder: left out
    add_record(b, &previous, u"a.txt", NOTIFY_ACTION_MODIFIED); // a file
    add_record(b, &previous, u"gone", NOTIFY_ACTION_MODIFIED);  // no longer there
    add_record(b, &previous, u"sub", 1);                        // added, renamed, removed:
    add_record(b, &previous, u"sub", 2);                        // handed on without asking
    add_record(b, &previous, u"sub", 4);
    add_record(b, &previous, u"sub", 5);
    fake_folders f;
    f.folders = {folder, u"sub"};
    std::vector<seen> r = walk_with(b, &f);
    std::vector<std::string> names;
    for (const seen &s : r) {
        EXPECT_EQ(s.kind, RECORD_CHANGE);
        names.push_back(s.path);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "gone", "sub", "sub", "sub", "sub"}));
    EXPECT_EQ(f.asked, (std::vector<std::u16string>{folder, u"a.txt", u"gone"}));
}

TEST(NotifyWalk, ALeftOutFolderKeepsTheBatchChecked) {
    std::vector<unsigned char> b;
    size_t previous = SIZE_MAX;
    size_t folder = add_record(b, &previous, u"sub", NOTIFY_ACTION_MODIFIED);
    add_record(b, &previous, u"after");
    fake_folders f;
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

TEST(LongPaths, ExtendedLengthFormOfDrivesSharesAndDevicePathsOrNothing) {
    struct {
        const wchar_t *full, *extended;
    } cases[] = {
        {L"C:\\data\\a.txt", L"\\\\?\\C:\\data\\a.txt"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"\\\\server\\share\\dir\\a.txt", L"\\\\?\\UNC\\server\\share\\dir\\a.txt"},
        {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
    };
    for (const auto &c : cases) {
        wchar_t out[64];
        EXPECT_TRUE(extended_length_form(c.full, out, 64));
        EXPECT_EQ(std::wstring(out), c.extended);
        // Refused, not cut, when one unit short.
        size_t needed = wcslen(c.extended) + 1;
        EXPECT_TRUE(extended_length_form(c.full, out, needed));
        EXPECT_FALSE(extended_length_form(c.full, out, needed - 1));
    }
}

