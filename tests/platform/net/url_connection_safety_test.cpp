// What one answer may cost, and a process that exits with transfers running.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "load_support.h"
#include "platform/net/URLConnection.h"
#include "tests/support/ChildTest.h"
#include "tests/support/HttpServerKit.h"

namespace net = platform::net;
namespace pf = platform::foundation;
using qmtest::HttpServerKit;

namespace {

using nettest::load;

int threadCount() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

}  // namespace

TEST(URLConnectionLimits, NoMoreOfABodyIsKeptThanTheRequestAllows) {
    HttpServerKit server;
    // 8 MiB of zeros that travel as a few kilobytes.
    server.on("/bomb", HttpServerKit::Reply::text(std::string(8 << 20, '\0')).gzipped());
    server.on("/plain", HttpServerKit::Reply::text(std::string(5000, 'p')));

    net::URLRequest bounded(server.url("/bomb"));
    bounded.setMaximumResponseBodySize(1 << 20);
    auto refused = load(bounded);
    EXPECT_FALSE(refused.data);
    EXPECT_EQ(refused.error.code, net::kURLErrorDataLengthExceedsMaximum);

    // A caller that wants the status gets it, with the first bytes only.
    net::URLRequest statusOnly(server.url("/bomb"));
    statusOnly.setMaximumResponseBodySize(1024, true);
    auto cut = load(statusOnly);
    ASSERT_TRUE(cut.data) << cut.error.description();
    EXPECT_EQ(cut.response.statusCode(), 200);
    EXPECT_EQ(cut.data->size(), 1024u);

    // Within the limit, nothing changes.
    net::URLRequest fits(server.url("/plain"));
    fits.setMaximumResponseBodySize(5000);
    auto whole = load(fits);
    ASSERT_TRUE(whole.data);
    EXPECT_EQ(whole.data->size(), 5000u);
    EXPECT_EQ(net::URLRequest(server.url("/x")).maximumResponseBodySize(),
              net::URLRequest::kDefaultMaximumResponseBodySize);
}

// Runs in a child process of its own: starts a transfer that never ends and
// exits. By the time the exit handlers registered before the transfer run,
// the transfer's thread must be gone and no new transfer may start.
QM_CHILD_TEST(URLConnectionExitChild, Run) {
    static std::string url;
    const char* env = std::getenv("QM_NET_EXIT_URL");
    ASSERT_TRUE(env) << "runs only as a child of URLConnectionExit";
    url = env;
    std::atexit([] {
        if (threadCount() != 1) ::_exit(3);
        pf::Error error;
        if (net::URLConnection::sendSynchronousRequest(net::URLRequest(url), nullptr, &error)) ::_exit(4);
    });
    static net::URLConnectionDelegate delegate;
    auto connection = net::URLConnection::connectionWithRequest(net::URLRequest(url), &delegate);
    std::exit(0);
}

// Waits at most a minute for `child`; its wait status, or -1 when it had to be killed.
int waitBounded(pid_t child) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

TEST(URLConnectionExit, TransfersAreStoppedAndJoinedBeforeTheProcessEnds) {
    HttpServerKit server;
    server.on("/hang", HttpServerKit::Reply::hanging());
    pid_t child = ::fork();
    if (child == 0) {
        ::setenv("QM_NET_EXIT_URL", server.url("/hang").c_str(), 1);
        ::execl("/proc/self/exe", "test_platform_net", "--gtest_filter=URLConnectionExitChild.Run",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = waitBounded(child);
    ASSERT_NE(status, -1) << "the child did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: a transfer thread outlived the exit; 4: a transfer started during it";
    EXPECT_LE(server.requestCount(), 1u);
}
