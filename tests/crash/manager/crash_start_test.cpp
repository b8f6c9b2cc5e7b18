// The crash manager's start in a child process (its set-up runs once per
// process): the last run's report moved into the SDK's folder, and what is
// kept when that goes wrong. Then the uploader killed at random moments.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "tests/crash/manager/ChildCase.h"
#include "tests/crash/manager/crash_upload_support.h"
#include "tests/support/ChildTest.h"
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
    std::string reporterPath() const { return PKROVCrashReporter(pf::Bundle::main(), nullptr).crashReportPath(); }
    std::string sdkDir() const { return FileManager::joinPath(pf::Sandbox::caches(), "net.pelkorapp.sdk.ios"); }
    std::string marker() const { return FileManager::joinPath(sdkDir(), "PKRCrashManager.analyzer"); }
    // A case of CrashStartChild.Run in a fresh process that shares this
    // test's sandbox, main bundle and service.
    childcase::Child startChild(const std::string& name, const std::string& url = "", unsigned alarmSeconds = 20) {
        return childcase::start(
            "/proc/self/exe", "CrashStartChild.Run", name,
            {{"QM_CHILD_HOME", pf::Sandbox::home()}, {"QM_CHILD_BUNDLE", bundle_.path}, {"QM_CHILD_URL", url}},
            alarmSeconds);
    }
    // Starts a crash manager in a child; what it learnt: "<crashed> <interval> <file name>".
    std::string startInChild(const std::string& name = "start") {
        auto result = startChild(name).finish();
        EXPECT_FALSE(result.timedOut) << name << ": the child hung";
        EXPECT_EQ(0, result.exitCode) << name << ": the child ended by signal " << result.signal;
        return result.lines.empty() ? std::string() : result.lines.front();
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

TEST_F(CrashStart, AMarkerFromTwoHandlingsThatEndedTheProcessSetsTheReportAside) {
    placeReport(liveReport());
    FileManager::createDirectory(sdkDir());
    FileManager::writeFileAtomically(marker(), "2");
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

TEST_F(CrashStart, AFileWhereTheFolderBelongsIsSetAsideAndTheReportMoves) {
    placeReport(liveReport());
    FileManager::writeFileAtomically(sdkDir(), "in the way");
    std::istringstream out(startInChild());
    int crashed = 0;
    double interval = 0;
    std::string name;
    out >> crashed >> interval >> name;
    EXPECT_TRUE(FileManager::exists(FileManager::joinPath(sdkDir(), name)));
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_EQ("in the way", FileManager::readFile(sdkDir() + ".corrupt-1").value_or(""));
}

// A launch killed while it moved the report (its marker left behind) costs
// the report nothing: the next launch moves it, or only purges the
// reporter's file when its copy was already complete.
TEST_F(CrashStart, AKilledLaunchsMarkerBesideAGoodReportIsNoReasonToSetItAside) {
    const auto bytes = liveReport();
    for (bool copied : {false, true}) {
        SCOPED_TRACE(copied ? "copied before the kill" : "killed before the copy");
        placeReport(bytes);
        FileManager::createDirectory(sdkDir());
        FileManager::writeFileAtomically(marker(), copied ? "1" : "");
        const std::string copy = FileManager::joinPath(sdkDir(), "600000000");
        if (copied) FileManager::writeFileAtomically(copy, bytes.data(), bytes.size());
        std::istringstream out(startInChild("start with a log"));
        int crashed = 0;
        double interval = 0;
        std::string name;
        out >> crashed >> interval >> name;
        if (copied) {
            EXPECT_EQ("600000000", name);
        }
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
                  FileManager::readFile(FileManager::joinPath(sdkDir(), name)).value_or(""));
        // Its meta data goes with it, whichever launch made the copy.
        auto meta = Value::readPropertyListFile(FileManager::joinPath(sdkDir(), name + ".meta"));
        ASSERT_TRUE(meta);
        EXPECT_EQ("the log before the crash", (*meta)["PKRCrashMetaApplicationLog"].string());
        EXPECT_FALSE(FileManager::exists(reporterPath()));
        EXPECT_FALSE(FileManager::exists(reporterPath() + ".corrupt-1"));
        EXPECT_FALSE(FileManager::exists(marker()));
        int reports = 0;
        for (const auto& entry : FileManager::contentsOfDirectory(sdkDir()))
            reports += entry.find_first_not_of("0123456789") == std::string::npos;
        EXPECT_EQ(1, reports);
        FileManager::remove(sdkDir());
    }
}

TEST_F(CrashStart, FifosWhereTheReportAndSettingsBelongAreHandledWithoutWaiting) {
    placeReport({});
    FileManager::remove(reporterPath());
    FileManager::createDirectory(sdkDir());
    const std::string settings = FileManager::joinPath(sdkDir(), "PKRCrashManager.plist");
    ASSERT_EQ(0, mkfifo(reporterPath().c_str(), 0600));
    ASSERT_EQ(0, mkfifo(settings.c_str(), 0600));
    auto result = startChild("start", "", 20).finish();
    ASSERT_FALSE(result.timedOut) << "a launch waited on a FIFO";
    EXPECT_EQ(0, result.exitCode);
    struct stat st;
    // No report can be read from it: purged like one that cannot be decoded.
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_FALSE(FileManager::exists(reporterPath() + ".corrupt-1"));
    EXPECT_TRUE(lstat((settings + ".corrupt-1").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(lstat(settings.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

TEST_F(CrashStart, AnUndecodableReportIsPurgedNotCopied) {
    placeReport({'x', 'y', 'z'});
    std::istringstream out(startInChild());
    int crashed = 0;
    out >> crashed;
    EXPECT_EQ(1, crashed);
    EXPECT_FALSE(FileManager::exists(reporterPath()));
    EXPECT_FALSE(FileManager::exists(reporterPath() + ".corrupt-1"));
    EXPECT_FALSE(FileManager::exists(marker()));
    for (const auto& entry : FileManager::contentsOfDirectory(sdkDir()))
        EXPECT_EQ("PKRCrashManager.plist", entry) << "nothing copied";
}

TEST_F(CrashStart, ASessionKilledInTheForegroundLeavesAnAppKillReport) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.setString("PKRAppVersion", "1.0.0");
    defaults.setBool("PKRAppWentIntoBackgroundSafely", false);
    defaults.synchronize();
    std::istringstream out(startInChild("start detecting kills"));
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
    EXPECT_TRUE(
        FileManager::exists(FileManager::joinPath(sdkDir(), FileManager::deletingPathExtension(fake) + ".meta")));
}

// The uploader (a crash manager in a forked child) is killed at random
// moments from its start to the end of its upload, 1,000 times. A report may
// only leave the folder once the service has it, and may only reach the
// service again when a kill fell after the service had it and before the
// report was deleted. The uploaders are forked by a single-threaded server
// process, so that none inherits a lock that another thread held.
TEST_F(CrashStart, AnUploaderKilledAtRandomMomentsLosesNoReportAndSendsOneAgainOnlyAfterTheServiceHadIt) {
    // A sandbox in memory where there is one: each upload syncs a few files,
    // and a thousand of them should take seconds, not minutes.
    std::unique_ptr<MemoryHome> memory;
    if (FileManager::exists("/dev/shm")) memory = std::make_unique<MemoryHome>(home_.path);
    RawHttpService service([](const auto&) { return RawHttpService::Answer{201, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    childcase::Child server = startChild("uploader server", service.baseURL() + "/", 600);
    ASSERT_GT(server.pid, 0);
    std::string line;
    ASSERT_TRUE(server.readLine(line)) << "the uploader server did not start";
    ASSERT_EQ("ready", line);
    // One uploader, killed `delayNs` after its start (never when negative).
    struct Run {
        bool killed = false;
        int code = 0;  // exit status or signal
        std::chrono::nanoseconds span{};
    };
    std::string answer;  // the server's last, for failure messages
    auto runUploader = [&](int64_t delayNs) -> std::optional<Run> {
        answer = "(none)";
        if (!server.send(std::to_string(delayNs)) || !server.readLine(answer)) return std::nullopt;
        std::istringstream in(answer);
        std::string how;
        int64_t ns = 0;
        Run run;
        if (!(in >> how >> run.code >> ns) || (how != "exit" && how != "signal")) return std::nullopt;
        run.killed = how == "signal";
        run.span = std::chrono::nanoseconds(ns);
        return run;
    };
    int serial = 0;
    std::string path, uuid;
    auto newReport = [&] {
        uuid = "R-" + std::to_string(++serial);
        Value::Dictionary fake = {{"PKRFakeCrashUUID", uuid},
                                  {"PKRFakeCrashAppVersion", "1.0.0"},
                                  {"PKRFakeCrashAppString", "report " + uuid}};
        path = addReport(manager_->newCrashFilename() + ".fake", Value(fake).toBinaryPropertyList());
    };
    auto uuidOf = [](const RawHttpService::Request& r) {
        size_t p = r.body.find("<uuid>");
        return p == std::string::npos ? std::string() : r.body.substr(p + 6, r.body.find("</uuid>", p) - p - 6);
    };
    // How long an uploader takes from its start to its end, unhurried: the
    // slowest of the last three unhurried runs, one in every 25 tries, so
    // that the moments follow the machine's load.
    std::deque<std::chrono::nanoseconds> unhurried;
    auto span = [&] { return *std::max_element(unhurried.begin(), unhurried.end()); };
    auto measured = [&](std::chrono::nanoseconds took) {
        unhurried.push_back(took);
        if (unhurried.size() > 3) unhurried.pop_front();
    };
    for (int run = 0; run < 3; ++run) {
        newReport();
        auto done = runUploader(-1);
        ASSERT_TRUE(done) << "the uploader server answered: " << answer;
        ASSERT_FALSE(done->killed) << "an unhurried uploader ended by signal " << done->code;
        ASSERT_EQ(0, done->code);
        ASSERT_FALSE(FileManager::exists(path));
        measured(done->span);
    }
    ASSERT_EQ(3u, service.requests().size());

    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::map<std::string, int> repeats;  // tries that sent a report and left it in the folder
    int kills = 0;
    for (int i = 0; i < 1000; ++i) {
        if (!FileManager::exists(path)) newReport();
        const bool unhurriedTry = i % 25 == 24;
        const int64_t delay = unhurriedTry ? -1 : std::uniform_int_distribution<int64_t>(0, span().count())(random);
        const size_t before = service.requests().size();
        auto done = runUploader(delay);
        ASSERT_TRUE(done) << "the uploader server answered: " << answer << " at try " << i;
        const bool killed = done->killed;
        ASSERT_TRUE(!killed || done->code == SIGKILL) << "try " << i << " ended by signal " << done->code;
        kills += killed;
        if (unhurriedTry) {
            ASSERT_FALSE(killed) << "an unhurried uploader ended by signal " << done->code;
            ASSERT_EQ(0, done->code) << "try " << i;
            measured(done->span);
        }
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
    auto end = server.finish();
    EXPECT_FALSE(end.timedOut);
    EXPECT_EQ(0, end.exitCode);
}

TEST_F(CrashStart, AnUncaughtCxxExceptionWithoutAnExceptionHandlerStillEndsInAbort) {
    auto result = startChild("uncaught").finish();
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(SIGABRT, result.signal);
}

TEST_F(CrashStart, TheApplicationsCallbackRunsOnceTheReportIsWritten) {
    auto result = startChild("callback").finish();
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(std::vector<std::string>{"called"}, result.lines);
    EXPECT_EQ(SIGSEGV, result.signal);
    EXPECT_TRUE(FileManager::exists(reporterPath()));
}

namespace {

// The sanitizers would stop a null store before it faults, and the compiler
// would make a store it can see is null a trap instead.
int* volatile gNull = nullptr;
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashByNullStore() { *gNull = 1; }

void report(const std::string& line) {
    std::string text = line + "\n";
    (void)!write(childcase::kReportFd, text.data(), text.size());
}

std::shared_ptr<PKRCrashManager> childManager() {
    return std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
}

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Uploads what the folder holds to `url`, to its end.
[[noreturn]] void upload(const std::string& url) {
    auto m = childManager();
    m->setCrashManagerStatus(PKRCrashManager::kAutoSend);
    m->setPelkorAppClient(std::make_shared<PKRPelkorAppClient>(url));
    m->invokeDelayedProcessing();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m->sendingInProgress() && std::chrono::steady_clock::now() < end) pf::RunLoop::main().runOnce(0.01);
    _exit(m->sendingInProgress() ? 1 : 0);
}

// For each line "<delay ns>" it reads, forks an uploader and kills it that
// long after its start (never when negative); it answers "exit <status>
// <ns>" or "signal <signal> <ns>", the time from start to end. It stays on
// one thread, so that a fork copies no lock held by another.
void serveUploaders(const std::string& url) {
    std::string pending;
    char buf[256];
    for (;;) {
        size_t nl;
        while ((nl = pending.find('\n')) == std::string::npos) {
            ssize_t n = read(childcase::kCommandFd, buf, sizeof buf);
            if (n <= 0) return;  // the test is done
            pending.append(buf, size_t(n));
        }
        const long long delay = std::stoll(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        if (int threads = threadCount(); threads != 1) {
            report("error: the uploader server runs " + std::to_string(threads) + " threads");
            return;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid < 0) return;
        if (pid == 0) {
            alarm(30);  // ends one that hangs: the wait below is bounded
            upload(url);
        }
        if (delay >= 0) {
            // Killed at the moment unless it ended before, so that the time
            // reported for one that ended is its own.
            timespec ts{time_t(delay / 1000000000), long(delay % 1000000000)};
            const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
            bool ended = false;
            if (pidfd >= 0) {
                pollfd p{pidfd, POLLIN, 0};
                ended = ppoll(&p, 1, &ts, nullptr) > 0;
                close(pidfd);
            } else {
                while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
                }
            }
            if (!ended) kill(pid, SIGKILL);
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0);
        report(std::string(WIFSIGNALED(status) ? "signal " : "exit ") +
               std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)) + " " +
               std::to_string(ns.count()));
    }
}

}  // namespace

// The child side of the cases above, in the test's sandbox and main bundle;
// does nothing in a normal run.
QM_CHILD_TEST(CrashStartChild, Run) {
    const char* name = childcase::current();
    if (!name) return;
    pf::Sandbox::setHome(getenv("QM_CHILD_HOME"));
    pf::UserDefaults::resetStandard();
    pf::Bundle::setMainBundlePath(getenv("QM_CHILD_BUNDLE"));
    platform::ui::Application::shared().becomeActive();
    const std::string k = name;
    if (k == "start" || k == "start detecting kills" || k == "start with a log") {
        static Recorder delegate;
        delegate.applicationLog = "the log before the crash";
        auto m = childManager();
        if (k == "start detecting kills") m->setEnableAppNotTerminatingCleanlyDetection(true);
        if (k == "start with a log") m->setDelegate(&delegate);
        m->startManager();
        pf::UserDefaults::standard().synchronize();
        report(std::to_string(m->didCrashInLastSession()) + " " +
               std::to_string(m->timeIntervalCrashInLastSessionOccurred()) + " " +
               m->lastCrashFilename().value_or("-"));
        _exit(0);
    }
    if (k == "uncaught") {
        auto m = childManager();
        m->startManager();
        pf::setUncaughtExceptionHandler(nullptr);
        // On a thread of its own, where no test framework catches it.
        std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
        _exit(0);
    }
    if (k == "callback") {
        static int fd = childcase::kReportFd;
        static PKRCrashManagerCallbacks callbacks = {
            &fd, [](void* context) { (void)!write(*static_cast<int*>(context), "called\n", 7); }};
        auto m = childManager();
        m->setCrashCallbacks(&callbacks);
        m->startManager();
        crashByNullStore();
        _exit(0);
    }
    if (k == "uploader server") {
        const int threads = threadCount();
        if (threads != 1) {
            report("error: the uploader server starts with " + std::to_string(threads) + " threads");
            _exit(2);
        }
        report("ready");
        serveUploaders(getenv("QM_CHILD_URL"));
        _exit(0);
    }
    _exit(4);
}
