#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Application.h"
#include "platform/ui/NotificationNames.h"
#include "social/bridge/PZSDKAppEvents.h"
#include "social/bridge/PZSDKApplicationDelegate.h"
#include "social/bridge/PZSDKTimeSpentData.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

namespace {

class TimeSpent : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-social-XXXXXX";
        home_ = mkdtemp(tmpl);
        pf::Sandbox::setHome(home_);
        clock_ = std::make_shared<pf::ManualClock>(1.7e9);
        pf::Clock::setCurrent(clock_);
        PZSDKTimeSpentData::resetShared();
    }
    void TearDown() override {
        PZSDKAppEvents::stopObservingLifeCycle();
        PZSDKTimeSpentData::resetShared();
        std::filesystem::remove_all(home_);
    }
    qmtest::GlobalStateGuard guard_;
    // A later launch: nothing in memory, only the file.
    PZSDKTimeSpentData& relaunch() {
        PZSDKTimeSpentData::resetShared();
        return PZSDKTimeSpentData::shared();
    }
    pf::Value saved() {
        auto text = pf::FileManager::readFile(PZSDKTimeSpentData::persistencePath());
        if (!text) return pf::Value();
        return pf::Value::fromJSON(*text).value_or(pf::Value());
    }
    std::string home_;
    std::shared_ptr<pf::ManualClock> clock_;
};

TEST_F(TimeSpent, FirstLaunchStartsTheFirstSessionAndSuspendWritesIt) {
    auto& data = PZSDKTimeSpentData::shared();
    data.restore(true);
    EXPECT_TRUE(data.isCurrentlyLoaded());
    EXPECT_EQ(data.numSessions(), 1);
    clock_->advance(42.5);
    data.suspend();
    EXPECT_FALSE(data.isCurrentlyLoaded());
    const pf::Value v = saved();
    ASSERT_TRUE(v.isDictionary());
    EXPECT_DOUBLE_EQ(v["secondsSpentInCurrentSession"].doubleValue(), 42.5);
    EXPECT_DOUBLE_EQ(v["lastSuspendTime"].doubleValue(), 1.7e9 + 42.5);
    EXPECT_EQ(v["numSessions"].intValue(), 1);
    EXPECT_EQ(v["numInterruptions"].intValue(), 0);
}

TEST_F(TimeSpent, ShortBreakAcrossLaunchesContinuesTheSessionAsAnInterruption) {
    auto& first = PZSDKTimeSpentData::shared();
    first.restore(true);
    clock_->advance(10);
    first.suspend();
    clock_->advance(30);  // within the session timeout
    auto& second = relaunch();
    second.restore(true);
    EXPECT_DOUBLE_EQ(second.secondsSpentInCurrentSession(), 10);
    EXPECT_EQ(second.numInterruptions(), 1);
    EXPECT_EQ(second.numSessions(), 1);
    clock_->advance(5);
    second.suspend();
    EXPECT_DOUBLE_EQ(saved()["secondsSpentInCurrentSession"].doubleValue(), 15);
}

TEST_F(TimeSpent, GlanceAwayIsNoInterruption) {
    auto& data = PZSDKTimeSpentData::shared();
    data.restore(true);
    data.suspend();
    clock_->advance(0.1);
    data.restore(true);
    EXPECT_EQ(data.numInterruptions(), 0);
}

TEST_F(TimeSpent, LongAbsenceOrClockSetBackStartsANewSession) {
    auto& data = PZSDKTimeSpentData::shared();
    data.restore(true);
    clock_->advance(20);
    data.suspend();
    clock_->advance(PZSDKTimeSpentData::kSessionTimeout + 1);
    data.restore(true);
    EXPECT_EQ(data.numSessions(), 2);
    EXPECT_DOUBLE_EQ(data.secondsSpentInCurrentSession(), 0);
    clock_->advance(3);
    data.suspend();
    clock_->setNow(1.6e9);  // before the suspension
    data.restore(true);
    EXPECT_EQ(data.numSessions(), 3);
    EXPECT_DOUBLE_EQ(data.secondsSpentInCurrentSession(), 0);
}

