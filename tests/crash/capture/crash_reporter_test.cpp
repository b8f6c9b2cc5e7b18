#include "crash/capture/PKROVCrashReporter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/handler/CrashLogWriter.h"
#include "crash/capture/handler/CrashTimeContext.h"
#include "crash/capture/image/ImageList.h"
#include "crash/capture/report/PKROVCrashReport.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/system/Loader.h"
#include "platform/system/MachThread.h"
#include "tests/crash/capture/ChildProcess.h"

namespace fs = std::filesystem;
using platform::foundation::Error;
using platform::foundation::Sandbox;
namespace ps = platform::system;

namespace {

// A thread that counts until told to stop; with blockStop it never reaches
// the stop handler.
struct Spinner {
    std::atomic<bool> quit{false};
    std::atomic<uint64_t> count{0};
    std::atomic<ps::thread_t> tid{0};
    std::thread thread;
    explicit Spinner(bool blockStop = false) {
        ps::thread_control_prepare();
        thread = std::thread([this, blockStop] {
            if (blockStop) {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, ps::thread_control_signal());
                pthread_sigmask(SIG_BLOCK, &set, nullptr);
            }
            tid = ps::mach_thread_self();
            while (!quit) count.fetch_add(1, std::memory_order_relaxed);
        });
        while (tid == 0) std::this_thread::yield();
    }
    ~Spinner() {
        quit = true;
        thread.join();
    }
};

int taskThreadCount() {
    ps::thread_act_array_t list;
    ps::mach_msg_type_number_t n = 0;
    ps::task_threads(ps::mach_task_self(), &list, &n);
    ps::task_threads_release(list);
    return int(n);
}

class PKROVCrashReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("reporter-test-" + std::to_string(getpid()));
        ASSERT_TRUE(Sandbox::setHome(home_.string()));
        reporter_ = std::make_unique<PKROVCrashReporter>("com.example/tests", "3", std::nullopt,
                                                         PKROVCrashReporterConfig::defaultConfiguration());
    }
    void TearDown() override {
        Sandbox::setHome("");
        fs::remove_all(home_);
    }
    std::shared_ptr<PKROVCrashReport> decode(const std::optional<std::vector<uint8_t>>& bytes) {
        if (!bytes) return nullptr;
        Error error;
        auto report = PKROVCrashReport::initWithData(*bytes, &error);
        EXPECT_TRUE(report) << error.localizedDescription();
        return report;
    }
    std::unique_ptr<PKROVCrashReporter> reporter_;
    fs::path home_;
};

}  // namespace

TEST_F(PKROVCrashReporterTest, ReportFolderReplacesSlashes) {
    EXPECT_EQ(fs::path(reporter_->crashReportDirectory()).filename(), "com.example_tests");
    EXPECT_EQ(fs::path(reporter_->crashReportPath()).filename(), "live_report.ovcrash");
}

TEST_F(PKROVCrashReporterTest, LiveReportOfTheCallingThreadIsATraceTrapAndLeavesNoFile) {
    Spinner other;
    int threads = taskThreadCount();
    auto report = decode(reporter_->generateLiveReport());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
    EXPECT_EQ(int(report->threads().size()), threads);
    int crashed = 0;
    for (const auto& t : report->threads()) {
        crashed += t->crashed();
        EXPECT_FALSE(t->stackFrames().empty());  // the other thread was stopped and walked
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "com.example/tests");
    EXPECT_FALSE(report->images().empty());
    for (const auto& entry : fs::directory_iterator(Sandbox::tmp()))
        EXPECT_EQ(entry.path().filename().string().rfind("live_crash_report.", 0), std::string::npos);
    // Stopped for the report, running again after it.
    uint64_t seen = other.count.load();
    while (other.count.load() == seen) std::this_thread::yield();
}

TEST_F(PKROVCrashReporterTest, LiveReportOfAnotherThreadMarksItAndLeavesTheCallerOut) {
    Spinner target;
    int threads = taskThreadCount();
    auto report = decode(reporter_->generateLiveReportWithThread(target.tid));
    ASSERT_TRUE(report);
    EXPECT_EQ(int(report->threads().size()), threads - 1);
    int crashed = 0;
    for (const auto& t : report->threads())
        if (t->crashed()) {
            ++crashed;
            EXPECT_FALSE(t->stackFrames().empty());
            EXPECT_FALSE(t->registers().empty());
        }
    EXPECT_EQ(crashed, 1);
    uint64_t seen = target.count.load();
    while (target.count.load() == seen) std::this_thread::yield();
}

