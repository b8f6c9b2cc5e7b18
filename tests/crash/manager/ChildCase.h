#pragma once
// Runs one case of this test program in a fresh copy of it: forked, then
// exec'd with the gtest filter of the case's child test, so that no test
// framework frame catches what the case throws, and so that the child holds
// no lock another thread of the test process had at the fork (between fork
// and exec it makes only async-signal-safe calls). The child test reads its
// case from QM_CHILD_CASE, may write lines to file descriptor 3 and read
// what the test sends on descriptor 4; a child that hangs is ended by its
// alarm, and every wait here is bounded, so a test fails instead of waiting
// forever.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace childcase {

constexpr int kReportFd = 3;
constexpr int kCommandFd = 4;

struct Result {
    pid_t pid = 0;
    int signal = 0;  // the signal that ended it, 0 when it exited
    int exitCode = -1;
    bool timedOut = false;           // it outlived the wait and was killed
    std::vector<std::string> lines;  // what it wrote to kReportFd
};

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A started child: its report pipe (read end) and command pipe (write end).
struct Child {
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept {
        std::swap(pid, other.pid);
        std::swap(report, other.report);
        std::swap(command, other.command);
        std::swap(pending, other.pending);
        return *this;
    }
    // One left running (a test that failed half-way) is killed and reaped.
    ~Child() {
        if (report < 0) return;
        kill(pid, SIGKILL);
        finish(5);
    }

    pid_t pid = -1;
    int report = -1;
    int command = -1;
    std::string pending;  // read from the report pipe, not yet a whole line

    // Sends a line to the child's kCommandFd.
    bool send(const std::string& line) {
        std::string text = line + "\n";
        for (size_t sent = 0; sent < text.size();) {
            ssize_t n = write(command, text.data() + sent, text.size() - sent);
            if (n <= 0) return false;
            sent += size_t(n);
        }
        return true;
    }
    // The next line the child reports, or false when it ends or `seconds` pass first.
    bool readLine(std::string& line, double seconds = 60) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            if (size_t nl = pending.find('\n'); nl != std::string::npos) {
                line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{report, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) continue;
            char buf[512];
            ssize_t n = read(report, buf, sizeof buf);
            if (n <= 0) return false;
            pending.append(buf, size_t(n));
        }
    }
    // Closes the command pipe (the child sees its end), reads what is left
    // and reaps the child, killing it once `seconds` have passed.
    Result finish(double seconds = 90) {
        Result result;
        result.pid = pid;
        if (command >= 0) close(command);
        command = -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (std::string line;
             readLine(line, std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count());)
            result.lines.push_back(line);
        if (!pending.empty()) result.lines.push_back(pending);
        close(report);
        report = -1;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                result.timedOut = true;
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }
};

// Makes `fd` the descriptor `target` of a child that execs; async-signal-safe.
inline void place(int fd, int target) {
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

// `program` is this test program or a copy of it; `childTest` the
// "Suite.Name" of the test that runs cases; `env` what the child's
// environment adds. The child ends by SIGALRM after `alarmSeconds`.
inline Child start(const std::string& program, const std::string& childTest, const std::string& name,
                   const std::vector<std::pair<std::string, std::string>>& env = {}, unsigned alarmSeconds = 60) {
    Child child;
    int report[2], command[2];
    if (pipe2(report, O_CLOEXEC) != 0) return child;
    if (pipe2(command, O_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return child;
    }
    // Everything the child needs is made before the fork.
    const std::string filter = "--gtest_filter=" + childTest;
    std::vector<std::string> vars;
    auto overridden = [&](const char* entry) {
        if (strncmp(entry, "QM_CHILD_CASE=", 14) == 0) return true;
        for (const auto& [key, value] : env)
            if (strncmp(entry, key.c_str(), key.size()) == 0 && entry[key.size()] == '=') return true;
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!overridden(*e)) vars.emplace_back(*e);
    vars.push_back("QM_CHILD_CASE=" + name);
    for (const auto& [key, value] : env) vars.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    char arg0[] = "Quenmira", arg2[] = "--gtest_catch_exceptions=0";
    std::string arg1 = filter;
    char* argv[] = {arg0, arg1.data(), arg2, nullptr};

    child.pid = fork();
    if (child.pid == 0) {
        place(report[1], kReportFd);
        place(command[0], kCommandFd);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        alarm(alarmSeconds);
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(report[1]);
    close(command[0]);
    child.report = report[0];
    child.command = command[1];
    if (child.pid < 0) {
        close(child.report);
        close(child.command);
        child.report = child.command = -1;
    }
    return child;
}

// Runs a case to its end (at most `seconds`).
inline Result run(const std::string& program, const std::string& childTest, const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& env = {}, double seconds = 30) {
    Child child = start(program, childTest, name, env);
    if (child.pid < 0) return {};
    return child.finish(seconds);
}

// The case this process runs as a child; null in a normal run.
inline const char* current() { return getenv("QM_CHILD_CASE"); }

}  // namespace childcase
