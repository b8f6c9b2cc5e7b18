#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "analytics/TLY.h"
#include "analytics/TLYExceptionParser.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLogger.h"
#include "analytics/TLYStringUtil.h"
#include "analytics/TLYUsageTracker.h"
#include "analytics/TLYUtil.h"
#include "dispatch_support.h"

using platform::foundation::Value;

namespace {

TEST(CoreStringUtil, MoneyInMillionthsKeepsItsSignAndDropsTrailingZeros) {
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(0), "0");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(1000000), "1");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(1500000), "1.5");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(1), ".000001");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(-2050000), "-2.05");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(-250000), "-.25");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(-12000000), "-12");
    // The smallest amount has no positive counterpart in 64 bits.
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(INT64_MIN), "-9223372036854.775808");
    EXPECT_EQ(TLYStringUtil::currencyMicrosString(INT64_MAX), "9223372036854.775807");
}

TEST(CoreStringUtil, NumbersAndTrimming) {
    EXPECT_EQ(TLYStringUtil::decimalString(2.5, 3), "2.5");
    EXPECT_EQ(TLYStringUtil::decimalString(2.0, 2), "2");
    EXPECT_EQ(TLYStringUtil::decimalString(2.7, 0), "3");
    EXPECT_EQ(TLYStringUtil::decimalString(100.0, 1), "100");
    EXPECT_EQ(TLYStringUtil::intString(-5), "-5");
    EXPECT_EQ(TLYStringUtil::uintString(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(TLYStringUtil::trim(" \t\n tracker \r\n"), "tracker");
    EXPECT_EQ(TLYStringUtil::trim("\u00a0\u2003name x\u3000"), "name x");
    EXPECT_EQ(TLYStringUtil::trim(" \n "), "");
    EXPECT_EQ(TLYStringUtil::stripLeadingAmpersand("&&cd"), "&cd");
}

TEST(CoreStringUtil, PercentEncodingOfPayloads) {
    EXPECT_EQ(TLYStringUtil::percentEncode("a b+c/d'e"), "a+b%2Bc%2Fd'e");
    EXPECT_EQ(TLYStringUtil::percentEncode(":/?#[]@!$&\u2019()*+,;="),
              "%3A%2F%3F%23%5B%5D%40%21%24%26%E2%80%99%28%29%2A%2B%2C%3B%3D");
    EXPECT_EQ(TLYStringUtil::percentEncode("-._~\u00e9%"), "-._~%C3%A9%25");
    EXPECT_EQ(TLYStringUtil::percentDecode("a+b%2Bc%C3%A9%zz%4"), "a b+c\u00e9%zz%4");
}

TEST(CoreStringUtil, QueriesSplitIntoDecodedParameters) {
    EXPECT_EQ(TLYStringUtil::urlParams("http://x/y?a=1&b"), "a=1&b");
    EXPECT_EQ(TLYStringUtil::urlParams("http://x/y?"), "");
    EXPECT_EQ(TLYStringUtil::urlParams("no query"), "");
    Value params = TLYStringUtil::decodeParametersFromQuery("a=1&b&c=x%3Dy=z&a=2&sp=one+two");
    EXPECT_EQ(params, Value(Value::Dictionary{
                          {"a", Value("2")}, {"b", Value("")}, {"c", Value("x=y=z")}, {"sp", Value("one two")}}));
    EXPECT_FALSE(TLYStringUtil::decodeParametersFromUrl("not a url"));
    EXPECT_EQ(*TLYStringUtil::decodeParametersFromUrl("http://x/y"), Value(Value::Dictionary{}));
    EXPECT_EQ((*TLYStringUtil::decodeParametersFromUrl("http://x/y?k=v#frag"))["k"], Value("v"));
}

TEST(CoreHitUtil, SamplingHash) {
    EXPECT_EQ(TLYHitUtil::tlyHash(""), 1u);
    EXPECT_EQ(TLYHitUtil::tlyHash("a"), 97u * 16385u);
    // Each step: h = ((h & 0x3FFFFF) << 6) + c * 16385, folded when bits 21..27 are set.
    uint32_t h = 0;
    for (char c : std::string("dic-tneilc")) {  // the text read from the end
        h = ((h & 0x3FFFFF) << 6) + uint32_t(c) + (uint32_t(c) << 14);
        if (uint32_t g = h & 0xFE00000) h ^= g >> 21;
    }
    EXPECT_EQ(TLYHitUtil::tlyHash("client-cid"), h);
    // A letter with a combining mark counts once, by its first unit.
    EXPECT_EQ(TLYHitUtil::tlyHash("e\u0301"), TLYHitUtil::tlyHash("e"));
}

TEST(CoreHitUtil, IdentifiersHashesAndDeviceFacts) {
    std::string id = TLYHitUtil::generateClientId();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_EQ(id.find_first_of("ABCDEF"), std::string::npos);
    EXPECT_NE(id, TLYHitUtil::generateClientId());
    EXPECT_EQ(TLYHitUtil::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(TLYHitUtil::hashIdfa("abc", "def"),
              qmtest::run({"python3", "-c", "import hashlib; print(hashlib.md5(b'abc:def').hexdigest(), end='')"}).out);
    EXPECT_EQ(TLYHitUtil::systemLanguageFromLanguages(Value(Value::Array{})), "en");
    EXPECT_EQ(TLYHitUtil::systemLanguageFromLanguages(Value(Value::Array{Value("de-AT"), Value("en")})), "de-at");
    EXPECT_EQ(TLYHitUtil::systemCountryFromLocale("en_US.UTF-8"), "us");
    EXPECT_EQ(TLYHitUtil::systemCountryFromLocale("C"), "");
    EXPECT_EQ(TLYHitUtil::millisecondsElapsedFrom(10.0, 11.5009), 1500);
    EXPECT_EQ(TLYHitUtil::swapDimensionsOfRect({1, 2, 3, 4}), platform::graphics::Rect(1, 2, 4, 3));
    EXPECT_EQ(TLYHitUtil::systemScreenColorDepth(), "24-bit");
    EXPECT_EQ(TLYHitUtil::userAgentStringWithProduct("Tallymark", "3.15", "iPhone", "iOS", "9.3", "en", "us"),
              "Tallymark/3.15 (iPhone; U; CPU iOS 9.3 like Mac OS X; en-us)");
}

TEST(CoreHitUtil, TheUserAgentNamesARegionUnderTheCAndPosixLocales) {
    struct Restore {
        std::string saved;
        bool had;
        Restore() : saved(std::getenv("LC_ALL") ? std::getenv("LC_ALL") : ""), had(std::getenv("LC_ALL")) {}
        ~Restore() { had ? ::setenv("LC_ALL", saved.c_str(), 1) : ::unsetenv("LC_ALL"); }
    } restore;
    for (const char* locale : {"C", "POSIX", "C.UTF-8"}) {
        SCOPED_TRACE(locale);
        ::setenv("LC_ALL", locale, 1);
        std::string agent = TLYHitUtil::userAgentString();
        EXPECT_EQ(agent.substr(agent.size() - 8), "; en-us)") << agent;
    }
    ::setenv("LC_ALL", "de_AT.UTF-8", 1);
    EXPECT_EQ(TLYHitUtil::systemCountry(), "at");
}

TEST(CoreUtil, HitValuesAndDescriptions) {
    EXPECT_EQ(TLYUtil::valueForNumber(Value(42)), Value("42"));
    EXPECT_EQ(TLYUtil::valueForNumber(Value(true)), Value("1"));
    EXPECT_EQ(TLYUtil::valueForNumber(Value(2.5)), Value("2.5"));
    EXPECT_TRUE(TLYUtil::valueForNumber(Value("42")).isNull());
    EXPECT_TRUE(TLYUtil::valueForNumber(Value()).isNull());
    EXPECT_EQ(TLYUtil::valueForString(Value("s")), Value("s"));
    EXPECT_TRUE(TLYUtil::valueForString(Value()).isNull());
    EXPECT_EQ(TLYUtil::valueForString(Value(5)), Value(5));
    platform::foundation::Error error = platform::foundation::Error::withDescription("dom", 7, "broke");
    EXPECT_EQ(*TLYUtil::descriptionFromError(&error), "dom 7: broke");
    EXPECT_FALSE(TLYUtil::descriptionFromError(nullptr));
    EXPECT_FALSE(TLYUtil::descriptionFromException(nullptr));
}

TEST(CoreUsageTracker, LettersAreTakenOnceAndOnlyForKnownSelectors) {
    TLYUsageTracker::getUsageSequence();
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), "");
    TLYUsageTracker::trackAction("set:value:");
    TLYUsageTracker::trackAction("clientId");
    TLYUsageTracker tracker;
    tracker.trackActionOnInstance("send:");
    TLYUsageTracker::trackAction("createAppView");
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".KL-");
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), "");
}

