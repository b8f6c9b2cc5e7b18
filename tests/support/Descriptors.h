#pragma once
// For a forked child that must run short of file descriptors: takes every
// free slot under a low limit but `spare`, and keeps them for the child's life.
#include <sys/resource.h>
#include <unistd.h>

#include <functional>

namespace qmtest {

// False when the limit cannot be lowered.
inline bool leaveDescriptorsFree(int spare) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime probes memory through a pipe of its own: with
    // fewer than two descriptors it reports sound objects as bad.
    if (spare < 2) spare = 2;
#endif
    const rlimit low{256, 256};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return false;
    int taken[256];
    int count = 0;
    for (int fd; count < 256 && (fd = dup(0)) >= 0;) taken[count++] = fd;
    while (spare-- > 0 && count > 0) close(taken[--count]);
    return true;
}

// Runs `body` in a forked child left `spare` free descriptors; the child
// exits with what `body` answers (3 when the limit cannot be lowered).
// Answers the child's pid, -1 when no child could be made.
inline pid_t forkShortOfDescriptors(int spare, const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(leaveDescriptorsFree(spare) ? body() : 3);
    return child;
}

}  // namespace qmtest
