// The built application on a sandbox whose files cannot be read for a passing
// reason (no permission, no descriptor left): that is no damage. Such a file
// stays byte for byte, nothing the launch writes replaces it, a line says
// why, once, and a later launch reads it as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/ui/app_test_support.h"
#include "tests/support/FailingRead.h"
#include "tests/support/FolderSwapper.h"
#include "tests/support/OtherUser.h"
#include "tests/support/ShellTools.h"
#include "tests/support/WaitUntil.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = qmtest::OtherUser::kUid;

class PassingFailures : public ::testing::Test {
protected:
    void SetUp() override {
        // Root reads any file: as root the application runs as another user,
        // from a copy of the bundle that user can reach (the build tree may lie
        // in a folder only its owner opens).
        ASSERT_EQ(::chmod(base_.path().c_str(), 0755), 0);
        app_ = std::string(QM_BUNDLE_DIR) + "/Quenmira";
        if (geteuid() == 0) {
            if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
            const std::string bundle = other_.reachableCopy(QM_BUNDLE_DIR);
            ASSERT_NE(bundle, "");
            app_ = bundle + "/Quenmira";
            asUser_ = qmtest::OtherUser::prefix();
        }
        home_ = base_.file("home");
        for (const std::string& folder : {home_, base_.file("shots")}) {
            ASSERT_TRUE(fs::create_directory(folder));
            if (geteuid() == 0) {
                ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
            }
        }
    }
    // A snapshot launch on the home, `prefix` running first (a shell with its
    // limits); its exit status, with what it printed in log_.
    int launch(const std::vector<std::string>& prefix = {}) {
        const std::string output = out_.file("output" + std::to_string(runs_ + 1) + ".txt");
        const pid_t pid = start(home_, prefix, output);
        const int status = pid > 0 ? qmtest::waitExit(pid, 90) : -1;
        log_ = qmtest::readAll(output);
        return status;
    }
    // Starts that launch on `home`, its output going to `output`; its pid, or -1.
    pid_t start(const std::string& home, const std::vector<std::string>& prefix, const std::string& output) {
        std::vector<std::string> args = asUser_;
        args.insert(args.end(), prefix.begin(), prefix.end());
        args.insert(args.end(), {app_, "--home", home, "--battery", "0.5", "--snapshot",
                                 base_.file("shots/" + std::to_string(++runs_) + ".png")});
        return qmtest::spawnLogged(args, other_.environment(qmtest::headlessEnvironment()), output);
    }
    // What a line says, without the time and process it begins with.
    static std::vector<std::string> messages(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const size_t end = line.find("] ");
            out.push_back(end == std::string::npos ? line : line.substr(end + 2));
        }
        return out;
    }
    // Everything set aside anywhere in the home.
    std::vector<std::string> setAside() const { return setAsideIn(home_); }
    static std::vector<std::string> setAsideIn(const std::string& home) {
        std::vector<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(home))
            if (e.path().filename().string().find(".corrupt-") != std::string::npos) found.push_back(e.path());
        return found;
    }
    std::string settings() const { return home_ + "/Library/Preferences/org.quenmira.battery.plist"; }
    std::string timeSpent() const { return home_ + "/Library/PZSDKTimeSpent.json"; }
    // When the settings say the application first started, as a peer reads
    // them (seconds since 1970; 0 when they cannot be read).
    double firstInit() {
        return std::atof(qmtest::run({"python3", "-c",
                                      "import plistlib, sys; "
                                      "print(plistlib.load(open(sys.argv[1], 'rb'))['TLYFirstInitTimeStamp'].timestamp())",
                                      settings()})
                             .out.c_str());
    }

    // The sessions the time spent counts; -1 when it cannot be read.
    int sessions() const {
        const std::string text = qmtest::readAll(timeSpent());
        const size_t at = text.find("\"numSessions\":");
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 14);
    }
    // Many sessions counted already, as a long-used home has.
    // Two launches leave the settings with their first-launch time (in
    // `first`) and a time spent of many sessions: what a passing failure must keep.
    void useTheHome(double* first) {
        ASSERT_EQ(launch(), 0) << log_;
        ASSERT_EQ(launch(), 0) << log_;
        *first = firstInit();
        ASSERT_GT(*first, 0) << qmtest::readAll(settings());
        countManySessions();
    }
    void countManySessions() const {
        std::string text = qmtest::readAll(timeSpent());
        const size_t at = text.find("\"numSessions\":");
        ASSERT_NE(at, std::string::npos) << text;
        const size_t end = text.find_first_of(",}", at);
        text.replace(at, end - at, "\"numSessions\":57");
        std::ofstream(timeSpent(), std::ios::binary | std::ios::trunc) << text;
    }

    std::string crashFolder() const { return home_ + "/Library/Caches/net.pelkorapp.sdk.ios"; }
    // The crash manager's pending reports (names of digits), with their bytes.
    std::map<std::string, std::string> pending() const {
        std::map<std::string, std::string> found;
        for (const auto& e : fs::directory_iterator(crashFolder())) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos) found[name] = qmtest::readAll(e.path());
        }
        return found;
    }
    // A running application crashed, and its report taken in by the next
    // launch. On a fresh home: the settings hold the health default once
    // crashes are caught.
    void crashOnce() {
        std::vector<std::string> args = asUser_;
        args.insert(args.end(), {app_, "--home", home_, "--battery", "0.5", "--headless"});
        const std::string output = out_.file("crashed.txt");
        const pid_t pid = qmtest::spawnLogged(args, other_.environment(qmtest::headlessEnvironment()), output);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(qmtest::waitUntil([&] {
            return qmtest::launchIsUnderWay(pid) && qmtest::readAll(settings()).find("healthPercent") != std::string::npos;
        })) << qmtest::readAll(output);
        ASSERT_EQ(::kill(pid, SIGSEGV), 0);
        qmtest::waitExit(pid, 60);
        ASSERT_EQ(launch(), 0) << log_;
        ASSERT_EQ(pending().size(), 1u) << log_;
    }

    qmtest::OtherUser other_;
    qmtest::TempDir base_{qmtest::TempDir::kUnderTmp}, out_;
    std::string app_, home_, log_;
    std::vector<std::string> asUser_;
    int runs_ = 0;
};

}  // namespace