TEST(CoreLogger, DefaultLoggerPrintsByLevel) {
    tlytest::LogCapture capture;
    TLYDefaultLogger logger;
    EXPECT_EQ(logger.logLevel(), 2u);
    logger.info("quiet");
    logger.warning("loud");
    logger.verbose("quiet");
    logger.error("err");
    logger.setLogLevel(0);
    logger.error("silent");
    logger.setLogLevel(4);
    logger.verbose("chatty");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("WARNING: loud"), std::string::npos);
    EXPECT_NE(lines[1].find("ERROR: err"), std::string::npos);
    EXPECT_NE(lines[2].find("VERBOSE: chatty"), std::string::npos);
}

TEST(CoreExceptionParser, SymbolsOfStackLines) {
    EXPECT_EQ(*TLYExceptionParser::symbolFromStackFrame(
                  "3   Quenmira    0x00000001000a1b2c -[MainViewController refresh:] + 44"),
              "-[MainViewController refresh:]");
    EXPECT_EQ(*TLYExceptionParser::symbolFromStackFrame("4   libc.so.6   0x00007f0011223344 abort + 300"), "abort");
    EXPECT_FALSE(TLYExceptionParser::symbolFromStackFrame("1   CoreFoundation 0x1 +[NSException raise:format:] + 1"));
    EXPECT_FALSE(TLYExceptionParser::symbolFromStackFrame("1 two three"));
}

