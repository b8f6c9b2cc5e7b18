#pragma once
// Runs one case of this test program in a fresh copy of it: forked, then
// exec'd with the gtest filter of the case's child test, so that no test
// framework frame catches what the case throws. The child test reads its case
// from QM_CHILD_CASE and may write lines to file descriptor 3; a child that
// hangs is ended by its alarm, so a test fails instead of waiting forever.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace childcase {

constexpr int kReportFd = 3;

struct Result {
    pid_t pid = 0;
    int signal = 0;  // the signal that ended it, 0 when it exited
    std::vector<std::string> lines;  // what it wrote to kReportFd
};

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// `program` is this test program or a copy of it; `childTest` the
// "Suite.Name" of the test that runs cases.
inline Result run(const std::string& program, const std::string& childTest, const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::string filter = "--gtest_filter=" + childTest;
    Result result;
    result.pid = fork();
    if (result.pid == 0) {
        dup2(fds[1], kReportFd);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        setenv("QM_CHILD_CASE", name.c_str(), 1);
        for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
        alarm(20);
        execl(program.c_str(), "Quenmira", filter.c_str(), "--gtest_catch_exceptions=0", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(result.pid, &status, 0);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.lines = lines(text);
    return result;
}

// The case this process runs as a child; null in a normal run.
inline const char* current() { return getenv("QM_CHILD_CASE"); }

}  // namespace childcase
