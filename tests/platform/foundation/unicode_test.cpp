// The one UTF-8 decoder and composed-sequence splitter outside crash time.
#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/Unicode.h"

namespace pf = platform::foundation;

TEST(Unicode, MalformedBytesReadAsOneReplacementEach) {
    // Overlong "/", a surrogate, a cut three-byte sequence, a stray continuation.
    const std::string bad[] = {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\x80"};
    for (const std::string& b : bad) {
        EXPECT_FALSE(pf::isValidUTF8("a" + b)) << b;
        auto points = pf::decodeUTF8(b + "z");
        ASSERT_EQ(points.size(), b.size() + 1) << b;
        EXPECT_EQ(points.front().codePoint, U'\uFFFD');
        EXPECT_EQ(points.back().codePoint, U'z');
        EXPECT_EQ(points.back().offset, b.size());
    }
    EXPECT_TRUE(pf::isValidUTF8("\u00E9\u20AC\U0001F600"));
    EXPECT_EQ(pf::utf16Length(std::string("\u00E9\u20AC\U0001F600")), 4u);
}

TEST(Unicode, SequencesKeepMarksJoinedCharactersAndFlagPairsTogether) {
    // e + acute; shin + qamats; ka + vowel sign; man ZWJ woman; a flag; then "x".
    const std::string text = "e\u0301\u05E9\u05B8\u0915\u093F\U0001F468\u200D\U0001F469\U0001F1E9\U0001F1EAx";
    auto seqs = pf::composedSequences(text);
    ASSERT_EQ(seqs.size(), 6u);
    EXPECT_EQ(text.substr(seqs[4].byteOffset, seqs[4].byteLength), "\U0001F1E9\U0001F1EA");
    EXPECT_EQ(seqs[3].utf16Length, 5u);
    EXPECT_EQ(seqs[3].firstUnit, char16_t(0xD83D));
    EXPECT_EQ(seqs[5].byteOffset + seqs[5].byteLength, text.size());
}
