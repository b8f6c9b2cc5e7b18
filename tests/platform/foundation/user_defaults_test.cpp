#include "platform/foundation/UserDefaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ChildTest.h"
#include "tests/support/Descriptors.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::foundation;
using foundation_test::TempDir;

namespace {

// A sandbox and a bundle whose identifier names the defaults file.
class DefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeBundle(bundle.path, "com.example.defaults");
        Bundle::setMainBundlePath(bundle.path);
        Sandbox::setHome(home.path);
    }
    void TearDown() override { setLogSink(nullptr); }
    static void makeBundle(const std::string& dir, const std::string& identifier) {
        Value info = Value::emptyDictionary();
        if (!identifier.empty()) info["CFBundleIdentifier"] = identifier;
        ASSERT_TRUE(info.writeXMLPropertyListFile(dir + "/Info.plist"));
    }
    std::string prefsFile() const { return home.path + "/Library/Preferences/com.example.defaults.plist"; }

    TempDir home, bundle;
    qmtest::GlobalStateGuard guard_;
};

}  // namespace

TEST_F(DefaultsTest, TypedValuesAndTheRegistrationDomain) {
    auto& d = UserDefaults::standard();
    EXPECT_EQ(d.path(), prefsFile());
    d.registerDefaults({{"volume", Value(0.5)}, {"sound", Value(true)}, {"name", Value("reg")}});
    EXPECT_DOUBLE_EQ(d.doubleForKey("volume"), 0.5);
    EXPECT_TRUE(d.boolForKey("sound"));
    d.setBool("sound", false);
    EXPECT_FALSE(d.boolForKey("sound"));
    d.removeObject("sound");
    EXPECT_TRUE(d.boolForKey("sound"));  // back to the registered value

    d.setInteger("count", 7);
    d.setFloat("level", 0.25f);
    d.setString("name", "mine");
    EXPECT_EQ(d.integerForKey("count"), 7);
    EXPECT_FLOAT_EQ(d.floatForKey("level"), 0.25f);
    EXPECT_EQ(d.stringForKey("name"), "mine");
    EXPECT_EQ(d.stringForKey("count"), "7");  // a number answers its description
    EXPECT_EQ(d.stringForKey("list-less"), "");
    EXPECT_EQ(d.integerForKey("absent"), 0);
    EXPECT_TRUE(d.arrayForKey("name").isNull());
    d.setObject("list", Value(Value::Array{Value(1)}));
    EXPECT_EQ(d.arrayForKey("list").size(), 1u);
    d.setObject("list", Value());
    EXPECT_TRUE(d.objectForKey("list").isNull());
    EXPECT_EQ(d.dictionaryRepresentation()["count"].intValue(), 7);
    EXPECT_EQ(d.dictionaryRepresentation()["volume"].doubleValue(), 0.5);
}

TEST_F(DefaultsTest, AChangeReachesTheDiskSoonWithTheChangesMadeMeanwhile) {
    auto clock = std::make_shared<ManualClock>();
    Clock::setCurrent(clock);
    auto& d = UserDefaults::standard();
    auto stored = [&](const char* key) {
        auto v = Value::readPropertyListFile(prefsFile());
        return v ? (*v)[key] : Value();
    };
    d.setBool("alwayson", true);
    RunLoop::main().runFor(UserDefaults::kSaveDelay / 2);
    EXPECT_FALSE(FileManager::exists(prefsFile()));
    d.setInteger("healthPercent", 80);  // rides with the first change's write
    RunLoop::main().runFor(UserDefaults::kSaveDelay / 2);
    EXPECT_TRUE(stored("alwayson").boolValue());
    EXPECT_EQ(stored("healthPercent").intValue(), 80);
    EXPECT_EQ(RunLoop::main().nextFireDate(), -1);  // nothing more is pending

    d.removeObject("alwayson");
    RunLoop::main().runFor(UserDefaults::kSaveDelay);
    EXPECT_TRUE(stored("alwayson").isNull());
}

