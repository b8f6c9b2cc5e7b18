// Language, version and encoding utilities.
#include <gtest/gtest.h>

#include <filesystem>

#include "framework/TwkUtils.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;

namespace {

class UtilsLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        pf::Sandbox::setHome(home_.path());
        pf::UserDefaults::resetStandard();
    }
    void languages(pf::Value::Array list) { pf::UserDefaults::standard().setObject("AppleLanguages", pf::Value(list)); }
    qmtest::TempDir home_;
    qmtest::GlobalStateGuard guard_;
};

TEST_F(UtilsLanguage, EmptyLanguageListMeansEnglish) {
    languages({});
    EXPECT_EQ(TwkUtils::getLang(), "en");
    EXPECT_FALSE(TwkUtils::isArabic());
    EXPECT_FALSE(TwkUtils::isSmallCharsLanguage());
}

TEST_F(UtilsLanguage, FirstLanguageDecides) {
    languages({"zh-Hant", "en"});
    EXPECT_EQ(TwkUtils::getLang(), "zh-Hant");
    EXPECT_EQ(TwkUtils::getLangNoDash(), "zh_Hant");
    EXPECT_TRUE(TwkUtils::isChineseOrJapanese());
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguage());
    languages({"ar-SA"});
    EXPECT_TRUE(TwkUtils::isArabic());
    EXPECT_FALSE(TwkUtils::isChineseOrJapanese());
    languages({"ja"});
    EXPECT_TRUE(TwkUtils::isChineseOrJapanese());
    languages({"en-GB"});
    EXPECT_FALSE(TwkUtils::isChineseOrJapanese());
    EXPECT_EQ(TwkUtils::getLangNoDash(), "en_GB");
    // The language list holds identifiers with "-": a locale-style entry is
    // not split at "_" by these tests (only the small-characters test is).
    languages({"ar_SA"});
    EXPECT_FALSE(TwkUtils::isArabic());
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguage());
    languages({"ja_JP"});
    EXPECT_FALSE(TwkUtils::isChineseOrJapanese());
}

TEST_F(UtilsLanguage, AbsentOrMalformedLanguageListMeansEnglish) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.removeObject("AppleLanguages");
    EXPECT_EQ(TwkUtils::getLang(), "en");
    EXPECT_EQ(TwkUtils::getLangNoDash(), "en");
    EXPECT_FALSE(TwkUtils::isChineseOrJapanese());
    defaults.setObject("AppleLanguages", pf::Value("zh-Hant"));  // a text, not a list
    EXPECT_EQ(TwkUtils::getLang(), "en");
    defaults.setObject("AppleLanguages", pf::Value(pf::Value::Array{pf::Value(int64_t{7}), pf::Value("ja")}));
    EXPECT_EQ(TwkUtils::getLang(), "en");
}

TEST(UtilsLocale, SmallCharacterLanguages) {
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguageForLocale("zh_CN"));
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguageForLocale("hi_IN"));
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguageForLocale("ko"));
    EXPECT_TRUE(TwkUtils::isSmallCharsLanguageForLocale("hk-HK"));
    EXPECT_FALSE(TwkUtils::isSmallCharsLanguageForLocale("en_US"));
    EXPECT_FALSE(TwkUtils::isSmallCharsLanguageForLocale(""));
    EXPECT_FALSE(TwkUtils::isSmallCharsLanguageForLocale("zho"));  // the whole language part must match
}

TEST(UtilsVersion, MajorNumberIsAnInteger) {
    EXPECT_EQ(TwkUtils::majorVersion("10.0"), 10);
    EXPECT_GT(TwkUtils::majorVersion("10.0"), 7);  // "10" < "8" as text, not as a number
    EXPECT_EQ(TwkUtils::majorVersion("9.3"), 9);
    EXPECT_EQ(TwkUtils::majorVersion("7"), 7);
    EXPECT_EQ(TwkUtils::majorVersion(""), 0);
    // The played system is 9.3.
    EXPECT_TRUE(TwkUtils::isRunningAtLeastiOS7());
    EXPECT_TRUE(TwkUtils::isRunningAtLeastiOS8());
    EXPECT_FALSE(TwkUtils::isRunningOS7orLower());
}

TEST(UtilsHash, MD5OverEveryByte) {
    EXPECT_EQ(TwkUtils::md5(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(TwkUtils::md5("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(TwkUtils::md5(std::string("a\0b", 3)), "70350F6027BCE3713F6B76473084309B");
    EXPECT_NE(TwkUtils::md5(std::string("a\0b", 3)), TwkUtils::md5("a"));
    EXPECT_EQ(TwkUtils::md5("The quick brown fox jumps over the lazy dog"), "9E107D9D372BB6826BD81D3542A419D6");
}

TEST(UtilsEncode, PercentEscapes) {
    EXPECT_EQ(TwkUtils::urlEncode("a b"), "a%20b");
    EXPECT_EQ(TwkUtils::urlEncode("x&y"), "x%26y");
    EXPECT_EQ(TwkUtils::urlEncode("AZaz09"), "AZaz09");
    EXPECT_EQ(TwkUtils::urlEncode("!*'();:@&=+$,/?%#[]"), "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
    EXPECT_EQ(TwkUtils::urlEncode("-_.~"), "-_.~");
    EXPECT_EQ(TwkUtils::urlEncode("\xC3\xA9"), "%C3%A9");  // é in UTF-8
    EXPECT_EQ(TwkUtils::urlEncode(""), "");
}

TEST(UtilsMemory, SizesAddUpInSixtyFourBits) {
    EXPECT_EQ(TwkUtils::memSizeOfDict(pf::Value::Dictionary{}), 0);
    EXPECT_EQ(TwkUtils::memSizeOfArray(pf::Value::Array{}), 0);
    EXPECT_EQ(TwkUtils::memSizeOfDict(pf::Value("not a dictionary")), 0);

    const int64_t base = TwkUtils::memSizeOfObject(pf::Value());
    EXPECT_EQ(TwkUtils::memSizeOfObject(pf::Value("xyz")), base + 3);
    pf::Value::Dictionary dict{{"a", pf::Value("xyz")}};
    EXPECT_EQ(TwkUtils::memSizeOfDict(pf::Value(dict)), (base + 1) + (base + 3));

    // Containers add nothing of their own; leaves of 1 GiB each overflow 32 bits.
    const int64_t gib = int64_t(1) << 30;
    auto leaf = [gib](const pf::Value& v) { return v.isString() && v.string().size() == 1 ? int64_t(0) : gib; };
    pf::Value nested(pf::Value::Dictionary{
        {"a", pf::Value(pf::Value::Array{pf::Value(1), pf::Value(2)})},
        {"b", pf::Value(pf::Value::Dictionary{{"c", pf::Value(3)}})},
    });
    EXPECT_EQ(TwkUtils::memSizeOfDict(nested, leaf), 3 * gib);
    EXPECT_EQ(TwkUtils::memSizeOfArray(pf::Value(pf::Value::Array{nested, nested}), leaf), 6 * gib);
}

}  // namespace
