// The whole client as the application runs it: TLY's tracker, the analytics
// thread, the hit store on disk and the connection, sending to a loopback
// collection service on the manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "analytics/TLY.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYDictionaryBuilder.h"
#include "analytics/TLYFields.h"
#include "core_support.h"
#include "platform/foundation/Clock.h"
#include "tests/support/HttpServerKit.h"

using platform::foundation::Value;
using qmtest::HttpServerKit;

namespace {

class DispatchEndToEnd : public tlytest::TLYTest {
protected:
    void SetUp() override {
        clock = std::make_shared<platform::foundation::ManualClock>(1.7e9);
        platform::foundation::Clock::setCurrent(clock);
        TLYTest::SetUp();
    }
    void TearDown() override {
        TLYTest::TearDown();
        ::unsetenv(kTLYCollectURLEnvironmentVariable);
        platform::foundation::Clock::setCurrent(nullptr);
    }

    // A dispatcher made now, sending to `base`, and a tracker on it that
    // stores one screen view per name.
    void sendViews(const std::string& base, std::initializer_list<const char*> screens) {
        ::setenv(kTLYCollectURLEnvironmentVariable, base.c_str(), 1);
        auto tracker = TLY::sharedInstance().trackerWithTrackingId("UA-E2E");
        for (const char* screen : screens) {
            tracker->set(kTLYScreenName, screen);
            tracker->send(TLYDictionaryBuilder::createScreenView().build());
        }
        tlytest::drainAnalyticsThread();
        store = TLY::sharedInstance().dispatcher()->dataStore();
        ASSERT_EQ(store->hitCount(), int64_t(screens.size()));
    }
    // Advances the clock to the next pass and waits until it has been answered.
    void nextPass(double seconds) {
        auto answers = [&] {
            return logger->count("Dispatch error") + logger->count("Hit(s) dispatched") +
                   logger->count("falling back to non-batching mode");
        };
        size_t answered = answers();
        clock->advance(seconds);
        EXPECT_TRUE(tlytest::pumpUntil([&] { return answers() > answered; })) << "no pass after " << seconds << " s";
        tlytest::drainAnalyticsThread();
    }
    // How often each screen reached the service, from every request it took.
    static std::map<std::string, int> received(const HttpServerKit& server) {
        std::map<std::string, int> count;
        for (const auto& request : server.requests()) {
            std::string text = request.method == "GET" ? request.query : request.body;
            size_t start = 0;
            for (;;) {
                size_t end = text.find('\n', start);
                std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
                size_t at = line.find("cd=");
                if (at != std::string::npos) ++count[line.substr(at + 3, line.find('&', at) - at - 3)];
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
        return count;
    }

    std::shared_ptr<platform::foundation::ManualClock> clock;
    std::shared_ptr<TLYDataStore> store;
};

}  // namespace

TEST_F(DispatchEndToEnd, HitsTheServiceAnswered500AreNeverSentAgain) {
    HttpServerKit server;
    server.on("/collect", HttpServerKit::Reply::statusOnly(500));
    server.on("/batch", HttpServerKit::Reply::statusOnly(500));
    sendViews(server.baseURL(), {"A", "B", "C"});
    nextPass(1.0);
    EXPECT_EQ(store->hitCount(), 0);
    sendViews(server.baseURL(), {"D"});
    nextPass(120.0);
    EXPECT_EQ(store->hitCount(), 0);
    // Nothing is left to send: later ticks build no request.
    for (int tick = 0; tick < 3; ++tick) {
        clock->advance(120.0);
        tlytest::drainAnalyticsThread();
    }
    EXPECT_EQ(logger->count("Sending hit(s)"), 2u);
    EXPECT_EQ(received(server), (std::map<std::string, int>{{"A", 1}, {"B", 1}, {"C", 1}, {"D", 1}}));
}

TEST_F(DispatchEndToEnd, HitsThatFoundThePortClosedReachTheServiceWhenItComesUpInTheSameLaunch) {
    int port;
    {
        HttpServerKit probe;  // a free port, closed again
        port = probe.port();
    }
    sendViews("http://127.0.0.1:" + std::to_string(port), {"A", "B"});
    nextPass(1.0);
    nextPass(120.0);
    EXPECT_EQ(logger->count("Dispatch error"), 2u);
    EXPECT_EQ(store->hitCount(), 2);

    HttpServerKit server(port);
    server.on("/batch", HttpServerKit::Reply::text("ok"));
    nextPass(120.0);
    EXPECT_TRUE(tlytest::pumpUntil([&] { return store->hitCount() == 0; }));
    EXPECT_EQ(received(server), (std::map<std::string, int>{{"A", 1}, {"B", 1}}));
}

TEST_F(DispatchEndToEnd, HitsACollectorRefusedAsABatchArriveOnePerRequestInTheSameLaunch) {
    HttpServerKit server;  // a path it was not given, "/batch" here, is answered 404
    server.on("/collect", HttpServerKit::Reply::text("ok"));
    sendViews(server.baseURL(), {"A", "B", "C"});
    nextPass(1.0);
    EXPECT_EQ(logger->count("falling back to non-batching mode: HTTP status 404"), 1u);
    EXPECT_EQ(store->hitCount(), 3);

    // The next tick sends them, one per request, chained until none is left.
    nextPass(120.0);
    EXPECT_TRUE(tlytest::pumpUntil([&] { return store->hitCount() == 0; }));
    std::map<std::string, int> singles;
    for (const auto& request : server.requests("/collect")) {
        EXPECT_EQ(request.method, "GET");  // a single hit
        size_t at = request.query.find("cd=");
        if (at != std::string::npos) ++singles[request.query.substr(at + 3, request.query.find('&', at) - at - 3)];
    }
    EXPECT_EQ(singles, (std::map<std::string, int>{{"A", 1}, {"B", 1}, {"C", 1}}));
    EXPECT_EQ(server.requests("/batch").size(), 1u);
}