TEST_F(PKROVCrashReporterTest, ThreadThatCannotStopIsWrittenWithoutFramesAndRunsOn) {
    Spinner blind(true);
    int threads = taskThreadCount();
    auto report = decode(reporter_->generateLiveReport());
    ASSERT_TRUE(report);
    EXPECT_EQ(int(report->threads().size()), threads);
    int withoutFrames = 0;
    for (const auto& t : report->threads()) withoutFrames += t->stackFrames().empty();
    EXPECT_GE(withoutFrames, 1);
    uint64_t seen = blind.count.load();
    while (blind.count.load() == seen) std::this_thread::yield();
}

TEST_F(PKROVCrashReporterTest, FailingThreadListStillWritesTheCrashedThread) {
    // Every thread list is taken: the writer cannot list the task.
    ps::thread_act_array_t held[4];
    ps::mach_msg_type_number_t n;
    int taken = 0;
    while (taken < 4 && ps::task_threads(ps::mach_task_self(), &held[taken], &n) == ps::KERN_SUCCESS) ++taken;
    ASSERT_NE(ps::task_threads(ps::mach_task_self(), &held[0], &n), ps::KERN_SUCCESS);
    auto report = decode(reporter_->generateLiveReport());
    for (int i = 0; i < taken; ++i) ps::task_threads_release(held[i]);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->threads().size(), 1u);
    EXPECT_TRUE(report->threads()[0]->crashed());
    EXPECT_FALSE(report->threads()[0]->stackFrames().empty());
}

TEST_F(PKROVCrashReporterTest, MissingRequiredStringsAreWrittenEmpty) {
    std::string path = (home_ / "empty.ovcrash").string();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(ovcrash::crash_reporter_write_live_report(fd, ps::mach_thread_self(), 0, nullptr, nullptr, nullptr, 0,
                                                        ovcrash::shared_image_list()),
              ovcrash::ASYNC_ESUCCESS);
    std::ifstream in(path, std::ios::binary);
    auto report = decode(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(report);
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "");
    EXPECT_EQ(report->applicationInfo()->applicationVersion(), "");
}

// However many images and however long the exception, the exception and the
// signal still fit under the file limit, and the report decodes.
TEST_F(PKROVCrashReporterTest, ExceptionAndSignalAlwaysFitUnderTheLimit) {
    ovcrash::image_list images;
    ovcrash::image_list_init(&images, ps::mach_task_self());
    ps::dyld_rescan();
    for (int i = 0; i < 4000; ++i)
        ovcrash::image_list_append(&images, reinterpret_cast<uint64_t>(ps::dyld_get_image_header(0)),
                                   std::string(200, 'i').c_str());
    ovcrash::crash_log_writer writer;
    ovcrash::crash_log_writer_init(&writer, "id", "1", nullptr, 0, false);
    std::vector<uint64_t> stack(600, 0x1234);
    ovcrash::PKRovcrash_log_writer_set_exception(&writer, "Big", std::string(1 << 20, 'r').c_str(), stack.data(),
                                                 stack.size());
    std::string path = (home_ / "big.ovcrash").string();
    ovcrash::crash_signal_info siginfo{{11, 1, 0x10}, nullptr};
    ASSERT_EQ(ovcrash::write_crash_report_file(&writer, AT_FDCWD, path.c_str(), 0, &images, nullptr, &siginfo),
              ovcrash::ASYNC_ESUCCESS);
    ovcrash::crash_log_writer_free(&writer);
    EXPECT_LE(fs::file_size(path), ovcrash::ASYNC_FILE_REPORT_LIMIT);
    std::ifstream in(path, std::ios::binary);
    auto report = decode(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "Big");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason().size(), ovcrash::CRASH_LOG_MAX_EXCEPTION_TEXT);
    EXPECT_EQ(report->exceptionInfo()->stackFrames()->size(), size_t(ovcrash::CRASH_LOG_MAX_EXCEPTION_FRAMES));
    EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
    EXPECT_GT(report->images().size(), 100u);
    EXPECT_LT(report->images().size(), 4000u);
    for (int i = 0; i < 4000; ++i)
        ovcrash::image_list_remove(&images, reinterpret_cast<uint64_t>(ps::dyld_get_image_header(0)));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Four uncaught exceptions at the same moment: one records, every other is
