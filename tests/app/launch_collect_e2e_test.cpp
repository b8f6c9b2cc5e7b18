// The built application, started headless as a user starts it, sends its main
// screen's screen view to the collector that QUENMIRA_COLLECT_URL names: here
// the loopback kit. What stays stored is read back by python3.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/ui/app_test_support.h"
#include "tests/support/HttpServerKit.h"

namespace {

using qmtest::HttpServerKit;
using Fields = std::map<std::string, std::string>;

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";
const std::string kTrackingId = "TL-48151623-1";  // the bundle's "TLYKey"
// The first pass runs 1 s after the dispatcher is made. A screen view stored
// after it (a slow start) waits for the 120 s dispatch timer; rather than wait
// that long, the tests then start the application again, whose first pass
// sends what is stored.
constexpr double kFirstPassBound = 15.0;
// A launch may also show its first screen before its tracker is made (analytics
// starts on a background queue): it then records no view at all. One that has
// recorded none after this long is given up and the application started again
// in the same home.
constexpr double kViewBound = 20.0;
// What must come does so within seconds; on a loaded machine (a parallel test
// run beside other builds) it may take much longer. Waits end once the state
// holds, so a generous bound costs nothing when all goes well.
constexpr double kDeliveryBound = 90.0;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i; (i = text.find(separator, start)) != std::string::npos; start = i + 1)
        parts.push_back(text.substr(start, i - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::string formDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

Fields fieldsOf(const std::string& payload) {
    Fields fields;
    for (const auto& piece : split(payload, '&')) {
        const size_t eq = piece.find('=');
        fields[formDecode(piece.substr(0, eq))] = eq == std::string::npos ? "" : formDecode(piece.substr(eq + 1));
    }
    return fields;
}

// Every hit the collector received: a GET carries one in its query, a POST one
// per body line.
std::vector<Fields> hitsReceived(const HttpServerKit& server) {
    std::vector<Fields> hits;
    for (const auto& request : server.requests()) {
        if (request.method == "GET") {
            hits.push_back(fieldsOf(request.query));
        } else {
            for (const auto& line : split(request.body, '\n')) hits.push_back(fieldsOf(line));
        }
    }
    return hits;
}

std::vector<Fields> mainScreenViews(const HttpServerKit& server) {
    std::vector<Fields> views;
    for (auto& hit : hitsReceived(server))
        if (hit["t"] == "screenview" && hit["cd"] == "MainViewController") views.push_back(hit);
    return views;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class LaunchCollect : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* server : {&first_, &second_}) {
            server->on("/collect", HttpServerKit::Reply::text("ok"));
            server->on("/batch", HttpServerKit::Reply::text("ok"));
        }
    }
    void TearDown() override {
        if (pid_ > 0) stop();
    }

    // Starts the application headless with its own home, sending to `server`.
    void start(const HttpServerKit& server) {
        output_ = out_.file("output" + std::to_string(++runs_) + ".txt");
        pid_ = qmtest::spawnLogged({kApp, "--headless", "--battery", "0.5", "--home", home_.path()},
                                   qmtest::headlessEnvironment({"QUENMIRA_COLLECT_URL=" + server.baseURL()}), output_);
        ASSERT_GT(pid_, 0) << "cannot start " << kApp;
    }
    // SIGTERM, then the exit status (at most 30 s; -1 for a signal or time-out).
    int stop() {
        kill(pid_, SIGTERM);
        int result = -1;
        for (int i = 0; i < 3000; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                pid_ = -1;
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return result;
    }
    std::string log() const { return readAll(output_); }

    // python3's output for `body`, run over each stored hit's parameters `p`, in order.
    std::string forEachStoredHit(const std::string& body) {
        const std::string script =
            out_.write("peer.py",
                       "import plistlib, sqlite3, sys\n"
                       "db = sqlite3.connect(sys.argv[1] + '/Library/tallymark-v3.sql')\n"
                       "for (blob,) in db.execute('select parameters from TLYHit order by _pk'):\n"
                       "    p = plistlib.loads(blob)\n"
                       "    " +
                           body + "\n");
        return qmtest::run({"python3", script, home_.path()}, qmtest::RunOptions().mergingErrors()).out;
    }

    // The stored hits' screen names, one a line.
    std::string storedScreens() { return forEachStoredHit("print(p.get('&cd'))"); }

    int storedCount(const std::string& screen) {
        int n = 0;
        for (const auto& line : split(storedScreens(), '\n')) n += line == screen;
        return n;
    }

    // Starts the application against `server` until a launch has recorded its
    // main screen's view (stored or already sent), at most three times in the
    // same home; every launch given up must still end cleanly.
    bool startUntilAViewIsRecorded(const HttpServerKit& server) {
        for (int launch = 1; launch <= 3; ++launch) {
            if (launch > 1) {
                EXPECT_EQ(stop(), 0) << log();
            }
            start(server);
            if (waitFor([&] { return storedCount("MainViewController") + int(mainScreenViews(server).size()) >= 1; },
                        kViewBound))
                return true;
        }
        return false;
    }

    // The hit numbers ("&_s") of the stored views of the main screen.
    std::vector<std::string> storedViewNumbers() {
        auto lines = split(forEachStoredHit("if p.get('&cd') == 'MainViewController': print(p.get('&_s'))"), '\n');
        lines.pop_back();
        return lines;
    }

    qmtest::TempDir home_, out_;
    HttpServerKit first_, second_;
    pid_t pid_ = -1;
    std::string output_;
    int runs_ = 0;
};

TEST_F(LaunchCollect, TheMainScreensViewReachesTheCollectorAndLeavesTheStore) {
    ASSERT_TRUE(startUntilAViewIsRecorded(first_)) << log();
    // It goes with the first pass, unless it was stored after it.
    if (!waitFor([&] { return !mainScreenViews(first_).empty(); }, kFirstPassBound)) {
        EXPECT_EQ(stop(), 0) << log();
        start(first_);
        // The stored view goes with the first pass of this launch.
        ASSERT_TRUE(waitFor([&] { return !mainScreenViews(first_).empty(); }, kDeliveryBound)) << log();
    }
    // Delivered hits are deleted from the store; what is left waits its turn.
    EXPECT_TRUE(waitFor(
        [&] {
            for (const auto& number : storedViewNumbers()) {
                for (auto& view : mainScreenViews(first_)) {
                    if (view["_s"] == number) return false;
                }
            }
            return true;
        },
        kDeliveryBound))
        << storedScreens();
    EXPECT_EQ(stop(), 0) << log();

    auto views = mainScreenViews(first_);
    ASSERT_GE(views.size(), 1u);
    Fields view = views[0];
    EXPECT_EQ(view["tid"], kTrackingId);
    EXPECT_EQ(view["_s"], "0");  // the first hit of this tracker in a fresh home
    EXPECT_FALSE(view["cid"].empty());
    EXPECT_FALSE(view["ht"].empty());
    const auto requests = first_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(requests[0].path == "/collect" || requests[0].path == "/batch") << requests[0].path;
    EXPECT_EQ(requests[0].header("User-Agent").rfind("Tallymark/3.15 (", 0), 0u) << requests[0].header("User-Agent");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
}

TEST_F(LaunchCollect, AViewTheCollectorAnswered500IsNotSentAgainByTheNextLaunch) {
    first_.on("/collect", HttpServerKit::Reply::statusOnly(500));
    first_.on("/batch", HttpServerKit::Reply::statusOnly(500));
    ASSERT_TRUE(startUntilAViewIsRecorded(first_)) << log();
    // An answer of any status is the service's: the view it answered leaves the store.
    const bool answered = waitFor([&] { return !mainScreenViews(first_).empty(); }, kFirstPassBound);
    if (answered) {
        EXPECT_TRUE(waitFor([&] { return storedCount("MainViewController") == 0; }, kDeliveryBound)) << storedScreens();
    }
    EXPECT_EQ(stop(), 0) << log();
    auto refused = mainScreenViews(first_);

    // This launch too may record no view, or store it after its first pass.
    ASSERT_TRUE(startUntilAViewIsRecorded(second_)) << log();
    if (!waitFor([&] { return !mainScreenViews(second_).empty(); }, kFirstPassBound)) {
        EXPECT_EQ(stop(), 0) << log();
        start(second_);
    }
    ASSERT_TRUE(waitFor([&] { return !mainScreenViews(second_).empty(); }, kDeliveryBound)) << log();
    EXPECT_EQ(stop(), 0) << log();
    for (auto& view : mainScreenViews(second_)) {
        for (auto& gone : refused) EXPECT_NE(view["ht"], gone["ht"]) << "sent again: hit " << view["_s"];
    }
    if (answered) {
        EXPECT_EQ(mainScreenViews(second_)[0]["_s"], "1");  // this launch's own view
    }
}

}  // namespace
