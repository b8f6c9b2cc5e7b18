// Asynchronous loading: delivery on the run loop or a queue, cancel, time-out.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLConnection.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/HttpServerKit.h"
#include "tests/support/ShellTools.h"

namespace net = platform::net;
namespace pf = platform::foundation;
using qmtest::HttpServerKit;

namespace {

// Runs the current run loop until `done` or a minute of real time.
template <class Pred>
bool pumpUntil(Pred done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < end) pf::RunLoop::current().runOnce(0.01);
    return done();
}

struct Recorder : net::URLConnectionDelegate {
    std::vector<std::string> events;
    std::string body;
    int64_t status = 0;
    int64_t errorCode = 0;
    std::thread::id thread;
    bool finished() const { return !events.empty() && (events.back() == "finish" || events.back() == "fail"); }

    void didReceiveResponse(net::URLConnection&, const net::URLResponse& r) override {
        events.push_back("response");
        status = r.statusCode();
        thread = std::this_thread::get_id();
    }
    void didReceiveData(net::URLConnection&, const net::Data& d) override {
        if (events.empty() || events.back() != "data") events.push_back("data");
        body.append(d.begin(), d.end());
    }
    void connectionDidFinishLoading(net::URLConnection&) override { events.push_back("finish"); }
    void didFailWithError(net::URLConnection&, const pf::Error& e) override {
        events.push_back("fail");
        errorCode = e.code;
    }
};

TEST(URLConnectionAsync, DelegateCallsArriveInOrderOnTheStartingRunLoop) {
    HttpServerKit server;
    const std::string big(200000, 'b');
    server.on("/big", HttpServerKit::Reply::text(big));
    Recorder rec;
    auto conn = net::URLConnection::connectionWithRequest(net::URLRequest(server.url("/big")), &rec);
    ASSERT_TRUE(pumpUntil([&] { return rec.finished(); }));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"response", "data", "finish"}));
    EXPECT_EQ(rec.status, 200);
    EXPECT_EQ(rec.body, big);
    EXPECT_EQ(rec.thread, std::this_thread::get_id());
}

TEST(URLConnectionAsync, NotStartedUntilAsked) {
    HttpServerKit server;
    server.on("/x", HttpServerKit::Reply::text("x"));
    Recorder rec;
    auto conn = net::URLConnection::connectionWithRequest(net::URLRequest(server.url("/x")), &rec, false);
    EXPECT_FALSE(server.waitForRequests(1, 0.1));
    conn->start();
    ASSERT_TRUE(pumpUntil([&] { return rec.finished(); }));
    EXPECT_EQ(rec.body, "x");
}

TEST(URLConnectionAsync, RefusedConnectionFails) {
    Recorder rec;
    auto conn = net::URLConnection::connectionWithRequest(net::URLRequest(qmtest::refusedURL()), &rec);
    ASSERT_TRUE(pumpUntil([&] { return rec.finished(); }));
    EXPECT_EQ(rec.events, std::vector<std::string>{"fail"});
    EXPECT_EQ(rec.errorCode, net::kURLErrorCannotConnectToHost);
}

TEST(URLConnectionAsync, CancelCallsNothingBack) {
    HttpServerKit server;
    server.on("/slow", HttpServerKit::Reply::hanging());
    Recorder rec;
    auto conn = net::URLConnection::connectionWithRequest(net::URLRequest(server.url("/slow")), &rec);
    ASSERT_TRUE(server.waitForRequests(1));
    conn->cancel();
    conn->cancel();  // idempotent
    server.releaseHangs();
    // Give a late answer every chance to arrive.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) pf::RunLoop::current().runOnce(0.01);
    EXPECT_TRUE(rec.events.empty());
}

namespace {

// The threads of this process, by id.
std::set<std::string> threadIds() {
    std::set<std::string> ids;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ids.insert(entry->d_name);
        ::closedir(dir);
    }
    return ids;
}

}  // namespace

