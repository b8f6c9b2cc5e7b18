#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::foundation;
using foundation_test::TempDir;

namespace {

std::string utf16(const std::string& utf8, bool bigEndian) {
    // Enough for the test texts: ASCII, Latin-1 and one astral character.
    std::u32string cps;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        int len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + size_t(k)]) & 0x3F);
        cps += cp;
        i += size_t(len);
    }
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    auto put = [&](uint16_t u) {
        char hi = char(u >> 8), lo = char(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    };
    for (char32_t cp : cps) {
        if (cp >= 0x10000) {
            put(uint16_t(0xD800 + ((cp - 0x10000) >> 10)));
            put(uint16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            put(uint16_t(cp));
        }
    }
    return out;
}

const char* kTricky = R"STR(/* A header comment with "quotes" and // slashes */
// a line comment; with = signs
"plain" = "Plain value";
"escapes" = "tab\there \"q\" back\\slash\nnew line";
unquoted_key = "from an unquoted key";
"unquoted.value" = bare-word;
"semi;colon" = "a ; inside";
"comment-like" = "/* not a comment */ // nor this";
"unicode" = "\U00e9\u00E8 \UD83D\UDD0B";
"multi
line" = "spans
lines";
"spaced"   =
   "around"  ;
"self";
"dup" = "first";
"dup" = "second";
"empty" = "";
)STR";

}  // namespace

TEST(StringsFile, TrickyUtf8File) {
    std::string error;
    auto d = parseStringsFile(kTricky, &error);
    ASSERT_TRUE(d) << error;
    auto s = [&](const std::string& k) { return d->count(k) ? d->at(k).string() : "<missing>"; };
    EXPECT_EQ(s("plain"), "Plain value");
    EXPECT_EQ(s("escapes"), "tab\there \"q\" back\\slash\nnew line");
    EXPECT_EQ(s("unquoted_key"), "from an unquoted key");
    EXPECT_EQ(s("unquoted.value"), "bare-word");
    EXPECT_EQ(s("semi;colon"), "a ; inside");
    EXPECT_EQ(s("comment-like"), "/* not a comment */ // nor this");
    EXPECT_EQ(s("unicode"), "\u00e9\u00e8 \xF0\x9F\x94\x8B");
    EXPECT_EQ(s("multi\nline"), "spans\nlines");
    EXPECT_EQ(s("spaced"), "around");
    EXPECT_EQ(s("self"), "self");
    EXPECT_EQ(s("dup"), "second");
    EXPECT_EQ(s("empty"), "");
    EXPECT_EQ(d->size(), 12u);
}

TEST(StringsFile, Utf16WithEitherByteOrderAndUtf8Bom) {
    std::string text = "/* c */ \"caf\u00e9\" = \"\u00e9t\u00e9 \xF0\x9F\x94\x8B\";\n";
    for (bool be : {false, true}) {
        auto d = parseStringsFile(utf16(text, be));
        ASSERT_TRUE(d) << be;
        EXPECT_EQ(d->at("caf\u00e9").string(), "\u00e9t\u00e9 \xF0\x9F\x94\x8B");
    }
    auto d = parseStringsFile("\xEF\xBB\xBF\"k\" = \"v\";");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("k").string(), "v");
    EXPECT_FALSE(parseStringsFile(std::string("\xFF\xFE\x41", 3)));  // half a code unit
    EXPECT_TRUE(parseStringsFile(""));
    EXPECT_TRUE(parseStringsFile("/* only a comment */\n// and another")->empty());
}

TEST(StringsFile, SyntaxErrorsNameTheLine) {
    std::string error;
    EXPECT_FALSE(parseStringsFile("\"a\" = \"b\";\n\"c\" = \"d\"\n\"e\" = \"f\";", &error));
    EXPECT_EQ(error.rfind("line 3", 0), 0u) << error;
    EXPECT_FALSE(parseStringsFile("\"a\" = \"b\";\n/* open", &error));
    EXPECT_NE(error.find("comment"), std::string::npos) << error;
    EXPECT_FALSE(parseStringsFile("\"a\" = \"never closed;\n", &error));
    EXPECT_NE(error.find("string"), std::string::npos) << error;
    EXPECT_FALSE(parseStringsFile("\"a\" \"b\";", &error));
    EXPECT_FALSE(parseStringsFile("\"a\" = ;", &error));
    EXPECT_FALSE(parseStringsFile("= \"b\";", &error));
    EXPECT_FALSE(parseStringsFile("\"a\" = \"b\"", &error));  // no final semicolon
}

TEST(StringsFile, CompiledTablesArePropertyLists) {
    Value table = Value::emptyDictionary();
    table["k"] = "v";
    auto bin = table.toBinaryPropertyList();
    auto d = parseStringsFile(std::string(bin.begin(), bin.end()));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->at("k").string(), "v");
}

class BundleTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sandbox::setHome(home.path);
        Bundle::setMainBundlePath(dir.path);
        UserDefaults::resetStandard();
        Value info = Value::emptyDictionary();
        info["CFBundleIdentifier"] = "com.example.bundle";
        info["CFBundleShortVersionString"] = "1.2";
        ASSERT_TRUE(info.writeBinaryPropertyListFile(dir.file("Info.plist")));
        FileManager::createDirectory(dir.file("en.lproj"));
        FileManager::createDirectory(dir.file("de.lproj"));
        FileManager::createDirectory(dir.file("Sub/Inner.bundle/en.lproj"));
        write("en.lproj/Localizable.strings", "\"hello\" = \"Hello\";\n\"only.en\" = \"English only\";\n");
        write("de.lproj/Localizable.strings", utf16("\"hello\" = \"Hallo\";\n", false));
        write("en.lproj/Other.strings", "\"x\" = \"Other x\";");
        write("de.lproj/Broken.strings", "\"x\" = ");
        write("en.lproj/Broken.strings", "\"x\" = \"English x\";");
        write("image.png", "png");
        write("de.lproj/flag.png", "de");
        write("en.lproj/flag.png", "en");
        write("Sub/a.caf", "caf");
        write("Sub/Inner.bundle/en.lproj/Inner.strings", "\"in\" = \"Inside\";");
    }
    void TearDown() override { setLogSink(nullptr); }
    void write(const std::string& rel, const std::string& bytes) {
        ASSERT_TRUE(FileManager::writeFileAtomically(dir.file(rel), bytes));
    }
    void languages(std::vector<std::string> langs) {
        Value::Array a;
        for (auto& l : langs) a.push_back(Value(l));
        UserDefaults::standard().setObject("AppleLanguages", Value(a));
    }
    TempDir dir, home;
    qmtest::GlobalStateGuard guard_;
};

TEST_F(BundleTest, AnIdentifierThatWouldLeaveItsFolderIsRefused) {
    std::vector<std::string> logged;
    setLogSink([&](const std::string& l) { logged.push_back(l); });
    for (const char* bad : {"../../../outside/escaped", "org.example/sub", "..", "org..example"}) {
        Value info = Value::emptyDictionary();
        info["CFBundleIdentifier"] = bad;
        ASSERT_TRUE(info.writeXMLPropertyListFile(home.file("Bad.plist")));
        Bundle::setMainBundlePath(dir.path, home.file("Bad.plist"));
        EXPECT_EQ(Bundle::main().bundleIdentifier(), "") << bad;
        UserDefaults::resetStandard();
        // The settings file stays in the sandbox's preferences, under the fallback name.
        EXPECT_EQ(FileManager::deletingLastPathComponent(UserDefaults::standard().path()), Sandbox::preferences())
            << bad;
    }
    EXPECT_FALSE(logged.empty());
    EXPECT_NE(logged.front().find("../../../outside/escaped"), std::string::npos) << logged.front();
    EXPECT_TRUE(Bundle::isUsableIdentifier("org.quenmira.battery"));
}

TEST_F(BundleTest, InfoPlistValues) {
    auto& b = Bundle::main();
    EXPECT_EQ(b.bundlePath(), dir.path);
    EXPECT_EQ(b.bundleIdentifier(), "com.example.bundle");
    EXPECT_EQ(b.objectForInfoDictionaryKey("CFBundleShortVersionString").string(), "1.2");
    EXPECT_TRUE(b.objectForInfoDictionaryKey("Missing").isNull());

    // --info-plist replaces the file.
    Value other = Value::emptyDictionary();
    other["CFBundleIdentifier"] = "com.example.other";
    ASSERT_TRUE(other.writeXMLPropertyListFile(home.file("Other.plist")));
    Bundle::setMainBundlePath(dir.path, home.file("Other.plist"));
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.other");
}

TEST_F(BundleTest, LocalizedStringsFollowAppleLanguagesWithEnglishFallback) {
    languages({"de-DE", "en"});
    auto& b = Bundle::main();
    EXPECT_EQ(b.preferredLocalization(), "de");
    EXPECT_EQ(b.localizedString("hello", "", "Localizable"), "Hallo");
    EXPECT_EQ(b.localizedString("hello", "", ""), "Hallo");
    EXPECT_EQ(b.localizedString("only.en", "", "Localizable"), "English only");
    EXPECT_EQ(b.localizedString("absent", "", "Localizable"), "absent");
    EXPECT_EQ(b.localizedString("absent", "Given", "Localizable"), "Given");
    EXPECT_EQ(b.localizedString("x", "", "NoSuchTable"), "x");
    std::vector<std::string> logged;
    setLogSink([&](const std::string& l) { logged.push_back(l); });
    EXPECT_EQ(b.localizedString("x", "", "Broken"), "English x");
    EXPECT_EQ(logged.size(), 1u);

    languages({"fr", "ja"});
    auto fresh = Bundle::bundleWithPath(dir.path);
    EXPECT_EQ(fresh->preferredLocalization(), "en");
    EXPECT_EQ(fresh->localizedString("hello", "", "Localizable"), "Hello");
}

TEST_F(BundleTest, ResourcesAtTheTopInLanguageFoldersAndSubfolders) {
    languages({"de"});
    auto& b = Bundle::main();
    EXPECT_EQ(b.pathForResource("image", "png"), dir.file("image.png"));
    EXPECT_EQ(b.pathForResource("image.png", ""), dir.file("image.png"));
    EXPECT_EQ(b.pathForResource("flag", "png"), dir.file("de.lproj/flag.png"));
    EXPECT_EQ(b.pathForResource("a", "caf", "Sub"), dir.file("Sub/a.caf"));
    EXPECT_FALSE(b.pathForResource("a", "caf"));
    EXPECT_FALSE(b.pathForResource("nothing", "png"));

    auto innerPath = b.pathForResource("Inner", "bundle", "Sub");
    ASSERT_TRUE(innerPath);
    auto inner = Bundle::bundleWithPath(*innerPath);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->localizedString("in", "", "Inner"), "Inside");
    EXPECT_FALSE(Bundle::bundleWithPath(dir.file("NoSuch.bundle")));
}