TEST_F(PassingFailures, SettingsAndTimeSpentThatCannotBeReadAreLeftAsTheyAreAndReadLater) {
    double first = 0;
    ASSERT_NO_FATAL_FAILURE(useTheHome(&first));
    const std::string keptSettings = qmtest::readAll(settings()), keptTime = qmtest::readAll(timeSpent());
    // Left by root with no permission for anyone else.
    for (const std::string& file : {settings(), timeSpent()}) {
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
        }
        ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    }
    ASSERT_EQ(launch(), 0) << log_;
    // One line for each, saying why.
    for (const std::string& file : {settings(), timeSpent()}) {
        int naming = 0;
        for (const auto& message : messages(log_)) naming += message.find(file) != std::string::npos;
        EXPECT_EQ(naming, 1) << file << "\n" << log_;
    }
    EXPECT_EQ(qmtest::occurrences(log_, ": Permission denied"), 2) << log_;
    EXPECT_EQ(qmtest::occurrences(log_, "it is left as it is"), 2) << log_;
    EXPECT_EQ(setAside(), std::vector<std::string>{}) << log_;

    // Readable again, each the very file left there (its mode, owner and
    // inode as the test set them) with its bytes kept; the next launch goes
    // on from what was kept.
    const std::map<std::string, std::string> kept = {{settings(), keptSettings}, {timeSpent(), keptTime}};
    for (const auto& [file, bytes] : kept) {
        struct stat before {};
        ASSERT_EQ(::lstat(file.c_str(), &before), 0) << file;
        EXPECT_EQ(before.st_mode & 07777, 0u) << file;
        EXPECT_EQ(before.st_uid, geteuid() == 0 ? 0u : geteuid()) << file;
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        struct stat after {};
        ASSERT_EQ(::lstat(file.c_str(), &after), 0) << file;
        EXPECT_EQ(after.st_ino, before.st_ino) << file;
        EXPECT_EQ(qmtest::readAll(file), bytes) << file;
    }
    ASSERT_EQ(launch(), 0) << log_;
    EXPECT_NEAR(firstInit(), first, 1e-3);
    EXPECT_GE(sessions(), 57) << qmtest::readAll(timeSpent());
    EXPECT_EQ(setAside(), std::vector<std::string>{}) << log_;
}

