// Batches of large hits against a real collector: each request stays within
// the body and hit-count limits and every hit arrives exactly once; a batch
// the service throttles counts as answered.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "dispatch_support.h"
#include "dispatcher_fixture.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/URLConnection.h"
#include "tests/support/HttpServerKit.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::RunLoop;
using platform::foundation::Value;
using qmtest::HttpServerKit;
using Result = TLYDispatchResult;

namespace {

std::vector<std::string> lines(const std::string& body) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i; (i = body.find('\n', start)) != std::string::npos; start = i + 1)
        out.push_back(body.substr(start, i - start));
    out.push_back(body.substr(start));
    return out;
}

std::string screenOf(const std::string& payload) {
    size_t at = payload.find("cd=");
    if (at == std::string::npos) return {};
    size_t end = payload.find('&', at);
    return payload.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3);
}

class DispatchCollectorTest : public tlytest::DispatcherFixture {
protected:
    using DispatcherFixture::queue;
    void queue(const std::string& screen, size_t padding) {
        dispatcher_->queueDispatch(Value(Value::Dictionary{{"&t", "screenview"},
                                                           {"&cd", screen},
                                                           {"&tid", "UA-1"},
                                                           {"&cid", "K"},
                                                           {"&dp", std::string(padding, 'p')}}));
    }
};

}  // namespace

TEST_F(DispatchCollectorTest, LargeHitsArriveOnceInRequestsWithinTheLimitsUnderEveryStrategy) {
    for (uint64_t strategy : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(strategy);
        configure([&](TLYDispatchSettings& s) { s.batchingStrategy = strategy; });
        server_.clearRequests();
        built_.clear();
        // Payloads of about 700 bytes: 20 of them are far over the body limit,
        // and incompressible padding would not save a batch either.
        for (int i = 0; i < 25; ++i) {
            queue("S" + std::to_string(strategy) + "-" + std::to_string(i), 620 + (i * 37) % 100);
            clock_->advance(1.0 + (i % 4));
        }
        clock_->advance(5);
        for (int pass = 0; pass < 40 && !store_->hits().empty(); ++pass) ASSERT_EQ(dispatchAndWait(), Result::Good);
        EXPECT_TRUE(store_->hits().empty());

        std::multiset<std::string> seen;
        auto requests = server_.requests();
        ASSERT_EQ(requests.size(), built_.size());
        for (size_t r = 0; r < requests.size(); ++r) {
            const auto& request = requests[r];
            EXPECT_LE(built_[r].httpBody().size(), 8192u) << "bytes on the wire";
            std::string body = request.method == "GET" ? request.query : request.body;
            EXPECT_LE(body.size(), 8192u) << "payload of request " << r;
            auto payloads = lines(body);
            EXPECT_LE(payloads.size(), 20u);
            EXPECT_EQ(request.path == "/batch", payloads.size() > 1);
            for (const auto& p : payloads) seen.insert(screenOf(p));
        }
        ASSERT_EQ(seen.size(), 25u);
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(seen.count("S" + std::to_string(strategy) + "-" + std::to_string(i)), 1u) << i;
        EXPECT_GT(requests.size(), 2u) << "the batch had to be cut";
    }
}

TEST_F(DispatchCollectorTest, AThrottledBatchIsDeletedWithoutFallingBack) {
    for (int status : {429, 503}) {
        SCOPED_TRACE(status);
        server_.clearRequests();
        server_.enqueue("/batch", HttpServerKit::Reply::statusOnly(status));
        for (int i = 0; i < 3; ++i) queue("T" + std::to_string(i), 10);
        EXPECT_EQ(dispatchAndWait(), Result::Good);
        EXPECT_TRUE(store_->hits().empty());
        EXPECT_FALSE(dispatcher_->serverBatchingDisabled()) << "only 302, 404 and 502 switch batching off";
        EXPECT_EQ(dispatchAndWait(), Result::NoData);
        EXPECT_EQ(server_.requests("/batch").size(), 1u);
    }
}
