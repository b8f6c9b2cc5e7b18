// The built application on a sandbox whose files cannot be read for a passing
// reason (no permission, no descriptor left): that is no damage. Such a file
// stays byte for byte, nothing the launch writes replaces it, a line says
// why, once, and a later launch reads it as it was.
#include <gtest/gtest.h>
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
#include "tests/support/OtherUser.h"
#include "tests/support/ShellTools.h"

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
        std::vector<std::string> args = asUser_;
        args.insert(args.end(), prefix.begin(), prefix.end());
        args.insert(args.end(), {app_, "--home", home_, "--battery", "0.5", "--snapshot",
                                 base_.file("shots/" + std::to_string(++runs_) + ".png")});
        const std::string output = out_.file("output" + std::to_string(runs_) + ".txt");
        const pid_t pid = qmtest::spawnLogged(args, other_.environment(qmtest::headlessEnvironment()), output);
        const int status = pid > 0 ? qmtest::waitExit(pid, 90) : -1;
        log_ = qmtest::readAll(output);
        return status;
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
    std::vector<std::string> setAside() const {
        std::vector<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(home_))
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
    EXPECT_EQ(qmtest::readAll(settings()), keptSettings);
    EXPECT_EQ(qmtest::readAll(timeSpent()), keptTime);
    EXPECT_EQ(setAside(), std::vector<std::string>{}) << log_;

    // Readable again: the next launch goes on from what was kept.
    for (const std::string& file : {settings(), timeSpent()}) {
        if (geteuid() == 0) {
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
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