TEST_F(DefaultsTest, TheSandboxAndTheSettingsAreOwnerOnlyWhateverTheUmask) {
    const mode_t old = umask(0);
    TempDir other;
    const bool made = Sandbox::setHome(other.path + "/home");
    UserDefaults::standard().setBool("alwayson", true);
    const bool saved = UserDefaults::standard().synchronize();
    umask(old);
    ASSERT_TRUE(made);
    ASSERT_TRUE(saved);
    for (const std::string& dir : {Sandbox::home(), Sandbox::documents(), Sandbox::library(), Sandbox::caches(),
                                   Sandbox::preferences(), Sandbox::keychains(), Sandbox::tmp()})
        EXPECT_EQ(FileManager::attributes(dir)->mode, 0700u) << dir;
    EXPECT_EQ(FileManager::attributes(UserDefaults::standard().path())->mode, 0600u);

    // Stores are made owner-only before SQLite opens them; a wider file is narrowed.
    const std::string store = Sandbox::library() + "/store.sql";
    ASSERT_TRUE(FileManager::writeFileAtomically(store, std::string(), nullptr, 0644));
    EXPECT_TRUE(FileManager::preparePrivateFile(store));
    EXPECT_TRUE(FileManager::preparePrivateFile(Sandbox::library() + "/new.sql"));
    EXPECT_EQ(FileManager::attributes(store)->mode, 0600u);
    EXPECT_EQ(FileManager::attributes(Sandbox::library() + "/new.sql")->mode, 0600u);
    EXPECT_TRUE(FileManager::preparePrivateFile(":memory:"));
    EXPECT_FALSE(FileManager::exists(":memory:"));
}

TEST_F(DefaultsTest, AHomeThatCannotBeWrittenIsReported) {
    ASSERT_TRUE(FileManager::writeFileAtomically(home.file("plain-file"), std::string("x")));
    Error error;
    EXPECT_FALSE(Sandbox::setHome(home.file("plain-file") + "/home", &error));
    EXPECT_NE(error.localizedDescription().find("plain-file"), std::string::npos) << error.localizedDescription();
    EXPECT_TRUE(Sandbox::setHome(home.path, &error));
}

TEST_F(DefaultsTest, SynchronizeWritesABinaryPlistPythonReads) {
    auto& d = UserDefaults::standard();
    d.setInteger("launches", 3);
    d.setString("colour", "blue");
    ASSERT_TRUE(d.synchronize());
    auto bytes = FileManager::readFile(prefsFile());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->substr(0, 8), "bplist00");
    auto r = foundation_test::runPython(home, R"PY(
import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"), fmt=plistlib.FMT_BINARY)
sys.exit(0 if d == {"launches": 3, "colour": "blue"} else print(d) or 1)
)PY",
                                        {prefsFile()});
    EXPECT_EQ(r.status, 0) << r.output;
    // No temporary files are left beside it.
    EXPECT_EQ(FileManager::contentsOfDirectory(home.path + "/Library/Preferences"),
              std::vector<std::string>{"com.example.defaults.plist"});
}

TEST_F(DefaultsTest, ACorruptFileIsKeptAsideWithOneLogLine) {
    ASSERT_TRUE(FileManager::writeFileAtomically(prefsFile(), std::string("bplist00 garbage \x01\x02")));
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    auto& d = UserDefaults::standard();
    EXPECT_TRUE(d.dictionaryRepresentation()["launches"].isNull());
    EXPECT_TRUE(d.objectForKey("anything").isNull());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(prefsFile()), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("corrupt"), std::string::npos) << lines[0];

    auto names = FileManager::contentsOfDirectory(home.path + "/Library/Preferences");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("com.example.defaults.plist.corrupt-", 0), 0u) << names[0];
    auto kept = FileManager::readFile(home.path + "/Library/Preferences/" + names[0]);
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, "bplist00 garbage \x01\x02");

    // The defaults start afresh and are written normally.
    d.setInteger("launches", 1);
    ASSERT_TRUE(d.synchronize());
    auto v = Value::readPropertyListFile(prefsFile());
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["launches"].intValue(), 1);
}

