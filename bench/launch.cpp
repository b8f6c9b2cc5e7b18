// Whole-process measurements of the built application, each launch in a fresh
// home with the default configuration: from exec to the first composed frame
// written as PNG (--after 0: no settling), and the CPU time and peak resident
// memory of a launch that settles and snapshots, beside the `--help` process
// of the same run (the cost of merely starting the program).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

struct Run {
    bool ok = false;
    double cpuMs = 0, wallMs = 0;
    long peakKiB = 0;
};

double ms(const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; }

// Runs the application to its end.
Run runApp(std::vector<std::string> args) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        // The services the Info.plist names, as a user's launch has them.
        unsetenv("QUENMIRA_COLLECT_URL");
        unsetenv("QUENMIRA_CRASH_URL");
        std::vector<char*> argv{const_cast<char*>(kApp.c_str())};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
    run.ok = true;
    run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// A home of its own for one launch, as on a first start.
struct Home {
    Home() {
        char tmpl[] = "/tmp/qm-bench-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Home() { std::filesystem::remove_all(path); }
    std::string path;
};

Run launch(bool settle) {
    Home home;
    std::vector<std::string> args{"--home", home.path, "--battery", "0.6", "--device", "iPhone7,2", "--snapshot",
                                  home.path + "/screen.png"};
    if (!settle) {
        args.push_back("--after");
        args.push_back("0");
    }
    return runApp(args);
}

// Beside each launch, the `--help` process's own time from exec to exit.
void BM_LaunchToFirstFrame(benchmark::State& state) {
    double cpu = 0, helpWall = 0;
    for (auto _ : state) {
        const Run help = runApp({"--help"});
        const Run run = launch(false);
        if (!run.ok || !help.ok) state.SkipWithError("the application failed");
        state.SetIterationTime(run.wallMs / 1e3);
        cpu += run.cpuMs;
        helpWall += help.wallMs;
    }
    const double n = double(std::max<int64_t>(1, state.iterations()));
    state.counters["cpu_ms"] = cpu / n;
    state.counters["help_wall_ms"] = helpWall / n;
}
BENCHMARK(BM_LaunchToFirstFrame)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

// Each iteration runs `--help`, then a settled snapshot: the ratio of their
// CPU times is taken on the same machine in the same moment.
void BM_SettledSnapshot(benchmark::State& state) {
    double cpu = 0, helpCpu = 0;
    long peak = 0;
    for (auto _ : state) {
        const Run help = runApp({"--help"});
        const Run run = launch(true);
        if (!run.ok || !help.ok) state.SkipWithError("the application failed");
        state.SetIterationTime(run.wallMs / 1e3);
        cpu += run.cpuMs;
        helpCpu += help.cpuMs;
        peak = std::max(peak, run.peakKiB);
    }
    const double n = double(std::max<int64_t>(1, state.iterations()));
    state.counters["cpu_ms"] = cpu / n;
    state.counters["help_cpu_ms"] = helpCpu / n;
    state.counters["cpu_vs_help"] = helpCpu > 0 ? cpu / helpCpu : 0;
    state.counters["peak_MiB"] = double(peak) / 1024.0;
}
BENCHMARK(BM_SettledSnapshot)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace
