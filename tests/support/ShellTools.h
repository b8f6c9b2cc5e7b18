#pragma once
// Small helpers of tests that drive other programs: a file's whole text or
// bytes, how often a piece occurs in a text, running a program with an
// argument vector (never a shell line made of paths, which breaks in a folder
// whose name has a space) and keeping its status and output, whether a tool
// is installed, and a bounded wait for a state another process reaches.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/WaitUntil.h"

extern char** environ;

namespace qmtest {

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string all = readAll(path);
    return {all.begin(), all.end()};
}

// How many times `what` occurs in `text`, overlapping occurrences included.
inline int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// `base` ("NAME=value" entries) with each of `overrides` in place of the
// entry of its name, or added; a later setting of a name wins, as setenv
// would have it.
inline std::vector<std::string> withEnvironment(const std::vector<std::string>& base,
                                                const std::vector<std::string>& overrides) {
    auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
    std::vector<std::string> env;
    for (const auto& entry : base) {
        bool replaced = false;
        for (const auto& s : overrides) replaced = replaced || name(s) == name(entry);
        if (!replaced) env.push_back(entry);
    }
    for (size_t i = 0; i < overrides.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < overrides.size(); ++j) later = later || name(overrides[j]) == name(overrides[i]);
        if (!later) env.push_back(overrides[i]);
    }
    return env;
}

// This process's environment as "NAME=value" entries.
inline std::vector<std::string> currentEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

// Starts args[0] (looked up on the PATH when it names no folder) with `args`,
// the environment `env` and the file `actions`. The child's pid, or -1. It
// starts as from a terminal, with the ending signals at their defaults and
// none blocked, however the test program was started (a background job of a
// script ignores SIGINT, and the application keeps what it was started to
// ignore).
inline pid_t spawnWith(std::vector<std::string> args, std::vector<std::string> env,
                       const posix_spawn_file_actions_t& actions) {
    if (args.empty()) return -1;
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int signo : {SIGINT, SIGHUP, SIGQUIT, SIGTERM}) sigaddset(&defaults, signo);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    return failed ? -1 : pid;
}

// How a program run by `run` is started besides its arguments.
struct RunOptions {
    std::vector<std::string> env;  // "NAME=value" set for it on top of this process's environment
    std::string input;             // all its standard input; none when empty
    std::string cwd;               // its working folder ("" keeps this process's)
    bool mergeErrors = false;      // its standard error into `out` as well, in order

    // For a call on one line: run(args, RunOptions().adding({"NAME=value"}).mergingErrors()).
    RunOptions& adding(std::vector<std::string> settings) {
        env.insert(env.end(), settings.begin(), settings.end());
        return *this;
    }
    RunOptions& mergingErrors() {
        mergeErrors = true;
        return *this;
    }
};

// What a program run by `run` did.
struct Ran {
    int exitCode = -1;  // its exit status; -1 when a signal ended it or it did not start
    int signal = 0;     // the signal that ended it, if one did
    bool started = false;
    std::string out;  // its standard output (and error, when merged)
    std::string err;  // its standard error, unless merged

    bool ok() const { return exitCode == 0; }
    // For a failed assertion: what it said.
    std::string said() const {
        return "exit " + std::to_string(exitCode) + (signal ? " signal " + std::to_string(signal) : "") + "\n" + out +
               err;
    }
};

// Runs `args` (args[0] looked up on the PATH when it names no folder) to its
// end, its output kept.
inline Ran run(std::vector<std::string> args, const RunOptions& options = {}) {
    Ran ran;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* p : {in, out, err})
            for (int i : {0, 1})
                if (p[i] >= 0) ::close(p[i]), p[i] = -1;
    };
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        (!options.mergeErrors && ::pipe2(err, O_CLOEXEC) != 0)) {
        closeAll();
        ran.err = "no pipes: " + std::string(strerror(errno));
        return ran;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, options.mergeErrors ? out[1] : err[1], STDERR_FILENO);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    const std::string program = args.empty() ? "" : args[0];
    const pid_t pid = spawnWith(std::move(args), withEnvironment(currentEnvironment(), options.env), actions);
    posix_spawn_file_actions_destroy(&actions);
    // The child's ends are the child's alone now.
    for (int* end : {&in[0], &out[1], &err[1]})
        if (*end >= 0) ::close(*end), *end = -1;
    if (pid < 0) {
        closeAll();
        ran.err = "could not start " + program;
        return ran;
    }
    ran.started = true;
    // Writes the input and reads both outputs together: a child that fills
    // one pipe while the other is waited on would never end.
    size_t written = 0;
    if (options.input.empty()) ::close(in[1]), in[1] = -1;
    // Never blocked on its input while it waits for its output to be read.
    if (in[1] >= 0) ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    while (out[0] >= 0 || err[0] >= 0) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i : {0, 1}) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? ran.out : ran.err).append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                (i == 0 ? out : err)[0] = -1;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            // Its end of the pipe may be gone: it need not read everything.
            const sigset_t pipeSignal = [] {
                sigset_t s;
                sigemptyset(&s);
                sigaddset(&s, SIGPIPE);
                return s;
            }();
            sigset_t old, pending;
            pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
            const ssize_t n = ::write(in[1], options.input.data() + written, options.input.size() - written);
            const int writeError = n < 0 ? errno : 0;
            // A write the reader's end left half done raises the signal too.
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
                const timespec now{0, 0};
                sigtimedwait(&pipeSignal, nullptr, &now);
            }
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            if (n > 0) written += size_t(n);
            if ((n < 0 && writeError != EINTR && writeError != EAGAIN) || written == options.input.size())
                ::close(in[1]), in[1] = -1;
        }
    }
    closeAll();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) ran.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) ran.signal = WTERMSIG(status);
    return ran;
}

// A program started with an argument vector that goes on beside the test (a
// peer holding a lock, say): its standard output read line by line, its
// standard error the test program's. It is waited for when the object goes.
class Started {
public:
    explicit Started(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        pid_ = spawnWith(std::move(args), currentEnvironment(), actions);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (pid_ < 0) {
            ::close(out[0]);
            return;
        }
        out_ = ::fdopen(out[0], "r");
    }
    ~Started() { wait(); }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    bool started() const { return pid_ > 0; }
    // Its next line, "\n" kept; "" once its output ends.
    std::string line() {
        std::string text;
        if (!out_) return text;
        for (int c; (c = std::fgetc(out_)) != EOF;) {
            text += char(c);
            if (c == '\n') break;
        }
        return text;
    }
    // Waits for its end: its exit status, or -1 when a signal ended it.
    int wait() {
        if (out_) std::fclose(out_), out_ = nullptr;
        if (pid_ <= 0) return exitCode_;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exitCode_;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int exitCode_ = -1;
};

// `word` as one word of a script a test writes (a stand-in browser, say):
// in single quotes, whatever a folder's name holds.
inline std::string shellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Whether the program `tool` is on the PATH.
inline bool have(const std::string& tool) {
    const char* path = getenv("PATH");
    std::stringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (::access(((folder.empty() ? "." : folder) + "/" + tool).c_str(), X_OK) == 0) return true;
    return false;
}

// Polls `done` every 50 ms for at most `seconds` of real time.
inline bool within(double seconds, const std::function<bool()>& done) {
    return waitUntil(done, seconds, std::chrono::milliseconds(50));
}

}  // namespace qmtest
