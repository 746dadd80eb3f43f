#include <gtest/gtest.h>
#include <string>

#include "console.h"

namespace {

std::string escaped(const std::string &text) {
    std::string out(text.size() * 4, '\0');
    out.resize(escape_controls(text.data(), text.size(), &out[0]));
    return out;
}

} // namespace

TEST(EscapeControls, C0AndDelAsBefore) {
    EXPECT_EQ(escaped(std::string("a\nb\x1b]0;x\x07\x7f\0z", 12)),
              "a\\x0ab\\x1b]0;x\\x07\\x7f\\x00z");
}

TEST(EscapeControls, C1RawAndEncoded) {
    // Raw bytes 0x80-0x9F outside a sequence (CSI 0x9B, OSC 0x9D), and the
    // same controls encoded as UTF-8: each byte shown.
    EXPECT_EQ(escaped("x\x9b" "31m\x9d" "0;t\x80\x9f"), "x\\x9b31m\\x9d0;t\\x80\\x9f");
    EXPECT_EQ(escaped("a\xc2\x9b" "b\xc2\x80\xc2\x9f"), "a\\xc2\\x9bb\\xc2\\x80\\xc2\\x9f");
    // A lead byte whose sequence is cut or broken: the lead byte passes, a
    // following 0x80-0x9F does not.
    EXPECT_EQ(escaped("\xc2"), "\xc2");
    EXPECT_EQ(escaped("\xe2\x82" "A"), "\xe2\\x82" "A");
}

TEST(EscapeControls, WellFormedUtf8AndOtherBytesPass) {
    // U+00A0 and up (C2 A0), continuation bytes 0x80-0x9F inside sequences
    // (U+0101 is C4 81, U+20AC is E2 82 AC, U+1F600 is F0 9F 98 80).
    const std::string fine = "\xc2\xa0\xc4\x81\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf\xf4\x8f\xbf\xbf";
    EXPECT_EQ(escaped(fine), fine);
    // Bytes 0xA0-0xFF that start nothing valid stay as they are.
    EXPECT_EQ(escaped("\xff\xfe\xa0\xc3"), "\xff\xfe\xa0\xc3");
    // Overlong forms, surrogates and code points past U+10FFFF are not
    // sequences: their 0x80-0x9F bytes are shown.
    EXPECT_EQ(escaped("\xc1\x81"), "\xc1\\x81");
    EXPECT_EQ(escaped("\xe0\x80\x80"), "\xe0\\x80\\x80");
    EXPECT_EQ(escaped("\xed\xa0\x80"), "\xed\xa0\\x80");
    EXPECT_EQ(escaped("\xf0\x80\x80\x80"), "\xf0\\x80\\x80\\x80");
    EXPECT_EQ(escaped("\xf4\x90\x80\x80"), "\xf4\\x90\\x80\\x80");
    EXPECT_EQ(escaped("\xf5\x80"), "\xf5\\x80");
}
