// The clocks' three time scales, and what a fresh process chooses on its own:
// the sandbox home from the environment, the main bundle from its executable;
// files replaced whole or not at all.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Value.h"
#include "tests/support/ChildTest.h"
#include "tests/support/OtherUser.h"

using namespace platform::foundation;

TEST(Clock, SystemClockCountsFrom1970AndFrom2001) {
    EXPECT_EQ(formatDate(kTimeIntervalSince1970ToReferenceDate, "yyyy-MM-dd HH:mm:ss"), "2001-01-01 00:00:00");
    SystemClock clock;
    const double before = double(std::time(nullptr));
    const double now = clock.now();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
    const double since2001 = clock.sinceReferenceDate();
    EXPECT_NEAR(since2001, clock.now() - 978307200.0, 1.0);
    // The process clock is the system clock unless a test sets another.
    Clock::setCurrent(nullptr);
    EXPECT_FALSE(Clock::current().isManual());
    EXPECT_NEAR(Clock::current().now(), clock.now(), 1.0);
}

TEST(Clock, MonotonicTimeNeverGoesBack) {
    SystemClock clock;
    double last = clock.monotonic();
    for (int i = 0; i < 10000; ++i) {
        const double t = clock.monotonic();
        ASSERT_GE(t, last);
        last = t;
    }

    ManualClock manual(1000.0);
    EXPECT_DOUBLE_EQ(manual.sinceReferenceDate(), 1000.0 - kTimeIntervalSince1970ToReferenceDate);
    const double m0 = manual.monotonic();
    manual.advance(2.5);
    EXPECT_DOUBLE_EQ(manual.now(), 1002.5);
    EXPECT_DOUBLE_EQ(manual.monotonic(), m0 + 2.5);
    // Setting the wall clock back (the user changing the date) leaves monotonic time alone.
    manual.setNow(10.0);
    EXPECT_DOUBLE_EQ(manual.now(), 10.0);
    EXPECT_DOUBLE_EQ(manual.monotonic(), m0 + 2.5);
    manual.advanceTo(20.0);
    EXPECT_DOUBLE_EQ(manual.monotonic(), m0 + 12.5);
    EXPECT_THROW(manual.advance(-1), std::invalid_argument);
    EXPECT_THROW(manual.advanceTo(19.0), std::invalid_argument);
    EXPECT_DOUBLE_EQ(manual.now(), 20.0);
}

// Runs in a process of its own, started by the tests below, so that nothing
// has chosen the home or the main bundle yet.
QM_CHILD_TEST(FreshProcess, Role) {
    const std::string role = getenv("QM_FRESH_ROLE") ? getenv("QM_FRESH_ROLE") : "";
    if (role == "home") {
        printf("home=%s\n", Sandbox::home().c_str());
        EXPECT_TRUE(FileManager::exists(Sandbox::preferences()));
        EXPECT_TRUE(FileManager::exists(Sandbox::documents()));
        EXPECT_EQ(FileManager::attributes(Sandbox::keychains())->mode, 0700u);
    } else if (role == "default home") {
        printf("default home=%s\n", Sandbox::defaultHome().c_str());
    } else if (role == "claim") {
        Error error;
        const bool claimed = Sandbox::setHome(getenv("QM_CLAIM_HOME")) && Sandbox::claim(&error);
        printf("claimed=%d %s\n", claimed, error.localizedDescription().c_str());
    } else if (role == "bundle") {
        printf("bundle=%s\n", Bundle::main().bundlePath().c_str());
    } else {
        FAIL() << "no role";
    }
}

namespace {

// This program's FreshProcess.Role run through env(1) with `settings` (its
// "NAME=value" and "-u NAME" words), then `command` before the program.
foundation_test::Run runFresh(std::vector<std::string> settings, const std::vector<std::string>& command = {},
                              std::string program = "/proc/" + std::to_string(getpid()) + "/exe") {
    settings.insert(settings.begin(), "env");
    settings.insert(settings.end(), command.begin(), command.end());
    settings.insert(settings.end(), {program, "--gtest_filter=FreshProcess.Role"});
    return foundation_test::runCommand(settings);
}

}  // namespace

