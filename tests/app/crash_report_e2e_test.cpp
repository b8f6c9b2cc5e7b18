// A crash of the built application on its way to the crash-report service:
// the application runs headless in its own sandbox, is ended by a signal (or,
// in a child that runs it in-process, by an uncaught exception), and its next
// launch, pointed at a raw loopback service by QUENMIRA_CRASH_URL, uploads
// the report. The application hands the crash manager no delegate, so even
// after a crash soon after the start the next launch shows its main screen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/QuenmiraAppDelegate.h"
#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ChildTest.h"
#include "tests/support/RawHttpService.h"
#include "tests/support/ShellTools.h"

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using qmtest::RawHttpService;

namespace {

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";
const std::string kClosedPort = "http://127.0.0.1:9";  // nothing listens: the upload fails at once

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool waitFor(const std::function<bool()>& done, double seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class CrashReportE2E : public ::testing::Test {
protected:
    struct Child {
        pid_t pid = -1;
        std::string output;
        int status = 0;
    };
    // The built application in the test's sandbox, its crash reports going to `crashURL`.
    Child start(const std::string& crashURL, std::vector<std::string> args = {"--headless"}) {
        Child c;
        c.output = out_.file("run" + std::to_string(++runs_) + ".txt");
        args.insert(args.begin(), kApp);
        args.push_back("--home");
        args.push_back(home_.path());
        // This environment without a display, the collector and the crash service at ours.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name.rfind("QUENMIRA_", 0) != 0) env.push_back(entry);
        }
        env.push_back("QUENMIRA_COLLECT_URL=" + kClosedPort);
        env.push_back("QUENMIRA_CRASH_URL=" + crashURL);
        c.pid = qmtest::spawnLogged(args, env, c.output);
        return c;
    }
    std::string log(const Child& c) const { return readAll(c.output); }
    bool logs(const Child& c, const std::string& line, double seconds = 60) const {
        return waitFor([&] { return log(c).find(line) != std::string::npos; }, seconds);
    }
    // Ends it with `signo`; answers the signal that ended it (0 for an exit).
    int end(Child& c, int signo) {
        if (signo) kill(c.pid, signo);
        waitFor([&] { return waitpid(c.pid, &c.status, WNOHANG) == c.pid; }, 60) ||
            (kill(c.pid, SIGKILL), waitpid(c.pid, &c.status, 0));
        return WIFSIGNALED(c.status) ? WTERMSIG(c.status) : 0;
    }
    // Starts it and crashes it with `signo` once its launch is done.
    void crash(int signo, double after = 0) {
        Child c = start(kClosedPort);
        // Crash reporting is armed once the launch has gone past it and
        // stored the health default it sets next.
        const std::string prefs = home_.path() + "/Library/Preferences/org.quenmira.battery.plist";
        ASSERT_TRUE(waitFor([&] {
            return qmtest::launchIsUnderWay(c.pid) && readAll(prefs).find("healthPercent") != std::string::npos;
        })) << log(c);
        if (after > 0) std::this_thread::sleep_for(std::chrono::duration<double>(after));
        EXPECT_EQ(signo, end(c, signo)) << log(c);
        ASSERT_TRUE(fs::exists(reporterFile()));
    }
    std::string reporterFile() const {
        return home_.path() +
               "/Library/Caches/com.ovellalabs.crashreporter.data/org.quenmira.battery/live_report.ovcrash";
    }
    std::string sdkDir() const { return home_.path() + "/Library/Caches/net.pelkorapp.sdk.ios"; }
    // The pending reports of the SDK's folder (names of digits).
    std::vector<std::string> pending() const {
        std::vector<std::string> out;
        if (!fs::exists(sdkDir())) return out;
        for (const auto& e : fs::directory_iterator(sdkDir())) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos) out.push_back(e.path().string());
        }
        return out;
    }
    // Launches against `service` until it has taken one more upload and,
    // when it is `taken`, the report has left the folder; answers the upload.
    RawHttpService::Request uploadTo(RawHttpService& service, Child* launched = nullptr, bool taken = true) {
        const size_t before = service.requests().size();
        Child c = start(service.baseURL());
        EXPECT_TRUE(service.waitForRequests(before + 1, 60)) << log(c);
        if (taken) {
            EXPECT_TRUE(waitFor([&] { return pending().empty(); })) << log(c);
        }
        end(c, SIGTERM);
        if (launched) *launched = c;
        auto requests = service.requests();
        return requests.size() > before ? requests[before] : RawHttpService::Request{};
    }
    static std::string xmlLog(const RawHttpService::Request& r) {
        size_t p = r.body.find("<log><![CDATA[");
        if (p == std::string::npos) return "";
        p += 14;
        return r.body.substr(p, r.body.find("]]></log>", p) - p);
    }
    // The upload carries the four parts and the report's crash log text.
    void expectUploadOf(const RawHttpService::Request& r, const std::string& reportBytes) {
        EXPECT_EQ("POST /api/2/apps/5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41/crashes HTTP/1.1", r.requestLine());
        EXPECT_EQ("PelkorSDK/iOS", r.header("User-Agent"));
        EXPECT_EQ("multipart/form-data; boundary=----FOO", r.header("Content-type"));
        EXPECT_EQ(
            0u,
            r.body.rfind(
                "------FOO\r\nContent-Disposition: form-data; name=\"sdk\"\r\nContent-Type: text\r\n\r\nPelkorSDK\r\n",
                0));
        EXPECT_EQ(4, qmtest::occurrences(r.body, "------FOO\r\n"));
        EXPECT_NE(std::string::npos, r.body.find("name=\"xml\"; filename=\"crash.xml\"\r\nContent-Type: text/xml\r\n"));
        const std::string ending = "</crash></crashes>\r\n------FOO--\r\n";
        ASSERT_GE(r.body.size(), ending.size());
        EXPECT_EQ(ending, r.body.substr(r.body.size() - ending.size()));
        const std::string log = xmlLog(r);
        const std::string keyLine = "CrashReporter Key:   ";
        const size_t k = log.find(keyLine);
        ASSERT_NE(std::string::npos, k);
        const std::string key = log.substr(k + keyLine.size(), log.find('\n', k) - k - keyLine.size());
        pf::Error error;
        auto report =
            PKROVCrashReport::initWithData(std::vector<uint8_t>(reportBytes.begin(), reportBytes.end()), &error);
        ASSERT_TRUE(report) << error.localizedDescription();
        EXPECT_EQ(PKRCrashReportTextFormatter::stringValueForCrashReport(*report, key), log);
    }

    qmtest::TempDir home_, out_;
    int runs_ = 0;
};

}  // namespace