// the programming error, and the process ends with its assertion.
TEST_F(PKROVCrashReporterTest, OnlyOneOfTwoExceptionsAtOnceIsRecorded) {
    const fs::path said = home_ / "stderr";
    auto r = crashtest::runInChild([&] {
        int fd = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        ovcrash::crash_log_writer writer;
        ovcrash::crash_log_writer_init(&writer, "id", "1", nullptr, 0, false);
        const std::string reason(1 << 20, 'r');
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 4) {
                }
                ovcrash::PKRovcrash_log_writer_set_exception(&writer, "Twice", reason.c_str(), nullptr, 0);
            });
        for (auto& t : threads) t.join();
    });
    EXPECT_TRUE(r.signaled(SIGABRT)) << r.status;
    EXPECT_NE(readText(said).find("writer->uncaught_exception.has_exception == false"), std::string::npos);
}

// Enabling installs process-wide handlers: each case runs in a child.
TEST_F(PKROVCrashReporterTest, AFailedEnableIsTheProcesssOnlyAttempt) {
    auto r = crashtest::runInChild([this] {
        // The report folder cannot be made: a file stands where the folder it
        // goes in belongs (one where the report folder itself belongs is set aside).
        fs::path caches = Sandbox::caches();
        fs::remove_all(caches);
        std::ofstream(caches.string()) << "in the way";
        Error error;
        if (reporter_->enableCrashReporter(&error) || reporter_->isEnabled()) _exit(10);
        fs::remove(caches);
        // The way is clear now, but the process has had its attempt.
        PKROVCrashReporter second("com.example.second", "1", std::nullopt, nullptr);
        for (PKROVCrashReporter* reporter : {reporter_.get(), &second}) {
            error = Error();
            if (reporter->enableCrashReporter(&error) || reporter->isEnabled() ||
                error.code != OVCrashReporterErrorResourceBusy ||
                error.localizedDescription() != "A OVCrashReporter instance has already been enabled")
                _exit(11);
        }
        // A reporter enabled after all would write its report here. (An abort,
        // which the address sanitizer leaves to the default action as this
        // process should.)
        fs::create_directories(reporter_->crashReportDirectory());
        raise(SIGABRT);
    });
    EXPECT_TRUE(r.signaled(SIGABRT)) << r.status;
    EXPECT_FALSE(fs::exists(reporter_->crashReportPath()));
}

TEST_F(PKROVCrashReporterTest, AfterAnEnableNoOtherReporterEnablesNorCallbacksChange) {
    auto r = crashtest::runInChild([this] {
        Error error;
        if (!reporter_->enableCrashReporter(&error)) _exit(11);
        PKROVCrashReporter second("com.example.second", "1", std::nullopt, nullptr);
        if (second.enableCrashReporter(&error) || error.code != OVCrashReporterErrorResourceBusy ||
            error.localizedDescription() != "A OVCrashReporter instance has already been enabled")
            _exit(12);
        try {
            OVCrashReporterCallbacks callbacks{0, nullptr, nullptr};
            reporter_->setCrashCallbacks(&callbacks);
            _exit(13);
        } catch (const platform::foundation::Exception& e) {
            if (e.name() != OVCrashReporterException) _exit(14);
        }
    });
    EXPECT_TRUE(r.exited(0)) << r.status;
}

namespace {
void markCrash(siginfo_t* info, ucontext_t*, void* context) {
    int fd = open(static_cast<const char*>(context), O_WRONLY | O_CREAT, 0644);
    char signo = char('0' + info->si_signo);
    write(fd, &signo, 1);
    close(fd);
}
}  // namespace

TEST_F(PKROVCrashReporterTest, CrashWritesTheReportThenCallsThePostCrashCallback) {
    std::string marker = (home_ / "marker").string();
    auto r = crashtest::runInChild([&] {
        OVCrashReporterCallbacks callbacks{0, marker.data(), markCrash};
        reporter_->setCrashCallbacks(&callbacks);
        if (!reporter_->enableCrashReporter()) _exit(10);
        raise(SIGBUS);
    });
    EXPECT_TRUE(r.signaled(SIGBUS)) << r.status;
    std::ifstream in(marker);
    EXPECT_EQ(in.get(), '0' + SIGBUS);
    ASSERT_TRUE(reporter_->hasPendingCrashReport());
    auto bytes = reporter_->loadPendingCrashReportData();
    auto report = decode(bytes);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo()->name(), "SIGBUS");
    EXPECT_TRUE(reporter_->purgePendingCrashReport());
    EXPECT_FALSE(reporter_->hasPendingCrashReport());
}