TEST(Sandbox, HomeComesFromXdgDataHomeThenHome) {
    foundation_test::TempDir dir;
    auto r = runFresh({"QM_FRESH_ROLE=home", "XDG_DATA_HOME=" + dir.path + "/data", "HOME=" + dir.path + "/user"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("home=" + dir.path + "/data/quenmira\n"), std::string::npos) << r.output;
    EXPECT_TRUE(FileManager::exists(dir.path + "/data/quenmira/Library/Caches"));

    // An empty XDG_DATA_HOME counts as unset.
    r = runFresh({"QM_FRESH_ROLE=home", "XDG_DATA_HOME=", "HOME=" + dir.path + "/user"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("home=" + dir.path + "/user/.local/share/quenmira\n"), std::string::npos) << r.output;
    EXPECT_TRUE(FileManager::exists(dir.path + "/user/.local/share/quenmira/tmp"));
}

// Without HOME the user's home is the password database's, never a folder
// every user of the machine may make (/tmp); a relative XDG_DATA_HOME or HOME
// would name another folder from every working folder, and is not used.
TEST(Sandbox, WithoutHomeTheHomeIsThePasswordDatabasesAndRelativeFoldersAreIgnored) {
    const struct passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string own = std::string(user->pw_dir) + "/.local/share/quenmira";
    foundation_test::TempDir dir;
    for (const std::vector<std::string>& env : std::vector<std::vector<std::string>>{
             {"-u", "HOME", "-u", "XDG_DATA_HOME"},
             {"-u", "HOME", "XDG_DATA_HOME=relative/data"},
             {"-u", "XDG_DATA_HOME", "HOME=relative"},
             {"XDG_DATA_HOME=data", "HOME="}}) {
        SCOPED_TRACE(env[0] + " " + env[1]);
        std::vector<std::string> settings = env;
        settings.push_back("QM_FRESH_ROLE=default home");
        const auto r = runFresh(settings);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("default home=" + own + "\n"), std::string::npos) << r.output;
    }
    const auto r = runFresh({"XDG_DATA_HOME=relative/data", "HOME=" + dir.path, "QM_FRESH_ROLE=default home"});
    EXPECT_NE(r.output.find("default home=" + dir.path + "/.local/share/quenmira\n"), std::string::npos) << r.output;
}

TEST(Bundle, MainBundleIsTheExecutablesFolder) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    const std::string folder = FileManager::deletingLastPathComponent(std::string(exe, size_t(n)));
    auto r = runFresh({"QM_FRESH_ROLE=bundle"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("bundle=" + folder + "\n"), std::string::npos) << r.output;
}

TEST(FileManager, AFailedAtomicWriteLeavesNoTraceAndAReaderNeverSeesHalfAFile) {
    foundation_test::TempDir dir;
    Error error;
    // The target is a folder with something in it: the final rename fails.
    ASSERT_TRUE(FileManager::createDirectory(dir.file("busy/inner"), true));
    EXPECT_FALSE(Value(Value::Dictionary{{"k", Value(1)}}).writeBinaryPropertyListFile(dir.file("busy"), &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(FileManager::contentsOfDirectory(dir.path), (std::vector<std::string>{"busy"}));

    // Readers racing a writer see the old or the new file, whole.
    const std::string path = dir.file("prefs.plist");
    const std::string small(100, 'a'), large(1 << 20, 'b');
    ASSERT_TRUE(FileManager::writeFileAtomically(path, small));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto text = FileManager::readFile(path);
            if (!text || (*text != small && *text != large)) ++torn;
        }
    });
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(FileManager::writeFileAtomically(path, i % 2 ? small : large));
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(FileManager::contentsOfDirectory(dir.path), (std::vector<std::string>{"busy", "prefs.plist"}));
}

