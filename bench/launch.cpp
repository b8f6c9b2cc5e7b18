// Whole-process measurements of the built application: from exec to the
// first composed frame written as PNG (--after 0: no settling), and the
// peak resident memory of a launch that settles and snapshots.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

// Runs the application to its end; answers its peak resident set in KiB (-1 on failure).
long runApp(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("QUENMIRA_COLLECT_URL", "http://127.0.0.1:9", 1);
        setenv("QUENMIRA_CRASH_URL", "http://127.0.0.1:9", 1);
        std::vector<char*> argv{const_cast<char*>(kApp.c_str())};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

struct Home {
    Home() {
        char tmpl[] = "/tmp/qm-bench-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Home() { std::filesystem::remove_all(path); }
    std::string path;
};

void BM_LaunchToFirstFrame(benchmark::State& state) {
    Home home;
    for (auto _ : state) {
        if (runApp({"--home", home.path, "--battery", "0.6", "--device", "iPhone7,2", "--snapshot",
                    home.path + "/first.png", "--after", "0"}) < 0)
            state.SkipWithError("the application failed");
    }
}
BENCHMARK(BM_LaunchToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_PeakMemory(benchmark::State& state) {
    Home home;
    long peak = 0;
    for (auto _ : state) {
        const long kib = runApp({"--home", home.path, "--battery", "0.6", "--device", "iPhone7,2", "--snapshot",
                                 home.path + "/settled.png"});
        if (kib < 0) state.SkipWithError("the application failed");
        peak = std::max(peak, kib);
    }
    state.counters["peak_MiB"] = double(peak) / 1024.0;
}
BENCHMARK(BM_PeakMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