TEST_F(DefaultsTest, AFifoALinkOrAnOversizedFileIsSetAsideNotWaitedOnOrFollowed) {
    TempDir outside;
    const std::string secret = outside.file("secret.plist");
    ASSERT_TRUE(Value(Value::Dictionary{{"outside", Value(1)}}).writeBinaryPropertyListFile(secret));
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"fifo", [&] { ASSERT_EQ(mkfifo(prefsFile().c_str(), 0600), 0); }},
        {"link", [&] { ASSERT_EQ(symlink(secret.c_str(), prefsFile().c_str()), 0); }},
        {"oversized",
         [&] {
             ASSERT_TRUE(
                 FileManager::writeFileAtomically(prefsFile(), std::string(UserDefaults::kMaxFileSize + 1, 'x')));
         }},
    };
    for (const auto& [what, plant] : cases) {
        SCOPED_TRACE(what);
        for (const auto& name : FileManager::contentsOfDirectory(home.path + "/Library/Preferences"))
            FileManager::remove(home.path + "/Library/Preferences/" + name);
        plant();
        std::vector<std::string> lines;
        setLogSink([&](const std::string& l) { lines.push_back(l); });
        UserDefaults::resetStandard();
        EXPECT_TRUE(UserDefaults::standard().objectForKey("outside").isNull());
        setLogSink(nullptr);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("moved it to " + prefsFile() + ".corrupt-"), std::string::npos) << lines[0];
        auto names = FileManager::contentsOfDirectory(home.path + "/Library/Preferences");
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind("com.example.defaults.plist.corrupt-2", 0), 0u) << names[0];  // a date: 20xx
    }
    EXPECT_EQ((*Value::readPropertyListFile(secret))["outside"].intValue(), 1);
}

// A settings file that cannot be read for a passing reason (no descriptor
// left, no permission) is no damage: it stays byte for byte, one line says
// why, nothing saved that launch replaces it, and the next one reads it.
TEST_F(DefaultsTest, ASettingsFileThatCannotBeReadNowIsLeftAsItIsAndReadLater) {
    {
        UserDefaults d(prefsFile());
        d.setInteger("health", 80);
        ASSERT_TRUE(d.synchronize());
    }
    const std::string bytes = *FileManager::readFile(prefsFile());
    // In a child that cannot read it; 0 when it behaved.
    auto unreadable = [&](const std::string& why) {
        std::vector<std::string> lines;
        setLogSink([&](const std::string& l) { lines.push_back(l); });
        UserDefaults d(prefsFile());
        const bool empty = d.objectForKey("health").isNull();
        d.setInteger("health", 100);
        const bool saved = d.synchronize();
        setLogSink(nullptr);
        if (!empty) return 1;
        if (saved) return 2;
        if (lines.size() != 1 || lines[0].find("UserDefaults: cannot read " + prefsFile() + ": " + why +
                                               "; it is left as it is") == std::string::npos)
            return 3;
        return 0;
    };
    pid_t child;
#if !defined(__SANITIZE_ADDRESS__)  // whose runtime keeps descriptors of its own free
    child = qmtest::forkShortOfDescriptors(0, [&] { return unreadable("Too many open files"); });
    ASSERT_GT(child, 0);
    EXPECT_EQ(qmtest::waitExit(child, 30), 0);
    EXPECT_EQ(*FileManager::readFile(prefsFile()), bytes);
#endif
    // Root reads any file: as root the child reads as another user, for whom the folder is closed too.
    ASSERT_EQ(chmod(prefsFile().c_str(), 0), 0);
    child = fork();
    if (child == 0)
        _exit(geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                  ? 5
                  : unreadable("Permission denied"));
    ASSERT_GT(child, 0);
    EXPECT_EQ(qmtest::waitExit(child, 30), 0);
    ASSERT_EQ(chmod(prefsFile().c_str(), 0600), 0);
    EXPECT_EQ(*FileManager::readFile(prefsFile()), bytes);
    EXPECT_EQ(FileManager::contentsOfDirectory(home.path + "/Library/Preferences"),
              std::vector<std::string>{"com.example.defaults.plist"});
    EXPECT_EQ(UserDefaults(prefsFile()).integerForKey("health"), 80);
}