TEST_F(CrashReportE2E, ASegvSoonAfterStartLeavesTheMainScreenThenReachesTheServiceWithItsLog) {
    crash(SIGSEGV);
    // The next launch: the main screen, not the grey crashed-on-launch
    // placeholder, and the report moved into the SDK's folder.
    const std::string png = out_.file("main.png");
    Child snap = start(kClosedPort, {"--snapshot", png});
    EXPECT_EQ(0, end(snap, 0));
    EXPECT_EQ(std::string::npos, log(snap).find("OOPS")) << log(snap);
    auto image = platform::graphics::Image::fromFile(png, 1.0);
    ASSERT_TRUE(image);
    auto p = image->pixelAt(image->pixelWidth() / 2, image->pixelHeight() - 10);
    EXPECT_FALSE(std::abs(128 - int(p.r)) <= 2 && std::abs(128 - int(p.g)) <= 2 && std::abs(128 - int(p.b)) <= 2);
    EXPECT_FALSE(fs::exists(reporterFile()));
    auto reports = pending();
    ASSERT_EQ(1u, reports.size());
    const std::string bytes = readAll(reports[0]);

    RawHttpService service([](const auto&) { return RawHttpService::Answer{201, RawHttpService::plist()}; });
    Child launched;
    auto upload = uploadTo(service, &launched);
    expectUploadOf(upload, bytes);
    EXPECT_NE(std::string::npos, xmlLog(upload).find("Exception Type:  SIGSEGV"));
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(std::string::npos, log(launched).find("OOPS")) << log(launched);
    EXPECT_EQ(1u, service.requests().size());
}

