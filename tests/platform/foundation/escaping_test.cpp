// Text shown to people: what a terminal would act on is shown escaped, and
// printable text of any script as it is.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"

using platform::foundation::escapingControls;

TEST(Escaping, ControlsAndBytesThatAreNotUTF8AreShownAsEscapes) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"line\nbreak\rreturn\ttab", "line\\nbreak\\rreturn\\ttab"},
        {"\x1b]0;title\x07 \x7f \x01", "\\x1b]0;title\\x07 \\x7f \\x01"},
        // C1 controls: CSI (U+009B) encoded as UTF-8 and as the lone byte,
        // each followed by K, which would erase the line.
        {"a\xc2\x9bK b\x9bK", "a\\xc2\\x9bK b\\x9bK"},
        // Not UTF-8: a byte that never is, a cut sequence, an overlong "/",
        // an encoded surrogate, a sequence past U+10FFFF.
        {"\xff|\xe9\x9b|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80",
         "\\xff|\\xe9\\x9b|\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80"},
        // A line separator and a direction override would move text on the screen.
        {"a\xe2\x80\xa8-\xe2\x80\xaez", "a\\xe2\\x80\\xa8-\\xe2\\x80\\xaez"},
        // A zero-width space and a zero-width no-break space would hide in a name.
        {"a\xe2\x80\x8b" "b\xef\xbb\xbf" "c", "a\\xe2\\x80\\x8bb\\xef\\xbb\\xbfc"},
        // Printable text stays: accents, CJK, emoji, a no-break space.
        {"caf\xc3\xa9 \xe9\x9b\xbb\xe6\xb1\xa0 \xf0\x9f\x94\x8b \xc2\xa0.",
         "caf\xc3\xa9 \xe9\x9b\xbb\xe6\xb1\xa0 \xf0\x9f\x94\x8b \xc2\xa0."},
    };
    for (const auto& c : cases) EXPECT_EQ(escapingControls(c.text), c.shown) << c.shown;
}

// A backslash is shown doubled: a name holding the two characters "\n" reads
// apart from one holding a line break, and "\x1b" apart from ESC.
TEST(Escaping, ABackslashIsShownDoubledSoEveryEscapeReadsOneWay) {
    EXPECT_EQ(escapingControls("C:\\x"), "C:\\\\x");
    const std::string twoCharacters = escapingControls("a\\nb"), lineBreak = escapingControls("a\nb");
    EXPECT_EQ(twoCharacters, "a\\\\nb");
    EXPECT_EQ(lineBreak, "a\\nb");
    EXPECT_NE(twoCharacters, lineBreak);
    EXPECT_NE(escapingControls("\\x1b"), escapingControls("\x1b"));
}

// A log line quotes paths and values as they are: whatever they hold, the
// line stays one line, and so does the name the program was started by.
TEST(Escaping, ALogMessageIsOneLine) {
    std::vector<std::string> lines;
    platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
    platform::foundation::setProcessName("Quen\x1b[2Jmira");
    platform::foundation::log("Cannot read /h/\n2026-01-01 Quenmira[1:1] forged\x9b");
    platform::foundation::setProcessName(program_invocation_short_name);
    platform::foundation::setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" Quen\\x1b[2Jmira["), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("] Cannot read /h/\\n2026-01-01 Quenmira[1:1] forged\\x9b"), std::string::npos) << lines[0];
}