TEST_F(TimeSpent, UnreadableFileStartsAFreshSession) {
    for (const char* junk : {"", "{not json", "[1,2]", "{\"secondsSpentInCurrentSession\":\"x\",\"numSessions\":-4}"}) {
        std::ofstream(PZSDKTimeSpentData::persistencePath()) << junk;
        auto& data = relaunch();
        data.restore(true);
        EXPECT_GE(data.numSessions(), 1) << junk;
        EXPECT_GE(data.secondsSpentInCurrentSession(), 0) << junk;
    }
}

TEST_F(TimeSpent, AnUnreadableFileIsSetAsideWithALineSayingWhere) {
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& line) { lines.push_back(line); });
    const std::string path = PZSDKTimeSpentData::persistencePath();
    for (int n = 1; n <= 2; ++n) {
        std::ofstream(path) << "{not json " << n;
        relaunch().restore(true);
        const std::string aside = path + ".corrupt-" + std::to_string(n);
        EXPECT_EQ(pf::FileManager::readFile(aside).value_or(""), "{not json " + std::to_string(n));
        ASSERT_EQ(lines.size(), size_t(n));
        EXPECT_NE(lines.back().find("moved it to " + aside), std::string::npos) << lines.back();
        EXPECT_FALSE(pf::FileManager::exists(path));
    }
    pf::setLogSink(nullptr);
}

// A link (whose target must not be written through), a FIFO (never waited
// on), a socket (which cannot even be opened) or a file larger than the
// writer makes is damage: set aside, one line, and a first session.
TEST_F(TimeSpent, ALinkFIFOSocketOrOversizedFileIsSetAsideWithALine) {
    const std::string path = PZSDKTimeSpentData::persistencePath();
    const std::string target = home_ + "/elsewhere.json";
    std::ofstream(target) << "{\"numSessions\":7}";
    const std::function<void()> damage[] = {
        [&] { ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0); },
        [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
        [&] {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            ASSERT_LT(path.size(), sizeof address.sun_path);
            path.copy(address.sun_path, path.size());
            ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
            close(fd);  // the socket stays in the folder
        },
        [&] {
            std::ofstream(path) << "{\"numSessions\":7}";
            ASSERT_EQ(truncate(path.c_str(), PZSDKTimeSpentData::kMaxFileSize + 1), 0);
        },
    };
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& line) { lines.push_back(line); });
    for (int n = 1; n <= int(std::size(damage)); ++n) {
        damage[n - 1]();
        auto& data = relaunch();
        data.restore(true);
        EXPECT_EQ(data.numSessions(), 1) << n;
        data.suspend();
        const std::string aside = path + ".corrupt-" + std::to_string(n);
        struct stat st {};
        EXPECT_EQ(lstat(aside.c_str(), &st), 0) << n;
        ASSERT_EQ(lines.size(), size_t(n));
        EXPECT_NE(lines.back().find("Cannot read the time spent in " + path), std::string::npos) << lines.back();
        EXPECT_NE(lines.back().find("moved it to " + aside), std::string::npos) << lines.back();
        EXPECT_EQ(saved()["numSessions"].intValue(), 1) << n;
        ASSERT_TRUE(pf::FileManager::remove(path));
    }
    pf::setLogSink(nullptr);
    EXPECT_EQ(pf::FileManager::readFile(target).value_or(""), "{\"numSessions\":7}");
}

