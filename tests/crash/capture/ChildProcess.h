#pragma once
// Runs a body in a forked child and waits for it, bounded: the crash tests'
// way of crashing for real without taking the test process down.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace crashtest {

struct ChildResult {
    int status = 0;
    bool timedOut = false;
    bool signaled(int sig) const { return !timedOut && WIFSIGNALED(status) && WTERMSIG(status) == sig; }
    bool exited(int code) const { return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Waits for pid until it ends or limitMs pass; a child still running then is
// killed and reported as timed out.
inline ChildResult waitChild(pid_t pid, int limitMs) {
    ChildResult r;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready = ::poll(&p, 1, limitMs);
        ::close(pidfd);
        if (ready == 0) {
            ::kill(pid, SIGKILL);
            r.timedOut = true;
        }
    }
    ::waitpid(pid, &r.status, 0);
    return r;
}

// The body runs in the child; returning from it exits the child with 0.
inline ChildResult runInChild(const std::function<void()>& body, int limitMs = 60000) {
    pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    return waitChild(pid, limitMs);
}

}  // namespace crashtest