TEST_F(CrashReportE2E, AnAbortsReportStaysAfterAStoppedServiceAndA500AndGoesWithTheNextLaunch) {
    crash(SIGABRT);
    RawHttpService service([](const auto&) { return RawHttpService::Answer{500, "busy"}; });
    const int stopped = service.port();
    service.stop();
    // The first launch after the crash moves the report and fails to send it.
    Child c = start("http://127.0.0.1:" + std::to_string(stopped));
    EXPECT_TRUE(waitFor([&] { return !fs::exists(reporterFile()) && pending().size() == 1; })) << log(c);
    end(c, SIGTERM);
    EXPECT_EQ(std::string::npos, log(c).find("OOPS")) << log(c);
    auto reports = pending();
    ASSERT_EQ(1u, reports.size());
    const std::string bytes = readAll(reports[0]);

    RawHttpService failing([](const auto&) { return RawHttpService::Answer{500, "busy"}; });
    Child launched;
    uploadTo(failing, &launched, false);
    EXPECT_EQ(reports, pending());

    RawHttpService taking([](const auto&) { return RawHttpService::Answer{200, RawHttpService::plist()}; });
    auto upload = uploadTo(taking);
    expectUploadOf(upload, bytes);
    EXPECT_NE(std::string::npos, xmlLog(upload).find("Exception Type:  SIGABRT"));
    EXPECT_TRUE(pending().empty());
}

TEST_F(CrashReportE2E, ACrashFiveSecondsOrMoreAfterStartShowsNoPlaceholder) {
    crash(SIGSEGV, 6.0);
    const std::string png = out_.file("main.png");
    Child snap = start(kClosedPort, {"--snapshot", png});
    EXPECT_EQ(0, end(snap, 0));
    EXPECT_EQ(std::string::npos, log(snap).find("OOPS")) << log(snap);
    // No crash-delegate set-up runs at all.
    EXPECT_EQ(std::string::npos, log(snap).find("Loading main storyboard")) << log(snap);
    EXPECT_EQ(1u, pending().size());
}

// In a child of its own: the application in this process, ended by an
// uncaught exception thrown from its run loop.
QM_CHILD_TEST(CrashReportChild, Run) {
    const char* kind = getenv("QM_CRASH_CHILD");
    if (!kind) GTEST_SKIP() << "runs only as the child of an uncaught-exception test";
    setenv("QUENMIRA_COLLECT_URL", kClosedPort.c_str(), 1);
    setenv("QUENMIRA_CRASH_URL", kClosedPort.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
    QuenmiraAppDelegate::registerClasses();
    const std::string which = kind;
    pf::RunLoop::main().performAfter(0.5, [which] {
        if (which == "platform") pf::Exception::raise(pf::kInvalidArgumentException, "the test's uncaught exception");
        throw std::runtime_error("the test's uncaught C++ exception");
    });
    std::vector<std::string> args = {"Quenmira", "--headless", "--home", getenv("QM_CRASH_HOME")};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    platform::ui::applicationMain(int(argv.size()), argv.data());
    ADD_FAILURE() << "the exception did not end the application";
}

class UncaughtExceptionE2E : public CrashReportE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(UncaughtExceptionE2E, EndsTheApplicationAndItsReportReachesTheService) {
    pid_t pid = fork();
    if (pid == 0) {
        const std::string output = out_.file("child.txt");
        FILE* f = freopen(output.c_str(), "w", stdout);
        (void)f;
        dup2(STDOUT_FILENO, STDERR_FILENO);
        setenv("QM_CRASH_CHILD", GetParam(), 1);
        setenv("QM_CRASH_HOME", home_.path().c_str(), 1);
        execl("/proc/self/exe", "test_app", "--gtest_filter=CrashReportChild.Run", "--gtest_catch_exceptions=0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60));
    ASSERT_TRUE(WIFSIGNALED(status)) << readAll(out_.file("child.txt"));
    EXPECT_EQ(SIGABRT, WTERMSIG(status));
    ASSERT_TRUE(fs::exists(reporterFile()));

    RawHttpService service([](const auto&) { return RawHttpService::Answer{201, RawHttpService::plist()}; });
    auto upload = uploadTo(service);
    const std::string log = xmlLog(upload);
    EXPECT_NE(std::string::npos, log.find(std::string(GetParam()) == "platform" ? "the test's uncaught exception"
                                                                                : "the test's uncaught C++ exception"))
        << log;
    EXPECT_NE(std::string::npos, log.find("SIGABRT"));
    EXPECT_TRUE(pending().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, UncaughtExceptionE2E, ::testing::Values("platform", "cxx"));
