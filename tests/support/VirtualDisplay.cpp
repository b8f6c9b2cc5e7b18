#include "tests/support/VirtualDisplay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/ShellTools.h"

namespace qmtest {

namespace {

// Xvfb's own choice of a free display takes no lock, and servers started at
// once (parallel test programs) can take the same number: each display is
// claimed here first, by a lock that goes with the process holding it. The
// lock files lie in the build tree, which every test program of a run
// shares, and each goes as its display is let go (releaseDisplay).
std::string claimPath(int number) {
    return std::string(QM_BUILD_DIR) + "/test-homes/display-" + std::to_string(number) + ".lock";
}

int claimDisplay(int number) {
    const std::string lock = claimPath(number);
    mkdir((std::string(QM_BUILD_DIR) + "/test-homes").c_str(), 0755);
    for (;;) {
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return -1;
        }
        // The last holder may have removed the file as it let go, after we
        // opened it: a lock on a file no longer at the name claims nothing.
        struct stat held, named;
        if (fstat(fd, &held) != 0 || lstat(lock.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
            held.st_ino != named.st_ino) {
            close(fd);
            continue;
        }
        struct stat st;
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        const std::string xlock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (lstat(socket.c_str(), &st) == 0 || lstat(xlock.c_str(), &st) == 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
}

// Removes the claim's file while still holding it, so that no one else holds
// a lock on it by then, and lets go.
void releaseDisplay(int number, int claim) {
    unlink(claimPath(number).c_str());
    close(claim);
}

// Whether a client reaches display `number` through its socket, asked for a
// while: the application finds the server there, and a launch that cannot
// would go on without a window.
bool acceptsClients(int number) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", number);
    return within(30, [&] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool reached = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) close(fd);
        return reached;
    });
}

}  // namespace

VirtualDisplay::VirtualDisplay(const std::string& screen) {
    const int first = 100 + getpid() % 800;
    for (int tried = 0; tried < 800 && name_.empty(); ++tried) {
        const int number = 100 + (first - 100 + tried) % 800;
        const int claim = claimDisplay(number);
        if (claim < 0) continue;
        // Xvfb writes the number to fd 3 once it takes clients.
        int fds[2];
        if (pipe(fds) != 0) {
            releaseDisplay(number, claim);
            return;
        }
        const std::string display = ":" + std::to_string(number);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 3);
            if (!freopen("/dev/null", "w", stderr)) _exit(126);
            // -noreset: by default the server starts over when its last client
            // leaves, and a launch right after another (or after the probe
            // below) would find it gone for that moment.
            execlp("Xvfb", "Xvfb", display.c_str(), "-displayfd", "3", "-noreset", "-screen", "0", screen.c_str(),
                   "-nolisten", "tcp", nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string said;
        char c;
        while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') said += c;
        close(fds[0]);
        if (!said.empty() && acceptsClients(number)) {
            name_ = display;
            number_ = number;
            claim_ = claim;
            return;
        }
        // Taken by a server that is not ours after all: the next number.
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        releaseDisplay(number, claim);
    }
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (claim_ >= 0) releaseDisplay(number_, claim_);
}

bool VirtualDisplay::installed() { return have("Xvfb"); }

}  // namespace qmtest
