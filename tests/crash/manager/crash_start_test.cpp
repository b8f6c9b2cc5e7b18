// The crash manager's start in a child process (its set-up runs once per
// process): the last run's report moved into the SDK's folder, and what is
// kept when that goes wrong. Then the uploader killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <stdexcept>
#include <thread>
#include <set>

#include "tests/crash/manager/crash_upload_support.h"
#include "tests/support/RawHttpService.h"

using namespace uploadtest;
using platform::foundation::Value;
using qmtest::RawHttpService;

namespace {

// A sandbox in /dev/shm for one test; the test's own one comes back after it.
struct MemoryHome {
    std::string path, previous;
    explicit MemoryHome(std::string previousHome) : previous(std::move(previousHome)) {
        char tmpl[] = "/dev/shm/qm-crash-XXXXXX";
        path = mkdtemp(tmpl);
        pf::Sandbox::setHome(path);
        pf::UserDefaults::resetStandard();
    }
    ~MemoryHome() {
        pf::UserDefaults::standard().synchronize();
        pf::Sandbox::setHome(previous);
        pf::UserDefaults::resetStandard();
        FileManager::remove(path);
    }
};

class CrashStart : public CrashManagerTest {
protected:
    std::string reporterPath() const {
        return PKROVCrashReporter(pf::Bundle::main(), nullptr).crashReportPath();
    }
    std::string sdkDir() const { return FileManager::joinPath(pf::Sandbox::caches(), "net.pelkorapp.sdk.ios"); }
    std::string marker() const { return FileManager::joinPath(sdkDir(), "PKRCrashManager.analyzer"); }
    // Starts a crash manager in a child; what it learnt: "<crashed> <interval> <file name>".
    std::string startInChild(const std::function<void(PKRCrashManager&)>& configure = {}) {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            auto m = std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
            if (configure) configure(*m);
            m->startManager();
            pf::UserDefaults::standard().synchronize();
            std::string out = std::to_string(m->didCrashInLastSession()) + " " +
                              std::to_string(m->timeIntervalCrashInLastSessionOccurred()) + " " +
                              m->lastCrashFilename().value_or("-");
            (void)!write(fds[1], out.data(), out.size());
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        char buf[256];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return out;
    }
    void placeReport(const std::vector<uint8_t>& bytes) {
        FileManager::createDirectory(FileManager::deletingLastPathComponent(reporterPath()));
        FileManager::writeFileAtomically(reporterPath(), bytes.data(), bytes.size());
    }
};

}  // namespace

TEST_F(CrashStart, TheLastRunsReportMovesIntoTheFolderWithItsMetaData) {
    placeReport(liveReport());
    std::istringstream out(startInChild());
    int crashed = 0;
    double interval = -2;
    std::string name;
    out >> crashed >> interval >> name;
    EXPECT_EQ(1, crashed);
    EXPECT_GE(interval, 0.0);
    EXPECT_EQ(name.find_first_not_of("0123456789"), std::string::npos) << name;
    const std::string copy = FileManager::joinPath(sdkDir(), name);
    auto bytes = liveReport();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), FileManager::readFile(copy).value_or(""));
    EXPECT_TRUE(FileManager::exists(copy + ".meta"));
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_FALSE(FileManager::exists(marker()));
}

TEST_F(CrashStart, AMarkerFromAHandlingThatEndedTheProcessSetsTheReportAside) {
    placeReport(liveReport());
    FileManager::createDirectory(sdkDir());
    FileManager::writeFileAtomically(marker(), "");
    std::istringstream out(startInChild());
    int crashed = 0;
    double interval = 0;
    std::string name;
    out >> crashed >> interval >> name;
    EXPECT_EQ(-1.0, interval);
    EXPECT_EQ("-", name);
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_TRUE(FileManager::exists(reporterPath() + ".corrupt-1"));
    EXPECT_FALSE(FileManager::exists(marker()));
    for (const auto& entry : FileManager::contentsOfDirectory(sdkDir()))
        EXPECT_EQ(std::string::npos, entry.find_first_not_of("0123456789")) << "no report copied: " << entry;
}