TEST(URLConnectionAsync, CancelAfterTheAnswerIsQueuedStillSilences) {
    HttpServerKit server;
    server.on("/fast", HttpServerKit::Reply::text("fast"));
    Recorder rec;
    // Once the server has answered, all its threads are up.
    pf::Error error;
    ASSERT_TRUE(net::URLConnection::sendSynchronousRequest(net::URLRequest(server.url("/fast")), nullptr, &error));
    const std::set<std::string> before = threadIds();
    auto conn = net::URLConnection::connectionWithRequest(net::URLRequest(server.url("/fast")), &rec);
    ASSERT_TRUE(server.waitForRequests(2));
    // The transfer's worker ends once it has queued its callbacks; the loop
    // has not run them.
    ASSERT_TRUE(qmtest::within(60, [&] {
        for (const std::string& id : threadIds())
            if (!before.count(id)) return false;
        return true;
    }));
    conn->cancel();
    pf::RunLoop::current().runUntilIdle();
    EXPECT_TRUE(rec.events.empty());
}

TEST(URLConnectionAsync, DroppingTheHandleKeepsARunningConnectionAlive) {
    HttpServerKit server;
    server.on("/x", HttpServerKit::Reply::text("kept"));
    Recorder rec;
    net::URLConnection::connectionWithRequest(net::URLRequest(server.url("/x")), &rec);
    ASSERT_TRUE(pumpUntil([&] { return rec.finished(); }));
    EXPECT_EQ(rec.body, "kept");
}

TEST(URLConnectionAsync, CompletionHandlerOnAQueue) {
    HttpServerKit server;
    server.on("/gz", HttpServerKit::Reply::text("zipped text").gzipped());
    auto queue = pf::dispatch::createSerialQueue("net.test");
    std::promise<std::string> result;
    auto conn = net::URLConnection::sendAsynchronousRequest(
        net::URLRequest(server.url("/gz")), *queue,
        [&](const net::URLResponse* response, const net::Data* data, const pf::Error* error) {
            if (error || !response || !data)
                result.set_value("error");
            else
                result.set_value(std::to_string(response->statusCode()) + " " +
                                 std::string(data->begin(), data->end()));
        });
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(f.get(), "200 zipped text");
}

TEST(URLConnectionAsync, CompletionHandlerGetsTheErrorAlone) {
    auto queue = pf::dispatch::createSerialQueue("net.test");
    std::promise<int64_t> result;
    net::URLConnection::sendAsynchronousRequest(
        net::URLRequest(qmtest::refusedURL()), *queue,
        [&](const net::URLResponse* response, const net::Data* data, const pf::Error* error) {
            result.set_value(!response && !data && error ? error->code : 0);
        });
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(f.get(), net::kURLErrorCannotConnectToHost);
}

class URLConnectionTimeout : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
    }
    qmtest::GlobalStateGuard guard_;
    std::shared_ptr<pf::ManualClock> clock_;
};

TEST_F(URLConnectionTimeout, SilentServerTimesOutAfterSixtySecondsOfClockTime) {
    HttpServerKit server;
    server.on("/silent", HttpServerKit::Reply::hanging());
    auto queue = pf::dispatch::createSerialQueue("net.timeout");
    std::promise<int64_t> result;
    auto conn = net::URLConnection::sendAsynchronousRequest(
        net::URLRequest(server.url("/silent")), *queue,
        [&](const net::URLResponse*, const net::Data*, const pf::Error* error) {
            result.set_value(error ? error->code : 0);
        });
    auto f = result.get_future();
    ASSERT_TRUE(server.waitForRequests(1));
    clock_->advance(59.0);
    EXPECT_EQ(f.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    clock_->advance(1.0);
    ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(f.get(), net::kURLErrorTimedOut);
}

TEST_F(URLConnectionTimeout, RequestsOwnTimeout) {
    HttpServerKit server;
    server.on("/silent", HttpServerKit::Reply::hanging());
    auto queue = pf::dispatch::createSerialQueue("net.timeout");
    std::promise<int64_t> result;
    net::URLRequest request(server.url("/silent"), 15.0);
    auto conn = net::URLConnection::sendAsynchronousRequest(
        request, *queue, [&](const net::URLResponse*, const net::Data*, const pf::Error* error) {
            result.set_value(error ? error->code : 0);
        });
    auto f = result.get_future();
    ASSERT_TRUE(server.waitForRequests(1));
    clock_->advance(15.0);
    ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(f.get(), net::kURLErrorTimedOut);
}

}  // namespace