TEST(CoreExceptionParser, DescriptionsAreCutBetweenCharacters) {
    std::vector<std::string> stack = {"0 a 0x1 first + 1", "1 a 0x2 second + 2", "2 a 0x3 third + 3",
                                      "3 a 0x4 -[Foo bar] + 4", "4 a 0x5"};
    EXPECT_EQ(TLYExceptionParser::exceptionDescription("Boom", stack, 0), "Boom\nTrace:\nthird\n-[Foo bar]");
    EXPECT_EQ(TLYExceptionParser::exceptionDescription("Boom", {stack[0], stack[1]}, 0), "Boom");
    EXPECT_EQ(TLYExceptionParser::exceptionDescription(std::string(200, 'N'), stack, 150), std::string(150, 'N'));
    // 149 letters and a character of two UTF-16 units do not fit in 150: it is left out whole.
    std::string name = std::string(149, 'N') + "\U0001F600";
    EXPECT_EQ(TLYExceptionParser::exceptionDescription(name, {}, 150), std::string(149, 'N'));
    std::string accented = std::string(149, 'N') + "e\u0301";
    EXPECT_EQ(TLYExceptionParser::exceptionDescription(accented, {}, 150), std::string(149, 'N'));

    // A real exception's own stack names the functions it passed through.
    try {
        platform::foundation::Exception::raise("TestException", "why");
    } catch (const platform::foundation::Exception& e) {
        auto lines = TLYExceptionParser::callStackSymbols(e);
        ASSERT_FALSE(lines.empty());
        for (const auto& line : lines) EXPECT_TRUE(TLYExceptionParser::symbolFromStackFrame(line)) << line;
        EXPECT_EQ(TLYExceptionParser::exceptionDescription(e, 0).rfind("TestException", 0), 0u);
    }
}

}  // namespace
