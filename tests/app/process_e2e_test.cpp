// The built application as a process among others: a display that is not
// there, a second launch on the same sandbox, a FIFO where a database's
// journal belongs, a full disk, an output whose reader goes away, a hang-up it
// was told to ignore.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/ui/app_test_support.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/ShellTools.h"

namespace {

namespace fs = std::filesystem;

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

class Process : public ::testing::Test {
protected:
    struct Child {
        pid_t pid = -1;
        std::string output;
    };
    Child start(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.end(), {"--home", home_.path()});
        if (args.front() != "nohup" && args.front().front() != '/') args.insert(args.begin(), kApp);
        Child c;
        c.output = out_.file("output" + std::to_string(++runs_) + ".txt");
        c.pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment(env), c.output);
        return c;
    }
    // Waits (bounded) until the child's output shows `what`.
    static bool waitForLaunch(const Child& c) {
        for (int i = 0; i < 9000; ++i) {
            if (qmtest::launchIsUnderWay(c.pid)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int finish(Child& c) {
        const int status = qmtest::waitExit(c.pid, 60);
        log_ = qmtest::readAll(c.output);
        return status;
    }
    // A second application on the sandbox `first` holds: refused, in one line
    // that names the first.
    void expectRefusedWhileRunning(const Child& first) {
        Child second = start({"--headless", "--battery", "0.5"});
        EXPECT_EQ(finish(second), 1) << log_;
        EXPECT_EQ(qmtest::occurrences(log_, "\n"), 1) << log_;
        EXPECT_NE(log_.find("is in use by another running application (process " + std::to_string(first.pid) + ")"),
                  std::string::npos)
            << log_;
    }
    std::vector<std::string> setAside() const {
        std::vector<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(home_.path()))
            if (e.path().filename().string().find(".corrupt-") != std::string::npos) found.push_back(e.path());
        return found;
    }
    // The default snapshot goes beside the bundle: a bundle of the test's own
    // (linked, beside the built one), so that no other run writes there. The
    // folder that holds it, gone when the test ends; "" when it cannot be made.
    std::string ownBundle() {
        std::string place = (fs::path(QM_BUNDLE_DIR).parent_path() / "qm-process-XXXXXX").string();
        if (!mkdtemp(place.data())) return "";
        places_.push_back(place);
        std::error_code error;
        fs::copy(QM_BUNDLE_DIR, place + "/Quenmira.app",
                 fs::copy_options::recursive | fs::copy_options::create_hard_links, error);
        return error ? "" : place;
    }
    void TearDown() override {
        for (const auto& place : places_) fs::remove_all(place);
    }
    // A display number no X server has here.
    static int freeDisplay() {
        int display = 57;
        while (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
        return display;
    }
    qmtest::TempDir home_, out_;
    std::string log_;
    int runs_ = 0;
    std::vector<std::string> places_;
};

TEST_F(Process, ADisplayNoServerAnswersIsSaidOnceAndTheLaunchGoesOnWithoutIt) {
    const int display = freeDisplay();
    const std::string place = ownBundle();
    ASSERT_NE(place, "");
    const std::string png = place + "/quenmira-screen.png";
    Child c = start({place + "/Quenmira.app/Quenmira", "--battery", "0.5"}, {"DISPLAY=:" + std::to_string(display)});
    const int status = finish(c);
    ASSERT_EQ(status, 0) << log_;
    EXPECT_EQ(qmtest::occurrences(log_, "Cannot open a window on the display \":" + std::to_string(display) + "\""), 1) << log_;
    EXPECT_NE(log_.find("The main screen is in " + png), std::string::npos) << log_;
}

// Every display the environment names is tried and named in the one line
// that says none could be opened: the Wayland display, the X display, or
// both. The Wayland library's own complaint (no XDG_RUNTIME_DIR to find its
// display in) is not shown.
TEST_F(Process, EveryDisplayTriedIsNamedInOneLineWithoutTheLibrarysOwnComplaint) {
    const std::string x = ":" + std::to_string(freeDisplay()), wayland = "wayland-" + x.substr(1);
    const std::string place = ownBundle();
    ASSERT_NE(place, "");
    const std::string runtime = out_.file("runtime");
    ASSERT_TRUE(fs::create_directory(runtime));
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    const std::string waylandOnly = "Cannot open a window on the display \"" + wayland + "\" (wayland not available)";
    const std::string both =
        "Cannot open a window on the displays \"" + wayland + "\" and \"" + x + "\" (wayland,x11 not available)";
    struct Case {
        std::vector<std::string> env;  // without XDG_RUNTIME_DIR unless it names one
        std::string line;
    };
    for (const Case& c :
         {Case{{"WAYLAND_DISPLAY=" + wayland}, waylandOnly}, Case{{"WAYLAND_DISPLAY=" + wayland, "DISPLAY=" + x}, both},
          Case{{"WAYLAND_DISPLAY=" + wayland, "DISPLAY=" + x, "XDG_RUNTIME_DIR=" + runtime}, both}}) {
        SCOPED_TRACE(c.env.back());
        std::vector<std::string> env = qmtest::headlessEnvironment(c.env);
        if (c.env.back().rfind("XDG_RUNTIME_DIR=", 0) != 0)
            std::erase_if(env, [](const std::string& e) { return e.rfind("XDG_RUNTIME_DIR=", 0) == 0; });
        const std::string output = out_.file("displays" + std::to_string(++runs_) + ".txt");
        const pid_t pid = qmtest::spawnLogged(
            {place + "/Quenmira.app/Quenmira", "--battery", "0.5", "--home", home_.path()}, env, output);
        EXPECT_EQ(qmtest::waitExit(pid, 60), 0);
        log_ = qmtest::readAll(output);
        // The log line's time and process, then what it says; nothing before it.
        const size_t said = log_.find("] ");
        ASSERT_NE(said, std::string::npos) << log_;
        EXPECT_TRUE(std::regex_match(log_.substr(0, said + 1),
                                     std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Quenmira\[\d+:\d+\])")))
            << log_;
        EXPECT_EQ(log_.substr(said + 2),
                  c.line + ": going on without a display\nThe main screen is in " + place + "/quenmira-screen.png\n");
    }
}

TEST_F(Process, OneApplicationRunsOnASandboxAtATime) {
    Child first = start({"--headless", "--battery", "0.5"});
    ASSERT_TRUE(waitForLaunch(first)) << qmtest::readAll(first.output);
    expectRefusedWhileRunning(first);
    ASSERT_EQ(kill(first.pid, SIGTERM), 0);
    EXPECT_EQ(finish(first), 0) << log_;

    // Four first launches at once on a fresh home: one runs, the others say so
    // (or run after it), and no store is taken for a damaged one.
    fs::remove_all(home_.path());
    std::vector<Child> launches;
    for (int i = 0; i < 4; ++i) launches.push_back(start({"--snapshot", out_.file("s" + std::to_string(i) + ".png")}));
    int ran = 0;
    for (auto& c : launches) {
        const int status = finish(c);
        EXPECT_TRUE(status == 0 || (status == 1 && log_.find("is in use") != std::string::npos)) << log_;
        EXPECT_EQ(log_.find("Damaged"), std::string::npos) << log_;
        ran += status == 0;
    }
    EXPECT_GE(ran, 1);
    EXPECT_EQ(setAside(), std::vector<std::string>{});
}

// A second name on the lock of a sandbox in use lets no second application
// in; a name given the lock during launches ends none of them.
TEST_F(Process, ALockWithASecondNameStillKeepsASecondApplicationOut) {
    Child first = start({"--headless", "--battery", "0.5"});
    ASSERT_TRUE(waitForLaunch(first)) << qmtest::readAll(first.output);
    const std::string lock = home_.path() + "/Library/instance.lock", other = out_.file("lock-backup");
    ASSERT_EQ(::link(lock.c_str(), other.c_str()), 0);
    expectRefusedWhileRunning(first);
    ASSERT_EQ(kill(first.pid, SIGTERM), 0);
    EXPECT_EQ(finish(first), 0) << log_;
    ASSERT_EQ(::unlink(other.c_str()), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> linked{0};
    std::thread linker([&] {
        while (!stop.load()) {
            if (::link(lock.c_str(), other.c_str()) == 0) linked.fetch_add(1);
            ::usleep(200);  // the other side's pace, not a wait for anything
            ::unlink(other.c_str());
        }
    });
    std::string logs;
    for (int i = 0; i < 10; ++i) {
        Child c = start({"--snapshot", out_.file("linked" + std::to_string(i) + ".png"), "--battery", "0.5"});
        EXPECT_EQ(finish(c), 0) << log_;
        logs += log_;
    }
    stop = true;
    linker.join();
    EXPECT_GT(linked.load(), 10);
    EXPECT_EQ(logs.find("Invalid argument"), std::string::npos) << logs;
    EXPECT_EQ(setAside(), std::vector<std::string>{}) << logs;
}

TEST_F(Process, AFifoAtTheHitStoresOrTheKeychainsJournalHoldsNoLaunch) {
    Child first = start({"--snapshot", out_.file("first.png"), "--battery", "0.5"});
    ASSERT_EQ(finish(first), 0) << log_;
    const std::string library = home_.path() + "/Library";
    const std::vector<std::string> journals = {library + "/tallymark-v3.sql-journal",
                                               library + "/Keychains/keychain.db-journal"};
    ASSERT_TRUE(fs::exists(library + "/tallymark-v3.sql") && fs::exists(library + "/Keychains/keychain.db"));
    // A launch that ends by itself, then one that a termination ends.
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        for (const auto& journal : journals) ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0) << journal;
        Child c = run == 1 ? start({"--snapshot", out_.file("second.png"), "--battery", "0.5"})
                           : start({"--headless", "--battery", "0.5"});
        if (run == 2) {
            ASSERT_TRUE(waitForLaunch(c)) << qmtest::readAll(c.output);
            ASSERT_EQ(kill(c.pid, SIGTERM), 0);
        }
        EXPECT_EQ(finish(c), 0) << log_;
        for (const auto& journal : journals) {
            const std::string aside = journal + ".corrupt-" + std::to_string(run);
            EXPECT_EQ(qmtest::occurrences(log_, "a FIFO at " + journal + " moved to " + aside), 1) << log_;
            EXPECT_TRUE(fs::is_fifo(fs::symlink_status(aside))) << aside;
        }
    }
    EXPECT_EQ(setAside().size(), 4u);
}

TEST_F(Process, AFullDiskEndsTheLaunchWithOneLineAndAFailure) {
    if (const std::string why = qmtest::MountNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
    // A tiny file system, filled up, with the home on it.
    const std::string disk = out_.file("disk");
    fs::create_directories(disk);
    const std::string script =
        "mount -t tmpfs -o size=256k tmpfs \"$0\" && mkdir \"$0/home\" && "
        "{ cat /dev/zero > \"$0/fill\" 2>/dev/null; exec \"$@\"; }";
    const std::string output = out_.file("full.txt");
    const pid_t pid =
        qmtest::spawnLogged(qmtest::MountNamespace::command(
                                script, {disk}, {kApp, "--home", disk + "/home", "--snapshot", out_.file("f.png")}),
                            qmtest::headlessEnvironment(), output);
    EXPECT_EQ(qmtest::waitExit(pid, 60), 1);
    log_ = qmtest::readAll(output);
    EXPECT_EQ(qmtest::occurrences(log_, "\n"), 1) << log_;
    EXPECT_EQ(qmtest::occurrences(log_, "No space left on device"), 1) << log_;
    EXPECT_EQ(qmtest::occurrences(log_, disk + "/home"), 1) << log_;
}

// A disk with room for a page but not for what a launch writes (its stores,
// their logs and indexes): full all the same, said once, and nothing is set
// aside as damaged.
TEST_F(Process, ADiskWithTooLittleRoomForALaunchEndsItWithOneLine) {
    if (const std::string why = qmtest::MountNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
    const std::string disk = out_.file("disk");
    fs::create_directories(disk);
    for (int roomKiB : {16, 48, 96, 128}) {
        const std::string script =
            "mount -t tmpfs -o size=256k tmpfs \"$0\" && mkdir \"$0/home\" && "
            "avail=$(df -k --output=avail \"$0\" | tail -1) && "
            "head -c $(( (avail - $1) * 1024 )) /dev/zero > \"$0/fill\" && shift && "
            "{ \"$@\"; status=$?; ls \"$0/home/Library\" | grep corrupt; exit $status; }";
        const std::string output = out_.file("room" + std::to_string(roomKiB) + ".txt");
        const pid_t pid = qmtest::spawnLogged(
            qmtest::MountNamespace::command(script, {disk, std::to_string(roomKiB)},
                                            {kApp, "--home", disk + "/home", "--snapshot", out_.file("f.png")}),
            qmtest::headlessEnvironment(), output);
        EXPECT_EQ(qmtest::waitExit(pid, 60), 1) << roomKiB;
        log_ = qmtest::readAll(output);
        EXPECT_EQ(qmtest::occurrences(log_, "\n"), 1) << roomKiB << " KiB free:\n" << log_;
        EXPECT_EQ(qmtest::occurrences(log_, "No space left on device"), 1) << roomKiB << " KiB free:\n" << log_;
        EXPECT_EQ(log_.find("corrupt"), std::string::npos) << roomKiB << " KiB free:\n" << log_;
    }
}

TEST_F(Process, AReaderThatGoesAwayCostsNeitherTheOrderlyEndNorTheTimeSpent) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const pid_t pid = qmtest::spawnWith({kApp, "--headless", "--battery", "0.5", "--home", home_.path()},
                                        qmtest::headlessEnvironment(), actions);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_NE(pid, -1);
    close(fds[1]);
    // Read as `head` would until the launch is under way, then go away.
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!qmtest::launchIsUnderWay(pid) && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, size_t(n));
    }
    close(fds[0]);
    ASSERT_TRUE(qmtest::launchIsUnderWay(pid)) << seen;
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(qmtest::waitExit(pid, 60), 0)
        << std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count() << " s after SIGTERM; "
        << seen;
    const std::string timeSpent = home_.path() + "/Library/PZSDKTimeSpent.json";
    EXPECT_TRUE(fs::exists(timeSpent));
    EXPECT_EQ(qmtest::modeOf(timeSpent), 0600u);
}

// A time-spent file of 2 GB (sparse) is damage, set aside unread with one
// line: the launch's peak memory stays that of a launch. A small process of
// its own starts it and reads its peak, since a child of this program counts
// this program's memory too.
TEST_F(Process, AHugeTimeSpentFileIsSetAsideUnread) {
    const std::string timeSpent = home_.path() + "/Library/PZSDKTimeSpent.json";
    fs::create_directories(home_.path() + "/Library");
    std::ofstream(timeSpent) << "{\"numSessions\":";
    constexpr uintmax_t kSize = uintmax_t(2) << 30;
    fs::resize_file(timeSpent, kSize);
    const std::string measure =
        "import resource, subprocess, sys\n"
        "status = subprocess.call(sys.argv[1:])\n"
        "print('peak KiB: %d' % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
        "sys.exit(status)\n";
    const std::string output = out_.file("huge.txt");
    const pid_t pid = qmtest::spawnLogged({"python3", "-c", measure, kApp, "--home", home_.path(), "--snapshot",
                                           out_.file("s.png"), "--battery", "0.5"},
                                          qmtest::headlessEnvironment(), output);
    const int status = qmtest::waitExit(pid, 90);
    log_ = qmtest::readAll(output);
    ASSERT_EQ(status, 0) << log_;
    const size_t peak = log_.find("peak KiB: ");
    ASSERT_NE(peak, std::string::npos) << log_;
    // A launch under the address sanitizer holds about twice a plain one;
    // reading the file whole would take over 2 GiB in either.
#if defined(__SANITIZE_ADDRESS__)
    constexpr long kPeakKiB = 300 * 1024;
#else
    constexpr long kPeakKiB = 100 * 1024;
#endif
    EXPECT_LT(std::stol(log_.substr(peak + 10)), kPeakKiB) << log_;
    EXPECT_EQ(qmtest::occurrences(log_, "Cannot read the time spent in " + timeSpent), 1) << log_;
    ASSERT_TRUE(fs::exists(timeSpent + ".corrupt-1")) << log_;
    EXPECT_EQ(fs::file_size(timeSpent + ".corrupt-1"), kSize);
}

TEST_F(Process, AHangUpTheLaunchWasToldToIgnoreStaysIgnored) {
    Child c = start({"nohup", kApp, "--headless", "--battery", "0.5"});
    ASSERT_TRUE(waitForLaunch(c)) << qmtest::readAll(c.output);
    // Both pending at once: the lower number, SIGHUP, would be handled first.
    ASSERT_EQ(kill(c.pid, SIGHUP), 0);
    ASSERT_EQ(kill(c.pid, SIGTERM), 0);
    EXPECT_EQ(finish(c), 0) << log_;
    EXPECT_EQ(log_.find("Received SIGHUP"), std::string::npos) << log_;
    EXPECT_NE(log_.find("Received SIGTERM, terminating"), std::string::npos) << log_;
    EXPECT_EQ(qmtest::modeOf(home_.path() + "/Library/PZSDKTimeSpent.json"), 0600u);
}

}  // namespace