// A link planted where the report belongs, dangling or to a file outside:
// the crash writes its report in the link's place, never through it.
TEST_F(PKROVCrashReporterTest, CrashNeverWritesThroughALinkAtTheReportPath) {
    const fs::path existing = home_ / "outside.txt", missing = home_ / "made.txt";
    std::ofstream(existing) << "outside";
    for (const fs::path& target : {missing, existing}) {
        SCOPED_TRACE(target.string());
        auto r = crashtest::runInChild([&] {
            if (!reporter_->enableCrashReporter()) _exit(10);
            fs::create_symlink(target, reporter_->crashReportPath());
            raise(SIGBUS);
        });
        EXPECT_TRUE(r.signaled(SIGBUS)) << r.status;
        EXPECT_FALSE(fs::is_symlink(reporter_->crashReportPath()));
        EXPECT_EQ(readText(existing), "outside");
        EXPECT_FALSE(fs::exists(missing));
        auto report = decode(reporter_->loadPendingCrashReportData());
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo()->name(), "SIGBUS");
        EXPECT_TRUE(reporter_->purgePendingCrashReport());
    }
}

// At start a link at the report's path is no pending report: it goes, with a
// line, and what it pointed at stays as it was.
TEST_F(PKROVCrashReporterTest, ALinkAtTheReportPathIsRemovedNotFollowed) {
    const fs::path existing = home_ / "outside.txt", missing = home_ / "made.txt";
    std::ofstream(existing) << "outside";
    fs::create_directories(reporter_->crashReportDirectory());
    std::vector<std::string> lines;
    platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
    for (const fs::path& target : {existing, missing}) {
        fs::create_symlink(target, reporter_->crashReportPath());
        EXPECT_FALSE(reporter_->hasPendingCrashReport()) << target;
        EXPECT_FALSE(fs::is_symlink(reporter_->crashReportPath())) << target;
    }
    platform::foundation::setLogSink(nullptr);
    EXPECT_EQ(readText(existing), "outside");
    EXPECT_FALSE(fs::exists(missing));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("a link stood at " + reporter_->crashReportPath()), std::string::npos) << lines[0];
}

// A report that takes the path back between the look (a link there) and the
// removal stays: what is removed is what was looked at.
TEST_F(PKROVCrashReporterTest, AReportInPlaceOfTheLinkByTheRemovalStays) {
    const std::string path = reporter_->crashReportPath(), away = path + ".swapped";
    fs::create_directories(reporter_->crashReportDirectory());
    std::ofstream(away) << "a report";
    fs::create_symlink(home_ / "outside.txt", path);
    std::vector<std::string> lines;
    platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
    int steps = 0;
    platform::foundation::FileManager::setStepBetweenLookAndAct([&](const std::string& p) {
        if (p == path && steps++ == 0) renameat2(AT_FDCWD, away.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
    });
    const bool pending = reporter_->hasPendingCrashReport();
    platform::foundation::FileManager::setStepBetweenLookAndAct(nullptr);
    platform::foundation::setLogSink(nullptr);
    EXPECT_EQ(steps, 2);  // at the look, and before the report went back
    EXPECT_TRUE(pending);
    EXPECT_EQ(readText(path), "a report");
    EXPECT_EQ(lines, std::vector<std::string>{});
    EXPECT_TRUE(fs::is_symlink(away));
}

// The reporter's folders linked to one outside: the link is set aside with a
// line, and neither the start nor a crash reads, moves or writes there.
TEST_F(PKROVCrashReporterTest, ALinkedReporterFolderIsSetAsideNeverFollowed) {
    const fs::path app = reporter_->crashReportDirectory(), data = app.parent_path();
    for (const fs::path& linked : {app, data}) {
        SCOPED_TRACE(linked.string());
        fs::remove_all(data);
        fs::create_directories(linked.parent_path());
        // What the link leads to looks like the folder it stands for.
        const fs::path outside = home_ / "outside";
        fs::remove_all(outside);
        const fs::path report = linked == app ? outside / "live_report.ovcrash"
                                              : outside / app.filename() / "live_report.ovcrash";
        fs::create_directories(report.parent_path());
        std::ofstream(report) << "outside";
        fs::create_symlink(outside, linked);

        std::vector<std::string> lines;
        platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
        EXPECT_FALSE(reporter_->hasPendingCrashReport());
        platform::foundation::setLogSink(nullptr);
        EXPECT_FALSE(fs::is_symlink(linked));
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].find("stood where the folder " + linked.string()), std::string::npos) << lines[0];

        auto r = crashtest::runInChild([&] {
            if (!reporter_->enableCrashReporter()) _exit(10);
            raise(SIGBUS);
        });
        EXPECT_TRUE(r.signaled(SIGBUS)) << r.status;
        EXPECT_TRUE(reporter_->hasPendingCrashReport());
        std::vector<fs::path> found;
        for (const auto& e : fs::recursive_directory_iterator(outside)) found.push_back(e.path());
        EXPECT_EQ(found.size(), linked == app ? 1u : 2u);
        EXPECT_EQ(readText(report), "outside");
    }
}

