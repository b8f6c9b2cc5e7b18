// Crash reporter costs: enabling it (goal under 0.5 ms), and writing a report
// of a process with 10 threads (goal under 5 ms and 64 KiB) and with 300
// threads (goal under 100 ms), live and from a real signal's handler as at a
// crash, and with 1,000 libraries opened behind the loader's back; each
// iteration opens and closes its report file. The report size is the
// "bytes" counter.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/handler/CrashLogWriter.h"
#include "crash/capture/handler/CrashSignalTables.h"
#include "crash/capture/handler/CrashTimeContext.h"
#include "crash/capture/handler/PKROVCrashSignalHandler.h"
#include "crash/capture/image/ImageList.h"
#include "platform/system/Loader.h"
#include "platform/system/Mach.h"

namespace {

std::string tempPath(const char* name) { return "/tmp/bench_crash_writer_" + std::to_string(getpid()) + name; }

// Threads that wait, idle, until the benchmark ends.
class IdleThreads {
public:
    explicit IdleThreads(int n) {
        for (int i = 0; i < n; ++i)
            threads_.emplace_back([this] {
                std::unique_lock lock(m_);
                cv_.wait(lock, [this] { return done_; });
            });
    }
    ~IdleThreads() {
        {
            std::lock_guard lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::vector<std::thread> threads_;
};

void BM_EnableReporter(benchmark::State& state) {
    ovcrash::shared_image_list_start();
    std::string path = tempPath("_enable.ovcrash");
    for (auto _ : state) {
        ovcrash::crash_reporter_prepare(AT_FDCWD, path.c_str(), "com.example.bench", "1", "1.0", 0, ovcrash::shared_image_list());
        ovcrash::signal_handler_failure failure;
        if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) state.SkipWithError(failure.description);
        state.PauseTiming();
        PKROVCrashSignalHandler::resetHandlers();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_EnableReporter)->Unit(benchmark::kMicrosecond);

// A live report of the calling thread: every other thread is stopped, walked
// and started again, as at crash time.
void BM_WriteReport(benchmark::State& state) {
    ovcrash::shared_image_list_start();
    IdleThreads others(int(state.range(0)) - 1);
    std::string path = tempPath("_write.ovcrash");
    off_t size = 0;
    int first_fd = -1;
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        // The report closes its file: the same descriptor comes back each time.
        if (first_fd < 0) first_fd = fd;
        if (fd != first_fd) state.SkipWithError("a report left its file open");
        auto result =
            ovcrash::crash_reporter_write_live_report(fd, platform::system::mach_thread_self(), 0, "com.example.bench",
                                                      "1", "1.0", 0, ovcrash::shared_image_list());
        if (result != ovcrash::ASYNC_ESUCCESS) state.SkipWithError(ovcrash::async_error_string(result));
        struct stat st {};
        stat(path.c_str(), &st);
        size = st.st_size;
    }
    unlink(path.c_str());
    state.counters["bytes"] = double(size);
}
BENCHMARK(BM_WriteReport)->Arg(10)->Arg(300)->Unit(benchmark::kMillisecond);

// What the crash handler does, from inside a real signal's handler on the
// alternate stack: the report of the interrupted thread, from the signal's
// registers, into a file opened and closed by the write.
struct SignalReport {
    ovcrash::crash_log_writer writer;
    std::string path;
    ovcrash::async_error result = ovcrash::ASYNC_ESUCCESS;
};
SignalReport* gSignalReport = nullptr;

void reportFromSignal(int, siginfo_t*, void* context) {
    ovcrash::thread_state registers;
    ovcrash::thread_state_init_from_mcontext(&registers, &static_cast<ucontext_t*>(context)->uc_mcontext);
    ovcrash::crash_signal_info siginfo{};
    siginfo.bsd = {ovcrash::PLATFORM_SIGTRAP, ovcrash::PLATFORM_TRAP_TRACE, 0};
    gSignalReport->result =
        ovcrash::write_crash_report_file(&gSignalReport->writer, AT_FDCWD, gSignalReport->path.c_str(), ovcrash::async_thread_self(),
                                         ovcrash::shared_image_list(), &registers, &siginfo);
}

void BM_WriteReportFromSignal(benchmark::State& state) {
    ovcrash::shared_image_list_start();
    IdleThreads others(int(state.range(0)) - 1);
    SignalReport report;
    report.path = tempPath("_signal.ovcrash");
    ovcrash::crash_log_writer_init(&report.writer, "com.example.bench", "1", "1.0", 0, false);
    gSignalReport = &report;
    // The reporter's own alternate stack and stack notes, as enabling it leaves them.
    ovcrash::crash_reporter_prepare(AT_FDCWD, report.path.c_str(), "com.example.bench", "1", "1.0", 0,
                                    ovcrash::shared_image_list());
    ovcrash::signal_handler_failure failure;
    if (!ovcrash::crash_reporter_install_signal_handlers(&failure)) state.SkipWithError(failure.description);
    struct sigaction action {}, previous{};
    action.sa_sigaction = reportFromSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGUSR2, &action, &previous);
    const auto pid = getpid();
    const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
    for (auto _ : state) {
        syscall(SYS_tgkill, pid, tid, SIGUSR2);  // handled before the call returns
        if (report.result != ovcrash::ASYNC_ESUCCESS) state.SkipWithError(ovcrash::async_error_string(report.result));
    }
    sigaction(SIGUSR2, &previous, nullptr);
    PKROVCrashSignalHandler::resetHandlers();
    struct stat st {};
    stat(report.path.c_str(), &st);
    state.counters["bytes"] = double(st.st_size);
    unlink(report.path.c_str());
    gSignalReport = nullptr;
    ovcrash::crash_log_writer_free(&report.writer);
}
BENCHMARK(BM_WriteReportFromSignal)->Arg(10)->Arg(300)->Unit(benchmark::kMillisecond);

// A live report of a process with 1,000 libraries opened with a plain
// dlopen: first before the loader has looked (each found at crash time from
// the linker's list), then once it has, as libraries opened before the
// reporter started are. Goal: the first costs at most twice the second; so
// too for libraries without a build-id, told apart by their files (opened
// after the first 1,000, which stay open).
class ManyLibraries {
public:
    static constexpr int kCount = 1000;
    ManyLibraries(const char* library, const std::string& name)
        : dir_("/tmp/bench_crash_writer_" + std::to_string(getpid()) + "_" + name) {
        mkdir(dir_.c_str(), 0700);
        for (int i = 0; i < kCount; ++i) {
            const std::string path = dir_ + "/library-" + std::to_string(i) + ".so";
            std::error_code error;
            if (!std::filesystem::copy_file(library, path, error)) return;
            if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) handles_.push_back(handle);
        }
    }
    ~ManyLibraries() {
        for (void* handle : handles_) dlclose(handle);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    size_t opened() const { return handles_.size(); }

private:
    std::string dir_;
    std::vector<void*> handles_;
};

// `libraries` are opened on first use, once the reporter has started.
void writeReportWithManyLibraries(benchmark::State& state, ManyLibraries& (*libraries)()) {
    ovcrash::shared_image_list_start();
    // As enabling the reporter does.
    ovcrash::image_list_prepare_crash_time(ovcrash::shared_image_list(), ovcrash::kImageListCrashTimeImages);
    if (libraries().opened() != ManyLibraries::kCount) state.SkipWithError("could not open the libraries");
    const bool known = state.range(0) == 1;
    if (known) platform::system::dyld_rescan();
    std::string path = tempPath("_many.ovcrash");
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        auto result =
            ovcrash::crash_reporter_write_live_report(fd, platform::system::mach_thread_self(), 0, "com.example.bench",
                                                      "1", "1.0", 3, ovcrash::shared_image_list());
        if (result != ovcrash::ASYNC_ESUCCESS) state.SkipWithError(ovcrash::async_error_string(result));
    }
    struct stat st {};
    stat(path.c_str(), &st);
    state.counters["bytes"] = double(st.st_size);
    unlink(path.c_str());
    state.SetLabel(known ? "known to the loader" : "found at crash time");
}

void BM_WriteReportWithManyLibraries(benchmark::State& state) {
    writeReportWithManyLibraries(state, []() -> ManyLibraries& {
        static ManyLibraries libraries(QM_OPENED_LIBRARY, "libraries");
        return libraries;
    });
}
void BM_WriteReportWithManyLibrariesWithoutBuildId(benchmark::State& state) {
    writeReportWithManyLibraries(state, []() -> ManyLibraries& {
        static ManyLibraries libraries(QM_ANONYMOUS_LIBRARY, "anonymous");
        return libraries;
    });
}
// Order matters: the loader must not have looked before the first of each.
// Last in this program: the libraries stay open.
BENCHMARK(BM_WriteReportWithManyLibraries)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteReportWithManyLibrariesWithoutBuildId)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