// Short of descriptors, a launch gets as far as it can: it sets nothing
// aside, loses neither settings nor time spent, and says each failure once.
TEST_F(PassingFailures, ALaunchShortOfDescriptorsSaysEachFailureOnceAndLosesNothing) {
    double first = 0;
    ASSERT_NO_FATAL_FAILURE(useTheHome(&first));
    for (int limit = 5; limit <= 14; ++limit) {
        SCOPED_TRACE("ulimit -n " + std::to_string(limit));
        const int status = launch({"sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\""});
        const std::string shortLog = log_;
        std::map<std::string, int> seen;
        for (const auto& message : messages(shortLog)) EXPECT_EQ(++seen[message], 1) << message << "\n" << shortLog;
        // A launch that could not do its work says why.
        if (status != 0 || !fs::exists(base_.file("shots/" + std::to_string(runs_) + ".png"))) {
            EXPECT_NE(shortLog, "") << status;
        }
        EXPECT_EQ(setAside(), std::vector<std::string>{}) << shortLog;
        ASSERT_EQ(launch(), 0) << log_;
        EXPECT_NEAR(firstInit(), first, 1e-3) << shortLog;
        EXPECT_GE(sessions(), 57) << shortLog << qmtest::readAll(timeSpent());
    }
}

// A store or the keychain that may not be opened is left byte for byte, with
// one line naming it and saying why, however many calls fail on it.
TEST_F(PassingFailures, AStoreOrKeychainThatMayNotBeOpenedIsSaidOnceAndLeftAsItIs) {
    ASSERT_EQ(launch(), 0) << log_;
    ASSERT_EQ(launch(), 0) << log_;
    for (const char* name : {"tallymark-v2.sql", "tallymark-v3.sql", "tallymark-aux-v4.sql", "Keychains/keychain.db"}) {
        SCOPED_TRACE(name);
        const std::string file = home_ + "/Library/" + std::string(name);
        ASSERT_TRUE(fs::exists(file));
        const std::string kept = qmtest::readAll(file);
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
        }
        ASSERT_EQ(::chmod(file.c_str(), 0), 0);
        EXPECT_EQ(launch(), 0) << log_;
        std::vector<std::string> naming;
        for (const auto& message : messages(log_))
            if (message.find(file) != std::string::npos) naming.push_back(message);
        ASSERT_EQ(naming.size(), 1u) << log_;
        // Why: it may not be read, or (the analytics store's) its mode may not be changed back.
        EXPECT_TRUE(naming[0].find("Permission denied") != std::string::npos ||
                    naming[0].find("Operation not permitted") != std::string::npos)
            << naming[0];
        EXPECT_EQ(setAside(), std::vector<std::string>{}) << log_;
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        EXPECT_EQ(qmtest::readAll(file), kept);
    }
}

