#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYHitUtil.h"
#include "dispatch_support.h"
#include "dispatcher_fixture.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
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

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i; (i = s.find(sep, start)) != std::string::npos; start = i + 1)
        out.push_back(s.substr(start, i - start));
    out.push_back(s.substr(start));
    return out;
}

std::map<std::string, std::string> fields(const std::string& payload) {
    std::map<std::string, std::string> out;
    for (const auto& piece : split(payload, '&')) {
        size_t eq = piece.find('=');
        out[piece.substr(0, eq)] = eq == std::string::npos ? "" : piece.substr(eq + 1);
    }
    return out;
}

class DispatchTest : public tlytest::DispatcherFixture {};

}  // namespace

TEST_F(DispatchTest, ScreenViewsReachTheCollectorInGzipBatchesWithTheWireRules) {
    for (int i = 0; i < 45; ++i) {
        Value h = hit("Screen " + std::to_string(i), i % 3 == 0 ? "UA-2" : "UA-1");
        h["&z"] = std::to_string(1000 + i);
        queue(h);
        clock_->advance(0.25);
    }
    clock_->advance(5);
    drain();
    EXPECT_TRUE(store_->hits().empty());

    auto requests = server_.requests("/batch");
    ASSERT_EQ(requests.size(), 3u);  // 20 + 20 + 5
    std::map<std::string, int> nextNumber;
    size_t total = 0;
    for (size_t r = 0; r < requests.size(); ++r) {
        const auto& request = requests[r];
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.header("Content-Encoding"), "gzip");
        EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
        EXPECT_EQ(request.header("User-Agent"), TLYHitUtil::userAgentString());
        // The bytes on the wire really are gzip, and within the body limit.
        const auto& raw = built_[r].httpBody();
        ASSERT_GE(raw.size(), 2u);
        EXPECT_EQ(raw[0], 0x1F);
        EXPECT_EQ(raw[1], 0x8B);
        EXPECT_EQ(request.header("Content-Length"), std::to_string(raw.size()));
        EXPECT_LE(request.body.size(), 8192u);
        auto lines = split(request.body, '\n');
        EXPECT_LE(lines.size(), 20u);
        total += lines.size();
        for (const auto& line : lines) {
            auto pieces = split(line, '&');
            ASSERT_GE(pieces.size(), 3u);
            EXPECT_EQ(pieces[pieces.size() - 3].substr(0, 3), "ht=");
            EXPECT_EQ(pieces[pieces.size() - 2].substr(0, 3), "qt=");
            EXPECT_EQ(pieces[pieces.size() - 1].substr(0, 2), "z=");
            auto f = fields(line);
            EXPECT_EQ(f["_s"], std::to_string(nextNumber[f["tid"]]++)) << line;
            EXPECT_EQ(f["t"], "screenview");
            EXPECT_GE(std::stoll(f["qt"]), 5000);
        }
    }
    EXPECT_EQ(total, 45u);
    EXPECT_EQ(nextNumber["UA-1"], 30);
    EXPECT_EQ(nextNumber["UA-2"], 15);
}

TEST_F(DispatchTest, OnlyHitsOfTheFirstHitsSecurityShareARequest) {
    queue(hit("A"));
    Value plain = hit("B");
    plain["useSecure"] = "0";
    queue(plain);
    queue(hit("C"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requests().size(), 1u);
    auto lines = split(server_.requests()[0].body, '\n');
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(fields(lines[0])["cd"], "A");
    EXPECT_EQ(fields(lines[1])["cd"], "C");
    EXPECT_EQ(store_->hits().size(), 1u);
    // The plain hit goes alone; "useSecure" never reaches the wire.
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requests().size(), 2u);
    EXPECT_EQ(server_.requests()[1].path, "/collect");
    EXPECT_EQ(server_.requests()[1].params.count("useSecure"), 0u);
}

TEST_F(DispatchTest, ASingleHitGoesByGetBelow2000BytesAndByPlainPostAt2000) {
    TLYRequestBuilder builder;
    for (size_t target : {size_t(1999), size_t(2000)}) {
        std::string tid = "UA-" + std::to_string(target);
        Value record(Value::Dictionary{{"parameters", hit("x", tid)}, {"timestamp", Value::date(clock_->now())}});
        record["parameters"]["&_s"] = "0";
        size_t base = builder.parametersForHit(record).size();
        Value h = hit(std::string(target - base + 1, 'x'), tid);
        queue(h);
        ASSERT_EQ(dispatchAndWait(), Result::Good);
        auto request = server_.requests().back();
        EXPECT_EQ(request.path, "/collect");
        if (target == 1999) {
            EXPECT_EQ(request.method, "GET");
            EXPECT_EQ(request.query.size(), 1999u);
        } else {
            EXPECT_EQ(request.method, "POST");
            EXPECT_FALSE(request.hasHeader("Content-Encoding"));
            EXPECT_EQ(request.body.size(), 2000u);
        }
    }
}