// Whatever the user's environment, a test program's default sandbox lies in a
// private folder of its own, not in the user's data home.
TEST(Sandbox, EveryTestProgramHasAHomeOfItsOwn) {
    const char* home = getenv("HOME");
    const char* data = getenv("XDG_DATA_HOME");
    ASSERT_TRUE(home && data);
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    EXPECT_NE(std::string(home), std::string(user->pw_dir));
    struct stat st {};
    ASSERT_EQ(::stat(home, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(std::string(data).rfind(std::string(home) + "/", 0), 0u) << data;
    auto r = runFresh({"QM_FRESH_ROLE=home"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("home=" + std::string(data) + "/quenmira\n"), std::string::npos) << r.output;
}

// The user's own lock file with every permission taken away gets its mode
// back, said once, and the launch claims the home. Root may open any file, so
// as root the claim runs as another user who owns the home.
TEST(Sandbox, ALockFileItsOwnerMayNotOpenIsGivenItsModeBack) {
    foundation_test::TempDir dir;
    const std::string lock = dir.path + "/Library/" + Sandbox::kLockFileName;
    ASSERT_TRUE(FileManager::createDirectory(dir.path + "/Library", true, 0700));
    ASSERT_TRUE(FileManager::writeFileAtomically(lock, std::string("4242\n"), nullptr, 0));
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string program(exe, size_t(n));
    std::vector<std::string> settings = {"QM_FRESH_ROLE=claim", "QM_CLAIM_HOME=" + dir.path}, asUser;
    qmtest::OtherUser other;
    if (geteuid() == 0) {
        if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
        for (const std::string& p : {dir.path, dir.path + "/Library", lock})
            ASSERT_EQ(lchown(p.c_str(), qmtest::OtherUser::kUid, qmtest::OtherUser::kUid), 0) << p;
        program = other.reachableCopy(program);
        ASSERT_FALSE(program.empty());
        for (const std::string& setting : other.sanitizerEnvironment()) settings.push_back(setting);
        asUser = qmtest::OtherUser::prefix();
    }
    const auto r = runFresh(settings, asUser, program);
    EXPECT_NE(r.output.find("claimed=1"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("The lock file " + lock +
                            " could not be opened (mode 0000); its mode was set back to 0600."),
              std::string::npos)
        << r.output;
    EXPECT_EQ(FileManager::attributes(lock)->mode, 0600u);
    EXPECT_FALSE(FileManager::exists(lock + ".corrupt-1"));
}

TEST(Sandbox, OneProcessHoldsAHomeAtATime) {
    foundation_test::TempDir dir;
    const std::string lock = dir.path + "/Library/" + Sandbox::kLockFileName;
    ASSERT_TRUE(Sandbox::setHome(dir.path));
    ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);  // not waited on: set aside
    Error error;
    ASSERT_TRUE(Sandbox::claim(&error)) << error.localizedDescription();
    EXPECT_TRUE(FileManager::exists(lock + ".corrupt-1"));
    auto r = runFresh({"QM_FRESH_ROLE=claim", "QM_CLAIM_HOME=" + dir.path});
    EXPECT_NE(r.output.find("claimed=0 the sandbox " + dir.path +
                            " is in use by another running application (process " + std::to_string(getpid()) + ")"),
              std::string::npos)
        << r.output;
    // Another home lets this one go.
    foundation_test::TempDir other;
    ASSERT_TRUE(Sandbox::setHome(other.path));
    ASSERT_TRUE(Sandbox::claim());
    r = runFresh({"QM_FRESH_ROLE=claim", "QM_CLAIM_HOME=" + dir.path});
    EXPECT_NE(r.output.find("claimed=1"), std::string::npos) << r.output;
    Sandbox::setHome("");
}

// A second name on the lock of a home held by a running process lets no
// second process in: the lock is tried on the file that stands there. A
// process that finds its lock with a second name and nobody holding it runs,
// on a copy of its own locked before it takes the name.
TEST(Sandbox, ALockWithASecondNameKeepsASecondProcessOut) {
    foundation_test::TempDir dir, outside;
    const std::string lock = dir.path + "/Library/" + Sandbox::kLockFileName;
    ASSERT_TRUE(Sandbox::setHome(dir.path));
    Error error;
    ASSERT_TRUE(Sandbox::claim(&error)) << error.localizedDescription();
    const std::string other = outside.file("backup");
    ASSERT_EQ(link(lock.c_str(), other.c_str()), 0);
    auto r = runFresh({"QM_FRESH_ROLE=claim", "QM_CLAIM_HOME=" + dir.path});
    EXPECT_NE(r.output.find("claimed=0 the sandbox " + dir.path +
                            " is in use by another running application (process " + std::to_string(getpid()) + ")"),
              std::string::npos)
        << r.output;
    // Let go, the home is claimed by the next, which gives the lock a file of its own.
    foundation_test::TempDir elsewhere;
    ASSERT_TRUE(Sandbox::setHome(elsewhere.path));
    ASSERT_TRUE(Sandbox::claim());
    const std::string kept = FileManager::readFile(other).value_or("<none>");
    r = runFresh({"QM_FRESH_ROLE=claim", "QM_CLAIM_HOME=" + dir.path});
    EXPECT_NE(r.output.find("claimed=1"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(lock + " had a second name elsewhere; it now has a copy of its own"), std::string::npos)
        << r.output;
    EXPECT_EQ(FileManager::readFile(other).value_or("<none>"), kept);
    struct stat st {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_FALSE(FileManager::isPresent(lock + ".corrupt-1"));
    Sandbox::setHome("");
}
