#include "tests/support/VirtualDisplay.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qmtest {

VirtualDisplay::VirtualDisplay(const std::string& screen) {
    // Xvfb picks a free display and writes its number to fd 3.
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 3);
        if (!freopen("/dev/null", "w", stderr)) _exit(126);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp", nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool VirtualDisplay::installed() { return std::system("command -v Xvfb >/dev/null 2>&1") == 0; }

}  // namespace qmtest
