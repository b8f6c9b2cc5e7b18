// The built application as a whole process, showing the main screen at a
// constant charge with its timers running. A battery monitor must not drain
// the battery it watches.
// Goals: headless, under 0.05 s of CPU time over 60 s of real time; in a
// window under Xvfb with the bubbles rising, under 3 % of one core.
// QM_BENCH_SECONDS shortens the watch for a quick look.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

double watchSeconds() {
    const char* s = std::getenv("QM_BENCH_SECONDS");
    return s ? std::atof(s) : 60.0;
}

std::string freshHome(const char* name) {
    auto dir =
        std::filesystem::temp_directory_path() / (std::string("qm-bench-") + name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        if (s.rfind("DISPLAY=", 0) == 0 || s.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
        envStrings.push_back(s);
    }
    for (auto& e : extraEnv) envStrings.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

// Stops the application and returns its CPU seconds (user + system), or a
// negative value when it did not end by itself within 10 s of the signal.
double stopAndMeasure(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        rusage ru{};
        if (wait4(pid, &status, WNOHANG, &ru) == pid)
            return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::vector<std::string> application(const std::string& home) {
    return {std::string(QM_BUNDLE_DIR) + "/Quenmira",
            "--battery",
            "0.75:charging",
            "--device",
            "iPhone7,2",
            "--brightness",
            "0.5",
            "--home",
            home};
}

void BM_MainScreenHeadlessCpu(benchmark::State& state) {
    const double seconds = watchSeconds();
    double cpu = 0;
    for (auto _ : state) {
        auto args = application(freshHome("headless"));
        args.push_back("--headless");
        pid_t pid = spawn(args, {});
        if (pid < 0) {
            state.SkipWithError("cannot start the application");
            return;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        cpu = stopAndMeasure(pid);
    }
    if (cpu < 0) {
        state.SkipWithError("the application did not stop on SIGTERM");
        return;
    }
    state.counters["cpu_s"] = cpu;
    state.counters["watched_s"] = seconds;
    state.counters["goal_cpu_s_per_60s"] = 0.05;
    std::fprintf(stderr, "headless: %.3f s of CPU over %.0f s\n", cpu, seconds);
    if (cpu * 60.0 / seconds >= 0.05)
        state.SkipWithError("the headless main screen used 0.05 s of CPU per minute or more");
}
BENCHMARK(BM_MainScreenHeadlessCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_MainScreenWindowCpuShare(benchmark::State& state) {
    const double seconds = watchSeconds();
    const std::string display = ":" + std::to_string(90 + getpid() % 9);
    pid_t xvfb = spawn({"/usr/bin/Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {});
    if (xvfb < 0) {
        state.SkipWithError("Xvfb is not installed");
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double cpu = 0;
    for (auto _ : state) {
        pid_t pid = spawn(application(freshHome("window")), {"DISPLAY=" + display});
        if (pid < 0) {
            state.SkipWithError("cannot start the application");
            break;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        cpu = stopAndMeasure(pid);
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    if (cpu < 0) {
        state.SkipWithError("the application did not stop on SIGTERM");
        return;
    }
    const double share = cpu / seconds * 100.0;
    state.counters["cpu_s"] = cpu;
    state.counters["core_percent"] = share;
    state.counters["goal_core_percent"] = 3;
    std::fprintf(stderr, "window: %.3f s of CPU over %.0f s (%.2f %% of a core)\n", cpu, seconds, share);
    if (share >= 3.0) state.SkipWithError("the main screen in a window used 3 % of a core or more");
}
BENCHMARK(BM_MainScreenWindowCpuShare)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