// One line per file and launch, whatever the reason each failed save has and
// however many instances (the standard one reset) save the file.
TEST_F(DefaultsTest, AWriteThatKeepsFailingIsSaidOncePerFileAndLaunch) {
    auto& d = UserDefaults::standard();
    d.setInteger("launches", 1);
    ASSERT_TRUE(d.synchronize());
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    auto failThrice = [&](UserDefaults& d) {
        ASSERT_TRUE(FileManager::remove(prefsFile()));
        ASSERT_TRUE(FileManager::createDirectory(prefsFile() + "/in-the-way"));
        for (int i = 2; i <= 4; ++i) {
            d.setInteger("launches", i);
            EXPECT_FALSE(d.synchronize());
        }
        ASSERT_TRUE(FileManager::remove(prefsFile()));
    };
    failThrice(d);
    EXPECT_EQ(lines.size(), 1u);
    ASSERT_TRUE(d.synchronize());
    failThrice(d);
    // The folder itself swapped for a link: another reason, still the same file.
    const std::string folder = home.path + "/Library/Preferences";
    ASSERT_EQ(rename(folder.c_str(), (folder + ".real").c_str()), 0);
    ASSERT_EQ(symlink(bundle.path.c_str(), folder.c_str()), 0);
    d.setInteger("launches", 5);
    EXPECT_FALSE(d.synchronize());
    UserDefaults::resetStandard();
    UserDefaults::standard().setInteger("launches", 6);
    EXPECT_FALSE(UserDefaults::standard().synchronize());
    ASSERT_EQ(unlink(folder.c_str()), 0);
    ASSERT_EQ(rename((folder + ".real").c_str(), folder.c_str()), 0);
    setLogSink(nullptr);
    // The instance made meanwhile says it cannot read the file; of writing, one line.
    std::vector<std::string> writes;
    for (const auto& line : lines)
        if (line.find("UserDefaults: cannot write ") != std::string::npos) writes.push_back(line);
    ASSERT_EQ(writes.size(), 1u) << lines.back();
    EXPECT_NE(writes[0].find("UserDefaults: cannot write " + prefsFile()), std::string::npos) << writes[0];
}