TEST_F(DispatchTest, AnyHttpAnswerToASingleHitDeletesIt) {
    tlytest::LogCapture log;
    Talkative talkative;
    for (int status : {200, 404, 500, 503, 429}) {
        SCOPED_TRACE(status);
        server_.clearRequests();
        server_.enqueue("/collect", HttpServerKit::Reply::statusOnly(status));
        queue(hit("S"));
        EXPECT_EQ(dispatchAndWait(), Result::Good);
        EXPECT_TRUE(store_->hits().empty());
        EXPECT_EQ(log.count("Hit(s) dispatched: HTTP status " + std::to_string(status)), 1u);
        EXPECT_EQ(dispatchAndWait(), Result::NoData);
        EXPECT_EQ(server_.requestCount(), 1u);
    }
    EXPECT_EQ(log.count("Hit(s) not dispatched: HTTP status"), 0u);
}

TEST_F(DispatchTest, ASingleHitFollowsARedirect) {
    server_.on("/moved", HttpServerKit::Reply::text("ok"));
    server_.on("/collect", [this](const HttpServerKit::Request& r) {
        return HttpServerKit::Reply::redirect(server_.url("/moved?" + r.query));
    });
    queue(hit("R"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requests("/moved").size(), 1u);
    EXPECT_EQ(server_.requests("/moved")[0].params.at("cd"), "R");
    EXPECT_TRUE(store_->hits().empty());
}

TEST_F(DispatchTest, NoAnswerAndNoErrorKeepsTheHitsAndReportsDelivery) {
    tlytest::LogCapture log;
    Talkative talkative;
    dispatcher_->setUrlConnectionClass([](const platform::net::URLRequest& r, platform::foundation::dispatch::Queue* q,
                                          TLYURLConnection::CompletionHandler h, RunLoop* l) {
        auto connection = TLYURLConnection::initWithRequest(r, q, std::move(h), l);
        connection->cancel();  // completes with neither an answer nor an error
        return connection;
    });
    queue(hit("A"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_EQ(store_->hits().size(), 1u);
    EXPECT_FALSE(dispatcher_->hasConnection());
    EXPECT_EQ(log.count("Hit(s) dispatched: HTTP status -1"), 1u);
    EXPECT_EQ(log.count("Dispatch error"), 0u);
}

TEST_F(DispatchTest, ABatchAnswered404Or302Or502FallsBackToSingleHitsForAnHour) {
    for (int status : {404, 302, 502}) {
        SCOPED_TRACE(status);
        server_.clearRequests();
        server_.enqueue("/batch", status == 302 ? HttpServerKit::Reply::redirect(server_.url("/collect"))
                                                : HttpServerKit::Reply::statusOnly(status));
        for (int i = 0; i < 3; ++i) queue(hit("F" + std::to_string(i)));
        EXPECT_EQ(dispatchAndWait(), Result::Error);
        EXPECT_EQ(store_->hits().size(), 3u);
        EXPECT_TRUE(dispatcher_->serverBatchingDisabled());
        ASSERT_EQ(server_.requestCount(), 1u);  // the redirect was not followed

        EXPECT_EQ(dispatchAndWait(), Result::Good);
        EXPECT_EQ(server_.requests().back().path, "/collect");
        EXPECT_EQ(store_->hits().size(), 2u);

        clock_->advance(3601);
        EXPECT_EQ(dispatchAndWait(), Result::Good);
        EXPECT_FALSE(dispatcher_->serverBatchingDisabled());
        EXPECT_EQ(server_.requests().back().path, "/batch");
        EXPECT_EQ(split(server_.requests().back().body, '\n').size(), 2u);
    }
}

TEST_F(DispatchTest, ABatchFallbackEndsTheChain) {
    server_.on("/batch", HttpServerKit::Reply::statusOnly(404));
    for (int i = 0; i < 3; ++i) queue(hit("C" + std::to_string(i)));
    dispatcher_->dispatch();
    ASSERT_TRUE(tlytest::pumpUntil([&] { return server_.requestCount() == 1 && !dispatcher_->hasConnection(); }));
    tlytest::pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(server_.requests("/collect").size(), 0u);
    EXPECT_EQ(store_->hits().size(), 3u);
    EXPECT_TRUE(dispatcher_->serverBatchingDisabled());
}

TEST_F(DispatchTest, ABatchAnswered500IsDeletedAndOneNotAnsweredIsKeptForALaterPass) {
    server_.enqueue("/batch", HttpServerKit::Reply::statusOnly(500));
    queue(hit("A"));
    queue(hit("B"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_FALSE(dispatcher_->serverBatchingDisabled());

    queue(hit("C"));
    queue(hit("D"));
    refuseConnections();
    EXPECT_EQ(dispatchAndWait(), Result::Error);
    EXPECT_EQ(store_->hits().size(), 2u);

    restoreEndpoints();
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_TRUE(store_->hits().empty());
    auto batches = server_.requests("/batch");
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(split(batches[1].body, '\n').size(), 2u);
    EXPECT_EQ(fields(split(batches[1].body, '\n')[0])["cd"], "C");
}

TEST_F(DispatchTest, ASlowAnswerKeepsOneRequestInFlightAndEachCallerHearsOnce) {
    server_.enqueue("/collect", HttpServerKit::Reply::hanging());
    queue(hit("A"));
    std::vector<Result> first, second;
    dispatcher_->dispatchWithCompletionHandler([&](Result r) { first.push_back(r); });
    ASSERT_TRUE(tlytest::pumpUntil([&] { return server_.requestCount() == 1; }));
    queue(hit("B"));
    dispatcher_->dispatchWithCompletionHandler([&](Result r) { second.push_back(r); });
    EXPECT_EQ(second, std::vector<Result>{Result::NoData});
    EXPECT_TRUE(first.empty());
    server_.releaseHangs();
    ASSERT_TRUE(tlytest::pumpUntil([&] { return !first.empty() && !dispatcher_->hasConnection(); }));
    tlytest::pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(first, std::vector<Result>{Result::Good});
    EXPECT_EQ(second, std::vector<Result>{Result::NoData});
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(store_->hits().size(), 1u);
}

TEST_F(DispatchTest, TheTimerExistsOnlyWhileHitsAreStoredTheHostIsReachableAndTheIntervalIsPositive) {
    EXPECT_FALSE(dispatcher_->hasTimer());  // only the first call, 1 s after creation
    queue(hit("A"));
    RunLoop::main().runFor(1.0);  // the first call sends it
    ASSERT_TRUE(tlytest::pumpUntil([&] { return store_->hits().empty() && !dispatcher_->hasConnection(); }));
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_FALSE(dispatcher_->hasHits());
    EXPECT_FALSE(dispatcher_->hasTimer());

    queue(hit("B"));
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(dispatcher_->hasTimer());
    tlytest::ScriptedReachability::report(0);  // not reachable
    RunLoop::main().runUntilIdle();
    EXPECT_FALSE(dispatcher_->hostReachable());
    EXPECT_FALSE(dispatcher_->hasTimer());
    tlytest::ScriptedReachability::report(platform::net::kReachabilityFlagsReachable);
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(dispatcher_->hasTimer());

    // The timer fires at the interval and sends.
    RunLoop::main().runFor(120.0);
    ASSERT_TRUE(tlytest::pumpUntil([&] { return store_->hits().empty() && !dispatcher_->hasConnection(); }));
    EXPECT_EQ(server_.requestCount(), 2u);

    queue(hit("C"));
    dispatcher_->setDispatchInterval(0);
    RunLoop::main().runUntilIdle();
    EXPECT_FALSE(dispatcher_->hasTimer());
    dispatcher_->setDispatchInterval(30);
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(dispatcher_->hasTimer());
    // A dispatch with a block stops the timer until an interval is set again.
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_EQ(dispatcher_->dispatchInterval(), -1.0);
    queue(hit("D"));
    RunLoop::main().runUntilIdle();
    EXPECT_FALSE(dispatcher_->hasTimer());
}

TEST_F(DispatchTest, TheFirstCallComesOneSecondAfterCreationAndTheTimerKeepsTheIntervalFromItsLastRebuild) {
    auto delivered = [&] {
        return tlytest::pumpUntil([&] { return store_->hits().empty() && !dispatcher_->hasConnection(); }) &&
               (RunLoop::main().runUntilIdle(), true);
    };
    queue(hit("A"));
    RunLoop::main().runFor(0.75);
    EXPECT_TRUE(built_.empty());
    RunLoop::main().runFor(0.25);
    EXPECT_EQ(built_.size(), 1u);
    ASSERT_TRUE(delivered());
    EXPECT_FALSE(dispatcher_->hasTimer());

    // A stored hit builds the timer with the interval in force.
    dispatcher_->setDispatchInterval(30);
    queue(hit("B"));
    RunLoop::main().runFor(29.5);
    EXPECT_EQ(built_.size(), 1u);
    RunLoop::main().runFor(0.5);
    EXPECT_EQ(built_.size(), 2u);
    ASSERT_TRUE(delivered());

    // A new interval rebuilds it: the period counts from the change.
    queue(hit("C"));
    RunLoop::main().runFor(20);
    dispatcher_->setDispatchInterval(45);
    RunLoop::main().runFor(44.5);
    EXPECT_EQ(built_.size(), 2u);
    RunLoop::main().runFor(0.5);
    EXPECT_EQ(built_.size(), 3u);
    ASSERT_TRUE(delivered());

    // With hits that stay (no service answers), it repeats at the interval.
    refuseConnections();
    queue(hit("D"));
    size_t pass = 3;
    for (double delay : {45.0, 45.0, 45.0}) {
        RunLoop::main().runFor(delay - 0.5);
        EXPECT_EQ(built_.size(), pass);
        RunLoop::main().runFor(0.5);
        EXPECT_EQ(built_.size(), ++pass);
        ASSERT_TRUE(tlytest::pumpUntil([&] { return !dispatcher_->hasConnection(); }));
        RunLoop::main().runUntilIdle();
    }
    EXPECT_EQ(store_->hits().size(), 1u);
}

TEST_F(DispatchTest, HitsNoServiceAnsweredAreRetriedAtTheIntervalInTheSameLaunch) {
    refuseConnections();
    queue(hit("A"));
    // True when exactly one request is built at the end of `seconds`, none before.
    auto onePassAfter = [&](double seconds) {
        size_t before = built_.size();
        RunLoop::main().runFor(seconds - 0.5);
        bool early = built_.size() != before;
        RunLoop::main().runFor(0.5);
        bool one = built_.size() == before + 1;
        EXPECT_TRUE(tlytest::pumpUntil([&] { return !dispatcher_->hasConnection(); }));
        RunLoop::main().runUntilIdle();
        return !early && one;
    };
    // The first call fails before any value changed: the failure starts the timer.
    EXPECT_TRUE(onePassAfter(1.0));
    for (int pass = 0; pass < 4; ++pass) EXPECT_TRUE(onePassAfter(120.0)) << pass;
    EXPECT_EQ(store_->hits().size(), 1u);
    EXPECT_EQ(server_.requestCount(), 0u);

    // The service comes up: the next tick delivers, and a service error deletes.
    restoreEndpoints();
    server_.on("/collect", HttpServerKit::Reply::statusOnly(503));
    EXPECT_TRUE(onePassAfter(120.0));
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_FALSE(dispatcher_->hasTimer());
    queue(hit("B"));
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(onePassAfter(120.0));
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(DispatchTest, ExpiredHitsTheStoreCannotDeleteLeaveHasHitsSet) {
    Value old = hit("Old");
    old["timestamp"] = Value::date(clock_->now() - 2592000.0);
    queue(old);
    store_->failDelete = true;
    EXPECT_EQ(dispatchAndWait(), Result::NoData);
    EXPECT_EQ(store_->hits().size(), 1u);
    EXPECT_TRUE(dispatcher_->hasHits());
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(DispatchTest, ABurstOfHitsIsCommittedOnceWithItsHitNumbers) {
    queue(hit("warm-up"));
    RunLoop::main().runUntilIdle();
    std::string aux = home_.file("aux.sql");
    // Frames appended to the properties database's write-ahead log.
    auto frames = [&] {
        std::error_code ec;
        auto size = std::filesystem::file_size(aux + "-wal", ec);
        return ec || size < 32 ? 0 : (size - 32) / (24 + 4096);
    };
    EXPECT_EQ(qmtest::run({"sqlite3", aux, "PRAGMA journal_mode;"}).out, "wal\n");
    auto framesBefore = frames();
    int savesBefore = store_->saves;
    for (int i = 0; i < 50; ++i) queue(hit("B" + std::to_string(i)));
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(store_->saves - savesBefore, 1);
    EXPECT_LE(frames() - framesBefore, 2u);
    // Another reader sees the last number while the store is open.
    EXPECT_EQ(qmtest::run({"sqlite3", aux, "SELECT hit_number FROM properties;"}).out, "50\n");
    EXPECT_EQ(store_->hits().back()["parameters"]["&_s"].stringValue(), "50");
}

TEST_F(DispatchTest, WithNoReachableHostAPassReportsNothingAndFetchesNothing) {
    queue(hit("A"));
    tlytest::ScriptedReachability::report(platform::net::kReachabilityFlagsReachable |
                                          platform::net::kReachabilityFlagsConnectionRequired);
    int fetches = store_->fetches;
    EXPECT_EQ(dispatchAndWait(), Result::NoData);
    EXPECT_EQ(store_->fetches, fetches);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(DispatchTest, EachPassAnnouncesItselfBeforeBuildingItsRequest) {
    int announced = 0;
    auto observer = platform::foundation::NotificationCenter::defaultCenter().addObserver(
        kTLYWillDispatchNotification, dispatcher_.get(), [&](const platform::foundation::Notification&) {
            EXPECT_TRUE(built_.empty() || announced < int(built_.size()) + 1);
            ++announced;
        });
    queue(hit("A"));
    dispatchAndWait();
    EXPECT_EQ(announced, 1);
    dispatchAndWait();  // nothing left: no announcement
    EXPECT_EQ(announced, 1);
}

TEST_F(DispatchTest, AnOversizedPayloadIsLeftOutOfTheBodyAndItsHitSharesTheRequestsFate) {
    tlytest::LogCapture log;
    queue(hit(std::string(9000, 'x')));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].path, "/collect");
    EXPECT_EQ(server_.requests()[0].query, "");
    EXPECT_TRUE(store_->hits().empty());

    // Beside another hit: a batch of two that carries one payload.
    configure([](TLYDispatchSettings& s) { s.maxHitSize = 1000; });
    queue(hit(std::string(2000, 'y')));
    queue(hit("small"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requestCount(), 2u);
    EXPECT_EQ(server_.requests()[1].path, "/batch");
    EXPECT_EQ(fields(server_.requests()[1].body)["cd"], "small");
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_EQ(log.count("ERROR"), 0u);
}

TEST_F(DispatchTest, ABodyOverTheLimitFailsAndItsHitsAreDeleted) {
    tlytest::LogCapture log;
    configure([](TLYDispatchSettings& s) { s.maxHitSize = 0; });
    queue(hit(std::string(9000, 'x')));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_EQ(server_.requestCount(), 0u);
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_EQ(log.count("Failed to generate request for hit(s)."), 1u);
}

TEST_F(DispatchTest, AnswersReachTheCompletionBlockOnTheMainThreadAndOptOutIsCopiedAtOnce) {
    platform::foundation::Thread worker("TLYTestThread");
    TLYBatchingDispatcher::Environment env;
    env.analyticsLoop = &worker.runLoop();
    env.propertiesStore = props_;
    env.reachabilityApi = tlytest::ScriptedReachability::api();
    env.sendThroughTracker = [](const Value&) {};
    auto store = std::make_shared<tlytest::MemoryHitStore>();
    auto d = TLYBatchingDispatcher::initWithDataStore(store, env);
    d->queueDispatch(hit("A"));
    std::atomic<int> result{-1}, onMain{-1};
    d->dispatchWithCompletionHandler([&](Result r) {
        onMain = platform::foundation::Thread::isMainThread();
        result = int(r);
    });
    ASSERT_TRUE(tlytest::pumpUntil([&] { return result != -1; }));
    EXPECT_EQ(result, int(Result::Good));
    EXPECT_EQ(onMain, 1);
    EXPECT_EQ(server_.requestCount(), 1u);

    // The new value is the dispatcher's before its thread runs again.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    worker.perform([released] { released.wait(); });
    d->optOutChanged(true);
    EXPECT_TRUE(d->optOut());
    release.set_value();
    std::promise<void> done;
    worker.perform([&done] { done.set_value(); });
    done.get_future().wait();
    d.reset();
}

TEST_F(DispatchTest, AHitThirtyDaysOldIsDeletedUnsent) {
    Value old = hit("Old");
    old["timestamp"] = Value::date(clock_->now() - 2592000.0);
    queue(old);
    Value fresh = hit("Fresh");
    fresh["timestamp"] = Value::date(clock_->now() - 2591999.0);
    queue(fresh);
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].params.at("cd"), "Fresh");
    EXPECT_TRUE(store_->hits().empty());
}

TEST_F(DispatchTest, SamplingKeepsHitsWhoseHashFallsBelowTheRate) {
    int kept = 0;
    for (int i = 0; i < 40; ++i) {
        std::string cid = "client-" + std::to_string(i);
        Value h = hit("S", "UA-1", cid);
        h["&sf"] = "50";
        size_t before = store_->hits().size();
        queue(h);
        bool stored = store_->hits().size() > before;
        EXPECT_EQ(stored, TLYHitUtil::tlyHash(cid) % 10000 < 5000) << cid;
        kept += stored;
    }
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, 40);
    // The rate is read in single precision and scaled in double: 12.34 reads
    // as 12.3400001..., so a hash ending in 1234 lies just below 1234.00001.
    std::string edge;
    for (int i = 0; edge.empty(); ++i)
        if (TLYHitUtil::tlyHash("edge-" + std::to_string(i)) % 10000 == 1234) edge = "edge-" + std::to_string(i);
    Value rated = hit("S", "UA-1", edge);
    rated["&sf"] = "12.34";
    size_t stored = store_->hits().size();
    queue(rated);
    EXPECT_EQ(store_->hits().size(), stored + 1);
    Value letters = hit("S", "UA-1", "client-0");
    letters["&sf"] = "fifty";
    size_t before = store_->hits().size();
    queue(letters);
    EXPECT_EQ(store_->hits().size(), before + 1);
}

TEST_F(DispatchTest, OptingOutDeletesStoredHitsOnceAndDropsNewOnes) {
    queue(hit("A"));
    queue(hit("B"));
    dispatcher_->optOutChanged(true);
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_FALSE(dispatcher_->hasHits());
    queue(hit("C"));
    EXPECT_TRUE(store_->hits().empty());
    dispatcher_->optOutChanged(true);
    dispatcher_->optOutChanged(false);
    EXPECT_EQ(store_->deleteAllCalls, 1);
    queue(hit("D"));
    EXPECT_EQ(store_->hits().size(), 1u);
}

TEST_F(DispatchTest, DryRunDeliversWithoutSending) {
    TLYURLConnection::setDryRun(true);
    queue(hit("A"));
    queue(hit("B"));
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    TLYURLConnection::setDryRun(false);
    EXPECT_TRUE(store_->hits().empty());
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(DispatchTest, TheCollectorIsChosenByTheEnvironment) {
    auto endpoints = TLYBatchingDispatcher::defaultEndpoints();
    EXPECT_EQ(endpoints.httpsURL, server_.url("/collect"));
    EXPECT_EQ(endpoints.httpBatchURL, server_.url("/batch"));
    ::unsetenv(kTLYCollectURLEnvironmentVariable);
    endpoints = TLYBatchingDispatcher::defaultEndpoints();
    EXPECT_EQ(endpoints.httpsURL.rfind("https://", 0), 0u);
    EXPECT_EQ(endpoints.httpURL.rfind("http://", 0), 0u);
    EXPECT_NE(endpoints.httpsURL, endpoints.httpURL);
}

TEST_F(DispatchTest, CallsFromOtherThreadsTakeEffectOnTheAnalyticsThreadInTheirOrder) {
    std::thread caller([&] {
        queue(hit("A"));
        queue(hit("B"));
        TLYDispatchSettings settings;
        settings.endpoints = TLYBatchingDispatcher::defaultEndpoints();
        settings.batchingStrategy = 0;  // one hit per request
        dispatcher_->setSettings(settings);
        EXPECT_THROW(dispatcher_->hasHits(), platform::foundation::Exception);
    });
    caller.join();
    EXPECT_TRUE(store_->hits().empty());  // still waiting on the analytics loop
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(store_->hits().size(), 2u);
    EXPECT_EQ(dispatchAndWait(), Result::Good);
    EXPECT_EQ(server_.requests("/collect").size(), 1u);
    EXPECT_EQ(store_->hits().size(), 1u);
}