// The reporter prepared again and again while it is armed: a record a
// handler holds stays whole, and a crash at any moment writes its report.
TEST_F(PKROVCrashReporterTest, PreparingAgainWhileArmedLeavesNoCrashUnreported) {
    const std::string path = (home_ / "again.ovcrash").string();
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE(run);
        fs::remove(path);
        auto r = crashtest::runInChild([&] {
            auto prepare = [&] {
                ovcrash::crash_reporter_prepare(AT_FDCWD, path.c_str(), "id", "1", nullptr, 0, ovcrash::shared_image_list());
            };
            prepare();
            ovcrash::signal_handler_failure failure;
            if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) _exit(10);
            {
                ovcrash::crash_time_hold hold(ovcrash::crash_reporter_context(), true);
                const ovcrash::crash_time_record* held = hold.record();
                prepare();  // replaces the record a handler holds: it stays whole
                if (!held || held->report_name != path || !held->writer.application_info.identifier) _exit(11);
            }
            std::atomic<int> rounds{0};
            std::thread([&] {
                for (;;) prepare(), rounds.fetch_add(1);
            }).detach();
            while (rounds.load() < 20) {
            }
            raise(SIGSEGV);
        });
        EXPECT_TRUE(r.signaled(SIGSEGV)) << r.status;
        const std::string bytes = readText(path);
        auto report = decode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
    }
}

// Two threads asking for live reports at the same moment, again and again:
// each would stop the other while that one stops it, and both would wait
// out the stop's bound (seconds) at every such meeting. Both end, each with
// reports that decode; the bound only tells a frozen child.
TEST_F(PKROVCrashReporterTest, LiveReportsOfTwoThreadsAtOnceAllEnd) {
    constexpr int kRounds = 200;
    auto r = crashtest::runInChild(
        [&] {
            std::atomic<int> good{0}, arrived{0};
            // Busy threads to stop: the reporters share the processors with
            // them, so that one may be held up half-way through stopping.
            std::atomic<bool> done{false};
            std::vector<std::thread> idle;
            for (int i = 0; i < 24; ++i)
                idle.emplace_back([&] {
                    while (!done.load()) sched_yield();
                });
            auto reports = [&] {
                for (int i = 0; i < kRounds; ++i) {
                    // Both threads start each report together.
                    arrived.fetch_add(1);
                    while (arrived.load() < 2 * (i + 1)) {
                    }
                    auto bytes = reporter_->generateLiveReport();
                    Error error;
                    if (bytes && PKROVCrashReport::initWithData(*bytes, &error)) good.fetch_add(1);
                }
            };
            std::thread first(reports), second(reports);
            first.join();
            second.join();
            done.store(true);
            for (std::thread& t : idle) t.join();
            _exit(good.load() == 2 * kRounds ? 0 : 20);
        },
        90000);
    EXPECT_TRUE(r.exited(0)) << (r.timedOut ? "frozen" : "status " + std::to_string(r.status));
}

// A live report asked for while another one is under way waits for it: no
// thread is ever caught inside another live report's writing. The second
// reporter keeps the stop signal blocked, so the first cannot stop it and
// waits for it (a fraction of a second) with the other threads stopped.
TEST_F(PKROVCrashReporterTest, ALiveReportWaitsForTheOneUnderWay) {
    auto r = crashtest::runInChild([&] {
        PKROVCrashReporter reporter(
            "com.example/tests", "3", std::nullopt,
            std::make_shared<PKROVCrashReporterConfig>(PKROVCrashReporterConfig::kSignalHandlerTypeBSD, 3));
        ps::thread_control_prepare();
        std::atomic<bool> firstDone{false};
        std::atomic<int> caught{0}, seconds{0};
        std::thread first([&] {
            for (int i = 0; i < 3; ++i) reporter.generateLiveReport();
            firstDone.store(true);
        });
        std::thread second([&] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, ps::thread_control_signal());
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            while (!firstDone.load() || seconds.load() == 0) {
                auto bytes = reporter.generateLiveReport();
                Error error;
                auto report = bytes ? PKROVCrashReport::initWithData(*bytes, &error) : nullptr;
                if (!report) _exit(20);
                seconds.fetch_add(1);
                for (const auto& t : report->threads()) {
                    if (t->crashed()) continue;
                    for (const auto& frame : t->stackFrames())
                        if (frame->symbolInfo() &&
                            frame->symbolInfo()->symbolName().find("crash_log_writer_write") != std::string::npos)
                            caught.fetch_add(1);
                }
            }
        });
        first.join();
        second.join();
        _exit(caught.load() == 0 ? 0 : 21);
    });
    EXPECT_TRUE(r.exited(0)) << (r.exited(21) ? "a thread was caught inside another live report"
                                              : "status " + std::to_string(r.status));
}