// Time spent that may not be read is no damage: it stays byte for byte
// however many sessions pass (said once), and a later launch counts on from
// it. Root reads any file: as root the child reads as another user, for whom
// the sandbox is closed too.
TEST_F(TimeSpent, ATimeSpentFileThatCannotBeReadNowIsLeftAsItIsAndReadLater) {
    const std::string path = PZSDKTimeSpentData::persistencePath();
    std::ofstream(path) << "{\"numSessions\":57,\"lastSuspendTime\":1}";
    const std::string bytes = pf::FileManager::readFile(path).value_or("");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(2);
        std::vector<std::string> lines;
        pf::setLogSink([&](const std::string& line) { lines.push_back(line); });
        auto& data = relaunch();
        for (int i = 0; i < 3; ++i) {
            data.restore(true);
            data.suspend();
        }
        pf::setLogSink(nullptr);
        _exit(lines.size() == 1 && lines[0].find("Cannot read the time spent in " + path) != std::string::npos &&
                      lines[0].find("Permission denied); it is left as it is") != std::string::npos
                  ? 0
                  : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(qmtest::waitExit(child, 30), 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(pf::FileManager::readFile(path).value_or(""), bytes);
    EXPECT_TRUE(pf::FileManager::setAsideCopies(path).empty());
    auto& data = relaunch();
    data.restore(true);
    EXPECT_EQ(data.numSessions(), 58);
}

// The home's Library swapped for a link while the time spent is read: it
// cannot be read now, which is no damage, and the suspend after the folder is
// back leaves the file as it was.
TEST_F(TimeSpent, ATimeSpentFileBeneathAFolderSwappedForALinkIsLeftAsItIs) {
    const std::string path = PZSDKTimeSpentData::persistencePath();
    std::ofstream(path) << "{\"numSessions\":57,\"lastSuspendTime\":1}";
    const std::string bytes = pf::FileManager::readFile(path).value_or("");
    const std::string library = pf::Sandbox::library(), outside = home_ + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    ASSERT_EQ(rename(library.c_str(), (library + ".real").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), library.c_str()), 0);
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& line) { lines.push_back(line); });
    auto& data = relaunch();
    data.restore(true);
    ASSERT_EQ(unlink(library.c_str()), 0);
    ASSERT_EQ(rename((library + ".real").c_str(), library.c_str()), 0);
    clock_->advance(10);
    data.suspend();
    pf::setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Cannot read the time spent in " + path +
                            " (" + path + ": a folder on its way is not a folder now"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("; it is left as it is"), std::string::npos) << lines[0];
    EXPECT_EQ(pf::FileManager::readFile(path).value_or(""), bytes);
    EXPECT_TRUE(pf::FileManager::setAsideCopies(path).empty());
    EXPECT_TRUE(std::filesystem::is_empty(outside));
    auto& again = relaunch();
    again.restore(true);
    EXPECT_EQ(again.numSessions(), 58);
}

// Counts too large for the counters stop at the largest one rather than
// wrap to negative ones, read back or counted on.
TEST_F(TimeSpent, CountsStayWithinTheirRange) {
    const double now = clock_->now();
    for (const double away : {10.0, PZSDKTimeSpentData::kSessionTimeout + 1}) {
        std::ofstream(PZSDKTimeSpentData::persistencePath())
            << "{\"numInterruptions\":1e300,\"numSessions\":1e300,\"lastSuspendTime\":" << std::fixed << now - away
            << "}";
        auto& data = relaunch();
        data.restore(true);
        EXPECT_EQ(data.numSessions(), std::numeric_limits<int>::max()) << away;
        EXPECT_EQ(data.numInterruptions(), away < 60 ? std::numeric_limits<int>::max() : 0) << away;
    }
}

TEST_F(TimeSpent, RestoreTwiceKeepsTheFirstStart) {
    auto& data = PZSDKTimeSpentData::shared();
    data.restore(true);
    clock_->advance(8);
    data.restore(true);  // still counting since the first
    clock_->advance(2);
    data.suspend();
    EXPECT_DOUBLE_EQ(data.secondsSpentInCurrentSession(), 10);
    data.suspend();  // nothing loaded: nothing changes
    EXPECT_DOUBLE_EQ(saved()["secondsSpentInCurrentSession"].doubleValue(), 10);
}

TEST_F(TimeSpent, OpenURLRecordsSourceKeptAcrossLaunchesAndAnswersNo) {
    ui::Application app;
    auto& hook = PZSDKApplicationDelegate::sharedInstance();
    PZSDKTimeSpentData::shared().restore(true);
    EXPECT_FALSE(hook.openURL(app, "quenmira://battery?x=1", pf::Value("org.example.mail"), pf::Value()));
    EXPECT_EQ(PZSDKTimeSpentData::shared().sourceApplication(), "org.example.mail");
    EXPECT_EQ(PZSDKTimeSpentData::shared().url(), "quenmira://battery?x=1");
    PZSDKTimeSpentData::shared().suspend();
    auto& next = relaunch();
    next.restore(true);
    EXPECT_EQ(next.sourceApplication(), "org.example.mail");
    EXPECT_EQ(next.url(), "quenmira://battery?x=1");
    // No source at all is fine too.
    EXPECT_FALSE(hook.openURL(app, "quenmira://other", pf::Value(), pf::Value()));
    EXPECT_EQ(next.sourceApplication(), "");
}