// A read that fails (EIO) at any one point of a launch is no damage: no
// store or keychain is set aside, and no stored hit leaves the live store.
TEST_F(PassingFailures, AReadThatFailsAnywhereInALaunchSetsNothingAsideAndKeepsEveryHit) {
    if (const std::string why = qmtest::failingReadUnavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(launch(), 0) << log_;
    ASSERT_EQ(launch(), 0) << log_;
    const auto hits = [](const std::string& home) {
        return std::atoi(qmtest::run({"python3", "-c",
                                      "import sqlite3, sys; print(sqlite3.connect(sys.argv[1])"
                                      ".execute(\"SELECT count(*) FROM TLYHit\").fetchone()[0])",
                                      home + "/Library/tallymark-v3.sql"},
                                     qmtest::RunOptions().mergingErrors())
                             .out.c_str());
    };
    const int stored = hits(home_);
    ASSERT_GT(stored, 0);
    // Each launch on a copy of the used home, its owner kept; a few at a time.
    const auto copyOfHome = [&](const std::string& to) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        const pid_t pid = qmtest::spawnLogged({"cp", "-a", home_, to}, qmtest::headlessEnvironment(), "/dev/null");
        return pid > 0 && qmtest::waitExit(pid, 60) == 0;
    };
    constexpr int kAtOnce = 4;
    bool readsLeft = true;
    int n = 1;
    for (; readsLeft; n += kAtOnce) {
        std::vector<pid_t> pids;
        for (int i = 0; i < kAtOnce; ++i) {
            const std::string at = std::to_string(i);
            ASSERT_TRUE(copyOfHome(base_.file("home" + at)));
            fs::remove(base_.file("shots/trace" + at));
            pids.push_back(start(base_.file("home" + at),
                                 qmtest::withFailingRead(n + i, base_.file("shots/trace" + at)),
                                 out_.file("output" + at)));
            ASSERT_GT(pids.back(), 0);
        }
        for (int i = 0; i < kAtOnce; ++i) {
            const std::string at = std::to_string(i);
            SCOPED_TRACE("the read that fails: pread64 number " + std::to_string(n + i) + " of each thread");
            qmtest::waitExit(pids[size_t(i)], 120);
            const std::string log = qmtest::readAll(out_.file("output" + at));
            ASSERT_TRUE(fs::exists(base_.file("shots/trace" + at))) << log;
            if (!qmtest::aReadFailed(base_.file("shots/trace" + at))) {
                readsLeft = false;
                continue;
            }
            EXPECT_EQ(setAsideIn(base_.file("home" + at)), std::vector<std::string>{}) << log;
            EXPECT_GE(hits(base_.file("home" + at)), stored) << log;
        }
    }
    EXPECT_GT(n, 10);  // reads failed all through the launch
}

// The crash manager's settings that may not be read stay as they are, with a
// line saying why, though handling the last run's report saves settings.
TEST_F(PassingFailures, CrashManagerSettingsThatMayNotBeReadAreLeftAsTheyAre) {
    ASSERT_EQ(launch(), 0) << log_;
    const std::string folder = home_ + "/Library/Caches/net.pelkorapp.sdk.ios";
    const std::string file = folder + "/PKRCrashManager.plist";
    ASSERT_TRUE(fs::is_directory(folder));
    const qmtest::Ran made = qmtest::run(
        {"python3", "-c",
         "import plistlib, sys; plistlib.dump({'PelkorSDKCrashApprovedReports': {sys.argv[2] + '/600000001': True}}, "
         "open(sys.argv[1], 'wb'), fmt=plistlib.FMT_BINARY)",
         file, folder},
        qmtest::RunOptions().mergingErrors());
    ASSERT_TRUE(made.ok()) << made.said();
    const std::string kept = qmtest::readAll(file);
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    // The last run's report: undecodable, so that handling it adds nothing but the save.
    const std::string report =
        home_ + "/Library/Caches/com.ovellalabs.crashreporter.data/org.quenmira.battery/live_report.ovcrash";
    ASSERT_TRUE(fs::is_directory(fs::path(report).parent_path()));
    std::ofstream(report, std::ios::binary) << "xyz";
    if (geteuid() == 0) {
        ASSERT_EQ(::chown(report.c_str(), kNobody, kNobody), 0);
    }
    EXPECT_EQ(launch(), 0) << log_;
    std::vector<std::string> naming;
    for (const auto& message : messages(log_))
        if (message.find(file) != std::string::npos) naming.push_back(message);
    ASSERT_EQ(naming.size(), 1u) << log_;
    EXPECT_NE(naming[0].find("Permission denied"), std::string::npos) << naming[0];
    EXPECT_EQ(setAside(), std::vector<std::string>{}) << log_;
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(qmtest::readAll(file), kept);
}