namespace {
PKROVCrashReporter* gAskedFromHandler = nullptr;
std::atomic<int> gHandlerAnswers{0}, gHandlerBusy{0};

void askForLiveReport(int) {
    Error error;
    if (!gAskedFromHandler->generateLiveReport(&error) && error.code == OVCrashReporterErrorResourceBusy)
        gHandlerBusy.fetch_add(1);
    gHandlerAnswers.fetch_add(1);
}
}  // namespace

// While a live report is under way (it waits a while for this test's thread,
// which blocks the stop signal), a signal handler on its thread asks for
// another one and a child is forked: the handler's call ends at once with an
// error, and the child, copied with the report's turn held by a thread it
// does not have, makes a report of its own.
TEST_F(PKROVCrashReporterTest, ALiveReportAskedForWhileOneIsUnderWayEnds) {
    auto r = crashtest::runInChild([&] {
        if (!reporter_->enableCrashReporter()) _exit(10);
        gAskedFromHandler = reporter_.get();
        signal(SIGUSR1, askForLiveReport);
        ps::thread_control_prepare();
        sigset_t stop, pending;
        sigemptyset(&stop);
        sigaddset(&stop, ps::thread_control_signal());
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        std::atomic<ps::thread_t> writer{0};
        std::thread reports([&] {
            writer = ps::mach_thread_self();
            if (!reporter_->generateLiveReport()) _exit(20);
        });
        // Under way once it has tried to stop this thread.
        while (sigpending(&pending) != 0 || !sigismember(&pending, ps::thread_control_signal())) sched_yield();
        syscall(SYS_tgkill, getpid(), writer.load(), SIGUSR1);
        const pid_t child = fork();
        if (child == 0) {
            auto bytes = reporter_->generateLiveReport();
            Error error;
            _exit(bytes && PKROVCrashReport::initWithData(*bytes, &error) ? 0 : 30);
        }
        const crashtest::ChildResult made = crashtest::waitChild(child, 30000);
        if (!made.exited(0)) _exit(made.timedOut ? 31 : 32);
        for (int i = 0; gHandlerAnswers.load() == 0; ++i) {
            if (i == 20000) _exit(21);  // 20 s: frozen
            usleep(1000);
        }
        reports.join();
        _exit(gHandlerBusy.load() == 1 ? 0 : 22);
    });
    EXPECT_TRUE(r.exited(0)) << (r.exited(21)   ? "the thread froze inside its own live report"
                                 : r.exited(31) ? "the child froze at its live report"
                                                : "status " + std::to_string(r.status));
}

// A thread crashes while another one writes live reports: the crash still
// leaves its report, of the crashed thread.
TEST_F(PKROVCrashReporterTest, ACrashDuringALiveReportLeavesItsReport) {
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE(run);
        auto r = crashtest::runInChild([&] {
            if (!reporter_->enableCrashReporter()) _exit(10);
            std::atomic<int> made{0};
            std::thread([&] {
                for (;;) reporter_->generateLiveReport(), made.fetch_add(1);
            }).detach();
            while (made.load() < 1 + run) {
            }
            raise(SIGSEGV);
        });
        EXPECT_TRUE(r.signaled(SIGSEGV)) << r.status;
        ASSERT_TRUE(reporter_->hasPendingCrashReport());
        auto report = decode(reporter_->loadPendingCrashReportData());
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
        int crashed = 0;
        for (const auto& t : report->threads()) crashed += t->crashed() && !t->stackFrames().empty();
        EXPECT_EQ(crashed, 1);
        EXPECT_TRUE(reporter_->purgePendingCrashReport());
    }
}
