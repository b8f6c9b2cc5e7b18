#include "platform/foundation/Format.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace platform::foundation;

TEST(Format, PrintfStyle) {
    EXPECT_EQ(format("%d%% of %s", 42, "battery"), "42% of battery");
    EXPECT_EQ(format("%.0f", 99.5), "100");
    EXPECT_EQ(format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

TEST(Format, PlatformSpecifiersWithValues) {
    EXPECT_EQ(formatValues("%@ is at %li%%", {Value("Battery"), Value(80)}), "Battery is at 80%");
    EXPECT_EQ(formatValues("%.0f min", {Value(12.6)}), "13 min");
    EXPECT_EQ(formatValues("%@ %@ %@", {Value(3), Value(2.5), Value(true)}), "3 2.5 1");
    EXPECT_EQ(formatValues("%d %lld %lu %zu %x", {Value(-1), Value(int64_t(1) << 40), Value(7), Value(8), Value(255)}),
              "-1 1099511627776 7 8 ff");
    EXPECT_EQ(formatValues("%5.1f|%-4d|%03d", {Value(3.14159), Value(7), Value(7)}), "  3.1|7   |007");
    EXPECT_EQ(formatValues("%2$@ then %1$@", {Value("a"), Value("b")}), "b then a");
    EXPECT_EQ(formatValues("%s and %c", {Value("str"), Value(65)}), "str and A");
    EXPECT_EQ(formatValues("missing %@ %d", {}), "missing (null) 0");
    EXPECT_EQ(formatValues("trailing %", {}), "trailing %");
    EXPECT_EQ(formatValues("%@", {Value(Value::Array{Value(1), Value("x y")})}), "(\n    1,\n    \"x y\"\n)");
}

TEST(Format, DatesInThePosixLocale) {
    double t = 1765082635.123;  // 2025-12-07 04:43:55.123 UTC, a Sunday
    EXPECT_EQ(formatDate(t, "yyyy-MM-dd HH:mm:ss.SSS"), "2025-12-07 04:43:55.123");
    EXPECT_EQ(formatDate(t, "yyyy-MM-dd'T'HH:mm:ssZZZZZ"), "2025-12-07T04:43:55Z");
    EXPECT_EQ(formatDate(t, "EEE, dd MMM yyyy HH:mm:ss Z"), "Sun, 07 Dec 2025 04:43:55 +0000");
    EXPECT_EQ(formatDate(t, "EEEE d MMMM yy h:mm a"), "Sunday 7 December 25 4:43 AM");
    EXPECT_EQ(formatDate(t, "'o''clock' HH"), "o'clock 04");
    EXPECT_EQ(rfc3339(t), "2025-12-07T04:43:55Z");
    // Dates no calendar holds have no text, in either time zone.
    for (double far : {std::nan(""), 1e300, -1e300, 1e16})
        for (bool utc : {true, false}) EXPECT_EQ(formatDate(far, "yyyy-MM-dd", utc), "") << far;
}

TEST(Format, ParsingDates) {
    EXPECT_EQ(parseDate("2025-12-07 04:43:55", "yyyy-MM-dd HH:mm:ss"), 1765082635.0);
    EXPECT_EQ(parseDate("Sun, 07 Dec 2025 06:43:55 +0200", "EEE, dd MMM yyyy HH:mm:ss Z"), 1765082635.0);
    EXPECT_EQ(parseDate("07/12/2025 4:43 PM", "dd/MM/yyyy h:mm a"), 1765082635.0 - 55 + 12 * 3600);
    auto ms = parseDate("2025-12-07 04:43:55.250", "yyyy-MM-dd HH:mm:ss.SSS");
    ASSERT_TRUE(ms);
    EXPECT_DOUBLE_EQ(*ms, 1765082635.25);
    EXPECT_FALSE(parseDate("2025-13-07", "yyyy-MM-dd"));
    EXPECT_FALSE(parseDate("2025-12-07 extra", "yyyy-MM-dd"));
    EXPECT_FALSE(parseDate("nonsense", "yyyy"));

    EXPECT_EQ(parseRFC3339("2025-12-07T04:43:55Z"), 1765082635.0);
    EXPECT_EQ(parseRFC3339("2025-12-07t06:43:55+02:00"), 1765082635.0);
    EXPECT_EQ(parseRFC3339("2025-12-06T23:43:55-05:00"), 1765082635.0);
    auto frac = parseRFC3339("2025-12-07T04:43:55.5Z");
    ASSERT_TRUE(frac);
    EXPECT_DOUBLE_EQ(*frac, 1765082635.5);
    EXPECT_FALSE(parseRFC3339("2025-12-07T04:43:55"));
    EXPECT_FALSE(parseRFC3339("2025-12-07T04:43:55+2"));
    EXPECT_FALSE(parseRFC3339("2025-12-07T04:43:55.Z"));
    EXPECT_FALSE(parseRFC3339(""));
}

TEST(Format, PercentEncodingKeepsLettersDigitsAndTheGivenCharacters) {
    EXPECT_EQ(percentEncoded("a b/c?d=é", "/"), "a%20b/c%3Fd%3D%C3%A9");
    EXPECT_EQ(percentEncoded("a b", "", true), "a+b");
    EXPECT_EQ(percentEncoded(std::string("x\0y", 3), ""), "x%00y");  // a NUL is never kept
    EXPECT_EQ(percentEncoded("~-_.", "~-_."), "~-_.");
}

TEST(Format, CaseMappingTouchesOnlyAscii) {
    EXPECT_EQ(lowercased("Content-TYPE: é"), "content-type: é");
    EXPECT_EQ(uppercased("zh-hans \xc3\xa9"), "ZH-HANS \xc3\xa9");
}