// Folders of the home swapped for links to folders outside while the
// application launches, over and over: a file beneath one that cannot be
// reached now is no damage and missing from nowhere. No setting, session
// count or pending report is lost, and nothing of ours is set aside (a link
// that stood in a folder's place may be).
TEST_F(PassingFailures, LaunchesWithFoldersSwappedForLinksLoseNothingAndSetNothingOfOursAside) {
    ASSERT_NO_FATAL_FAILURE(crashOnce());
    double first = 0;
    ASSERT_NO_FATAL_FAILURE(useTheHome(&first));
    const auto reports = pending();
    ASSERT_EQ(reports.size(), 1u);
    for (const std::string& folder : {home_ + "/Library/Preferences", crashFolder()}) {
        SCOPED_TRACE(folder);
        const std::string outside = base_.file("outside-" + fs::path(folder).filename().string());
        ASSERT_TRUE(fs::create_directory(outside));
        qmtest::FolderSwapper swapper(folder, outside);
        constexpr int kLaunches = 20;
        std::string logs;
        int ran = 0;
        for (int i = 0; i < kLaunches; ++i) {
            // Run, or refused at once (a folder of the sandbox that cannot serve now): never a crash or a hang.
            const int status = launch();
            EXPECT_TRUE(status == 0 || status == 1) << status << "\n" << log_;
            ran += status == 0;
            logs += log_;
        }
        swapper.stop();
        EXPECT_GT(swapper.swaps(), kLaunches);
        EXPECT_GT(ran, 0) << logs;
        ASSERT_TRUE(swapper.inPlace()) << logs;
        for (const auto& aside : setAside()) EXPECT_TRUE(fs::is_symlink(aside)) << aside << "\n" << logs;
        EXPECT_EQ(fs::directory_iterator(outside), fs::directory_iterator()) << logs;
        EXPECT_EQ(logs.find("they were set aside"), std::string::npos) << logs;
        EXPECT_EQ(logs.find("it was deleted"), std::string::npos) << logs;
        EXPECT_EQ(logs.find("moved it to"), std::string::npos) << logs;
        EXPECT_NEAR(firstInit(), first, 1e-3) << logs;
        EXPECT_GE(sessions(), 57) << logs;
        EXPECT_EQ(pending(), reports) << logs;
    }
}

// The crash reporter's folders, closed to the application (mode 0000, and
// not its own to open again): one line, saying why.
TEST_F(PassingFailures, ACrashReporterFolderThatCannotBeOpenedIsSaidOnceWithItsReason) {
    ASSERT_EQ(launch(), 0) << log_;
    const std::string data = home_ + "/Library/Caches/com.ovellalabs.crashreporter.data";
    for (const std::string& folder : {data, data + "/org.quenmira.battery", data + "/org.quenmira.battery/queued_reports"}) {
        SCOPED_TRACE(folder);
        ASSERT_TRUE(fs::is_directory(folder));
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
        }
        ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
        EXPECT_EQ(launch(), 0) << log_;
        // Its owner gives the folder its mode back without a word; another may not.
        EXPECT_EQ(qmtest::occurrences(log_, "\n"), geteuid() == 0 ? 2 : 1) << log_;
        EXPECT_EQ(log_.find("Exception handler could not be set"), std::string::npos) << log_;
        if (geteuid() == 0) {
            EXPECT_NE(log_.find("Could not enable crash reporter: " + folder +
                                " has mode 0000, and cannot be given 0755 (Operation not permitted)"),
                      std::string::npos)
                << log_;
            ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    }
}
