#pragma once
// Temporary bundles and homes for the application-side tests, and child
// processes whose output goes to a file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/PrivateHome.h"
#include "tests/support/ShellTools.h"

namespace qmtest {

// A folder of a test's own, removed with the object: in the test program's
// home, or under /tmp where the other user (whom root runs the application
// as) must reach it, or a socket's path must stay short.
class TempDir {
public:
    enum Place { kInHome, kUnderTmp };
    explicit TempDir(Place place = kInHome) {
        if (place == kInHome) {
            path_ = PrivateHome::makeFolder("qm-appui");
        } else {
            char tmpl[] = "/tmp/qm-appui-XXXXXX";
            path_ = mkdtemp(tmpl);
        }
    }
    ~TempDir() {
        std::error_code ignored;  // a worker thread may still be writing there
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::filesystem::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name, std::ios::binary) << text;
        return file(name);
    }

private:
    std::filesystem::path path_;
};

// The permission bits of the file at `path` (links followed), or 0 when there is none.
inline unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : 0u;
}

// This process's environment for a child that shows no window and reaches no
// service off the machine (the services at a closed loopback port), with the
// `overrides` ("NAME=value") in place of what it had.
inline std::vector<std::string> headlessEnvironment(const std::vector<std::string>& overrides = {}) {
    std::vector<std::string> set = {"QUENMIRA_COLLECT_URL=http://127.0.0.1:9", "QUENMIRA_CRASH_URL=http://127.0.0.1:9"};
    set.insert(set.end(), overrides.begin(), overrides.end());
    std::vector<std::string> env;
    for (const auto& entry : currentEnvironment())
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0) env.push_back(entry);
    return withEnvironment(env, set);
}

// Starts args[0] as spawnWith does, its standard output and error going to
// the file `log`. The child's pid, or -1.
inline pid_t spawnLogged(std::vector<std::string> args, std::vector<std::string> env, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const pid_t pid = spawnWith(std::move(args), std::move(env), actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Whether `pid` has a handler of its own for `signo` (the kernel's SigCgt).
inline bool catchesSignal(pid_t pid, int signo) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signo - 1)) & 1;
    return false;
}

// The application is under way once its launch has started crash reporting
// (whose handlers take SIGSEGV) with its own SIGTERM handler in place: a
// signal sent from then on is the launch's to handle.
inline bool launchIsUnderWay(pid_t pid) { return catchesSignal(pid, SIGTERM) && catchesSignal(pid, SIGSEGV); }

// Waits for `pid` to end, at most `seconds`; its exit status, or -1 when a
// signal ended it or it had to be killed for taking too long.
inline int waitExit(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qmtest