TEST_F(CrashStart, AReportThatCannotBeCopiedStaysWithTheReporter) {
    placeReport(liveReport());
    // The SDK's folder cannot be made: a file is in its place.
    FileManager::writeFileAtomically(sdkDir(), "in the way");
    startInChild();
    auto bytes = liveReport();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), FileManager::readFile(reporterPath()).value_or(""));
    FileManager::remove(sdkDir());
    // Once the folder can be made, the next start moves it.
    std::istringstream out(startInChild());
    int crashed = 0;
    double interval = 0;
    std::string name;
    out >> crashed >> interval >> name;
    EXPECT_TRUE(FileManager::exists(FileManager::joinPath(sdkDir(), name)));
    EXPECT_FALSE(FileManager::exists(reporterPath()));
}

TEST_F(CrashStart, AnUndecodableReportIsSetAsideNotCopied) {
    placeReport({'x', 'y', 'z'});
    startInChild();
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_TRUE(FileManager::exists(reporterPath() + ".corrupt-1"));
}

TEST_F(CrashStart, ASessionKilledInTheForegroundLeavesAnAppKillReport) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.setString("PKRAppVersion", "1.0.0");
    defaults.setBool("PKRAppWentIntoBackgroundSafely", false);
    defaults.synchronize();
    std::istringstream out(startInChild([](PKRCrashManager& m) { m.setEnableAppNotTerminatingCleanlyDetection(true); }));
    int crashed = 0;
    double interval = 0;
    out >> crashed >> interval;
    EXPECT_EQ(1, crashed);
    EXPECT_EQ(-1.0, interval);  // no crash time: no crash on launch
    std::string fake;
    for (const auto& entry : FileManager::contentsOfDirectory(sdkDir()))
        if (FileManager::pathExtension(entry) == "fake") fake = entry;
    ASSERT_FALSE(fake.empty());
    auto plist = Value::readPropertyListFile(FileManager::joinPath(sdkDir(), fake));
    ASSERT_TRUE(plist);
    EXPECT_NE(std::string::npos, (*plist)["PKRFakeCrashAppString"].string().find("Exception Type:  SIGKILL\n"));
    EXPECT_TRUE(FileManager::exists(FileManager::joinPath(sdkDir(), FileManager::deletingPathExtension(fake) + ".meta")));
}

// The uploader (a crash manager in a forked child) is killed at random
// moments from its start to the end of its upload, 1,000 times. A report may
// only leave the folder once the service has it, and may only reach the
// service again when a kill fell after the service had it and before the
// report was deleted.
TEST_F(CrashStart, AnUploaderKilledAtRandomMomentsLosesNoReportAndSendsOneAgainOnlyAfterTheServiceHadIt) {
    // A sandbox in memory where there is one: each upload syncs a few files,
    // and a thousand of them should take seconds, not minutes.
    std::unique_ptr<MemoryHome> memory;
    if (FileManager::exists("/dev/shm")) memory = std::make_unique<MemoryHome>(home_.path);
    RawHttpService service([](const auto&) { return RawHttpService::Answer{201, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string url = service.baseURL() + "/";
    auto runChild = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            auto m = std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
            m->setCrashManagerStatus(PKRCrashManager::kAutoSend);
            m->setPelkorAppClient(std::make_shared<PKRPelkorAppClient>(url));
            m->invokeDelayedProcessing();
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (m->sendingInProgress() && std::chrono::steady_clock::now() < end) pf::RunLoop::main().runOnce(0.01);
            _exit(m->sendingInProgress() ? 1 : 0);
        }
        return pid;
    };
    int serial = 0;
    std::string path, uuid;
    auto newReport = [&] {
        uuid = "R-" + std::to_string(++serial);
        Value::Dictionary fake = {{"PKRFakeCrashUUID", uuid}, {"PKRFakeCrashAppVersion", "1.0.0"},
                                  {"PKRFakeCrashAppString", "report " + uuid}};
        path = addReport(manager_->newCrashFilename() + ".fake", Value(fake).toBinaryPropertyList());
    };
    auto uuidOf = [](const RawHttpService::Request& r) {
        size_t p = r.body.find("<uuid>");
        return p == std::string::npos ? std::string() : r.body.substr(p + 6, r.body.find("</uuid>", p) - p - 6);
    };
    // What every uploader would do first is done here once, before the forks:
    // the network library loaded and the installation's identifier read.
    app_anonymous_id();
    {
        PKRPelkorAppClient warm(service.baseURL());
        bool done = false;
        warm.getPath("warm", std::nullopt, [&](PKRHTTPOperation&, const PKRHTTPOperation::Data*, const pf::Error*) { done = true; });
        ASSERT_TRUE(pump([&] { return done; }));
    }
    // How long an uploader takes from its start to its end, unhurried: the
    // slowest of three.
    RawHttpService::Clock::duration span{};
    int status = 0;
    for (int run = 0; run < 3; ++run) {
        newReport();
        auto t0 = std::chrono::steady_clock::now();
        waitpid(runChild(), &status, 0);
        span = std::max(span, std::chrono::steady_clock::now() - t0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_FALSE(FileManager::exists(path));
    }
    ASSERT_EQ(4u, service.requests().size());

    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::map<std::string, int> repeats;  // tries that sent a report and left it in the folder
    int kills = 0;
    for (int i = 0; i < 1000; ++i) {
        if (!FileManager::exists(path)) newReport();
        const int64_t spanNs = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
        const auto delay = std::chrono::nanoseconds(std::uniform_int_distribution<int64_t>(0, spanNs)(random));
        const size_t before = service.requests().size();
        pid_t pid = runChild();
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        const bool killed = WIFSIGNALED(status);
        kills += killed;
        ASSERT_TRUE(service.waitUntilIdle());
        const auto requests = service.requests();
        ASSERT_LE(requests.size(), before + 1) << "one upload per try";
        const bool serviceHasIt = requests.size() > before;
        if (serviceHasIt) {
            EXPECT_EQ(uuid, uuidOf(requests.back()));
        }
        const bool stillThere = FileManager::exists(path);
        // Gone only once the service had it; an uploader that ran to its end leaves nothing.
        ASSERT_TRUE(stillThere || serviceHasIt) << "report " << uuid << " lost at try " << i;
        ASSERT_TRUE(killed || !stillThere) << "try " << i;
        // Sent and still there: the kill fell after the service had it,
        // before the deletion; the next try sends it again.
        if (stillThere && serviceHasIt) ++repeats[uuid];
    }
    std::map<std::string, int> sent;
    for (const auto& r : service.requests())
        if (r.requestLine().rfind("POST", 0) == 0) ++sent[uuidOf(r)];
    for (const auto& [id, n] : sent) EXPECT_LE(n, 1 + repeats[id]) << id;
    // Many moments fall inside an upload, some after a quick one's end.
    EXPECT_GE(kills, 100);
    EXPECT_GE(int(sent.size()), 2);
}

TEST_F(CrashStart, AnUncaughtCxxExceptionWithoutAnExceptionHandlerStillEndsInAbort) {
    pid_t pid = fork();
    if (pid == 0) {
        auto m = std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
        m->startManager();
        pf::setUncaughtExceptionHandler(nullptr);
        // On a thread of its own, where no test framework catches it.
        std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGABRT, WTERMSIG(status));
}

TEST_F(CrashStart, TheApplicationsCallbackRunsOnceTheReportIsWritten) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        static int fd = fds[1];
        static PKRCrashManagerCallbacks callbacks = {&fd, [](void* context) {
                                                         const char* said = "called";
                                                         (void)!write(*static_cast<int*>(context), said, 6);
                                                     }};
        auto m = std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
        m->setCrashCallbacks(&callbacks);
        m->startManager();
        *static_cast<volatile int*>(nullptr) = 1;
        _exit(0);
    }
    close(fds[1]);
    char buf[16] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(6, n);
    EXPECT_STREQ("called", buf);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));
    EXPECT_TRUE(FileManager::exists(reporterPath()));
}