TEST_F(TimeSpent, OpenURLWithANonStringSourceRaisesInvalidArgument) {
    ui::Application app;
    try {
        PZSDKApplicationDelegate::sharedInstance().openURL(app, "quenmira://x", pf::Value(int64_t(7)), pf::Value());
        FAIL() << "no exception";
    } catch (const pf::Exception& e) {
        EXPECT_EQ(e.name(), pf::kInvalidArgumentException);
    }
    EXPECT_EQ(PZSDKTimeSpentData::shared().url(), "");  // nothing recorded
}

TEST_F(TimeSpent, LaunchIsNeverHandledButItsURLIsRecorded) {
    ui::Application app;
    auto& hook = PZSDKApplicationDelegate::sharedInstance();
    pf::Value::Dictionary options;
    options[ui::kApplicationLaunchOptionsURLKey] = pf::Value("quenmira://launch");
    options[ui::kApplicationLaunchOptionsSourceApplicationKey] = pf::Value("org.example.web");
    EXPECT_FALSE(hook.didFinishLaunchingWithOptions(app, pf::Value(options)));
    EXPECT_FALSE(hook.didFinishLaunchingWithOptions(app, pf::Value()));
    pf::NotificationCenter::defaultCenter().post(ui::kApplicationDidFinishLaunchingNotification, &app,
                                                 pf::Value(options));
    EXPECT_EQ(hook.launchURL(), "quenmira://launch");
}

TEST_F(TimeSpent, SharedInstanceIsOneEvenFromManyThreads) {
    std::vector<PZSDKApplicationDelegate*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &PZSDKApplicationDelegate::sharedInstance(); });
    for (auto& t : threads) t.join();
    for (auto* p : seen) EXPECT_EQ(p, &PZSDKApplicationDelegate::sharedInstance());
}

TEST_F(TimeSpent, ActivateAppResumesAndBackgroundSuspends) {
    PZSDKAppEvents::activateApp();
    EXPECT_TRUE(PZSDKTimeSpentData::shared().isCurrentlyLoaded());
    clock_->advance(4);
    pf::NotificationCenter::defaultCenter().post(ui::kApplicationDidEnterBackgroundNotification);
    EXPECT_FALSE(PZSDKTimeSpentData::shared().isCurrentlyLoaded());
    EXPECT_DOUBLE_EQ(saved()["secondsSpentInCurrentSession"].doubleValue(), 4);
    PZSDKAppEvents::activateApp();
    clock_->advance(1);
    pf::NotificationCenter::defaultCenter().post(ui::kApplicationWillTerminateNotification);
    EXPECT_DOUBLE_EQ(saved()["secondsSpentInCurrentSession"].doubleValue(), 5);
}

TEST_F(TimeSpent, ActivateAppOffTheMainThreadDoesNothing) {
    std::thread([] { PZSDKAppEvents::activateApp(); }).join();
    EXPECT_FALSE(PZSDKTimeSpentData::shared().isCurrentlyLoaded());
}

// What a save killed half-way left beside the file goes at the next restore;
// others' files of the same shape stay.
TEST_F(TimeSpent, ALeftoverOfAKilledSaveIsRemovedAtTheNextRestore) {
    const std::string library = pf::Sandbox::library();
    std::filesystem::create_directories(library);
    const std::string leftover = PZSDKTimeSpentData::persistencePath() + ".tmp-Ab12Cd";
    const std::string other = library + "/other.json.tmp-Ab12Cd";
    for (const auto& path : {leftover, other}) std::ofstream(path) << "{";
    PZSDKTimeSpentData::shared().restore(true);
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_TRUE(std::filesystem::exists(other));
}

}  // namespace