// The settings' folder swapped for a link while they are read: they cannot be
// read now, and no save of this launch replaces them once the folder is back.
TEST_F(DefaultsTest, SettingsBeneathAFolderSwappedForALinkAreLeftAsTheyAreAndReadLater) {
    {
        UserDefaults d(prefsFile());
        d.setInteger("health", 80);
        ASSERT_TRUE(d.synchronize());
    }
    const std::string bytes = *FileManager::readFile(prefsFile());
    const std::string folder = home.path + "/Library/Preferences";
    ASSERT_EQ(rename(folder.c_str(), (folder + ".real").c_str()), 0);
    ASSERT_EQ(symlink(bundle.path.c_str(), folder.c_str()), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    {
        UserDefaults d(prefsFile());
        EXPECT_TRUE(d.objectForKey("health").isNull());
        ASSERT_EQ(unlink(folder.c_str()), 0);
        ASSERT_EQ(rename((folder + ".real").c_str(), folder.c_str()), 0);
        d.setInteger("health", 100);
        EXPECT_FALSE(d.synchronize());
    }
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("UserDefaults: cannot read " + prefsFile() +
                            ": a folder on its way is not a folder now (Too many levels of symbolic links); it is "
                            "left as it is"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(*FileManager::readFile(prefsFile()), bytes);
    EXPECT_EQ(FileManager::contentsOfDirectory(folder), std::vector<std::string>{"com.example.defaults.plist"});
    EXPECT_EQ(FileManager::contentsOfDirectory(bundle.path), std::vector<std::string>{"Info.plist"});
    EXPECT_EQ(UserDefaults(prefsFile()).integerForKey("health"), 80);
}

// Read from a folder that another process then swaps for the real one (as
// one set aside a link in its place and made an empty folder meanwhile): the
// settings found missing there are not written over the ones of the folder
// swapped in.
TEST_F(DefaultsTest, SettingsAreNeverSavedIntoAFolderOtherThanTheOneTheyWereReadFrom) {
    {
        UserDefaults d(prefsFile());
        d.setInteger("health", 80);
        ASSERT_TRUE(d.synchronize());
    }
    const std::string bytes = *FileManager::readFile(prefsFile());
    const std::string folder = home.path + "/Library/Preferences";
    ASSERT_EQ(rename(folder.c_str(), (folder + ".real").c_str()), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    {
        UserDefaults d(prefsFile());
        EXPECT_TRUE(d.objectForKey("health").isNull());
        ASSERT_EQ(renameat2(AT_FDCWD, (folder + ".real").c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE), 0);
        d.setInteger("health", 100);
        EXPECT_FALSE(d.synchronize());
        EXPECT_FALSE(d.synchronize());
    }
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("UserDefaults: cannot write " + prefsFile() +
                            ": its folder is another than the one it was read from"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(*FileManager::readFile(prefsFile()), bytes);
    EXPECT_EQ(UserDefaults(prefsFile()).integerForKey("health"), 80);
}

TEST_F(DefaultsTest, WhatAKilledSaveLeftIsRemovedAtLoad) {
    ASSERT_TRUE(FileManager::writeFileAtomically(prefsFile() + ".tmp-Ab12Cd", std::string("half a save")));
    ASSERT_TRUE(FileManager::writeFileAtomically(prefsFile() + ".tmp-notmine", std::string("kept")));
    ASSERT_TRUE(FileManager::createDirectory(prefsFile() + ".tmp-Xy34Zw"));
    UserDefaults::standard().synchronize();
    EXPECT_FALSE(FileManager::exists(prefsFile() + ".tmp-Ab12Cd"));
    EXPECT_TRUE(FileManager::exists(prefsFile() + ".tmp-notmine"));
    EXPECT_TRUE(FileManager::exists(prefsFile() + ".tmp-Xy34Zw"));
}

TEST_F(DefaultsTest, ADictionaryIsRequiredAtTheTop) {
    ASSERT_TRUE(Value(Value::Array{Value(1)}).writeBinaryPropertyListFile(prefsFile()));
    setLogSink([](const std::string&) {});
    EXPECT_TRUE(UserDefaults::standard().objectForKey("x").isNull());
    EXPECT_FALSE(FileManager::exists(prefsFile()));
}

TEST_F(DefaultsTest, WithoutAnIdentifierTheFallbackNameIsUsed) {
    makeBundle(bundle.path, "");
    Bundle::setMainBundlePath(bundle.path);
    EXPECT_EQ(UserDefaults::standard().path(), home.path + "/Library/Preferences/com.quenmira.Quenmira.plist");
}

TEST_F(DefaultsTest, AppleLanguagesComesFromTheEnvironmentUnlessSet) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(UserDefaults::preferredLanguages().at(0).string(), "de-DE");
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(UserDefaults::preferredLanguages().at(0).string(), "en");
    unsetenv("LC_ALL");
    UserDefaults::standard().setObject("AppleLanguages", Value(Value::Array{Value("fr"), Value("en")}));
    EXPECT_EQ(UserDefaults::preferredLanguages().at(0).string(), "fr");
}

// Each role runs in a separate process started by SurvivesARestart.
QM_CHILD_TEST(DefaultsChild, Role) {
    const char* role = getenv("QM_DEFAULTS_ROLE");
    ASSERT_TRUE(role);
    Bundle::setMainBundlePath(getenv("QM_DEFAULTS_BUNDLE"));
    Sandbox::setHome(getenv("QM_DEFAULTS_HOME"));
    auto& d = UserDefaults::standard();
    if (std::string(role) == "write") {
        d.setInteger("launches", 41);
        d.setObject("nested", Value(Value::Dictionary{{"k", Value(Value::Array{Value("v"), Value(2.5)})}}));
        // No synchronize: leaving the process must save them.
    } else {
        EXPECT_EQ(d.integerForKey("launches"), 41);
        EXPECT_EQ(d.dictionaryForKey("nested")["k"].at(0).string(), "v");
        EXPECT_DOUBLE_EQ(d.dictionaryForKey("nested")["k"].at(1).doubleValue(), 2.5);
    }
}

TEST_F(DefaultsTest, ValuesSurviveARestartOfAChildProcess) {
    const std::vector<std::string> child = {"/proc/" + std::to_string(getpid()) + "/exe",
                                            "--gtest_filter=DefaultsChild.Role"};
    const auto role = [&](const std::string& name) {
        return std::vector<std::string>{"QM_DEFAULTS_BUNDLE=" + bundle.path, "QM_DEFAULTS_HOME=" + home.path,
                                        "QM_DEFAULTS_ROLE=" + name};
    };
    auto w = foundation_test::runCommand(child, role("write"));
    ASSERT_EQ(w.status, 0) << w.output;
    ASSERT_TRUE(FileManager::exists(prefsFile()));
    auto r = foundation_test::runCommand(child, role("read"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
}
