#pragma once
// A batching dispatcher on the main run loop over an in-memory hit store,
// sending to a loopback collector, on the manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/TLY.h"
#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/URLConnection.h"
#include "tests/support/HttpServerKit.h"

namespace tlytest {

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::RunLoop;
using platform::foundation::Value;
using qmtest::HttpServerKit;
using Result = TLYDispatchResult;

class DispatcherFixture : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1.7e9);
        Clock::setCurrent(clock_);
        platform::foundation::Sandbox::setHome(home_.path());
        platform::foundation::UserDefaults::resetStandard();
        ::setenv(kTLYCollectURLEnvironmentVariable, server_.baseURL().c_str(), 1);
        server_.on("/collect", HttpServerKit::Reply::text("ok"));
        server_.on("/batch", HttpServerKit::Reply::text("ok"));
        store_ = std::make_shared<MemoryHitStore>();
        props_ =
            TLYAnalyticsPropertiesStore::initWithSqlStore(TLYSqlStore::initWithDatabaseName("aux.sql", home_.path()));
        dispatcher_ = make();
    }
    void TearDown() override {
        dispatcher_.reset();
        RunLoop::main().runUntilIdle();
        ::unsetenv(kTLYCollectURLEnvironmentVariable);
        Clock::setCurrent(nullptr);
    }

    std::shared_ptr<TLYBatchingDispatcher> make() {
        TLYBatchingDispatcher::Environment env;
        env.analyticsLoop = &RunLoop::main();
        env.propertiesStore = props_;
        env.reachabilityApi = ScriptedReachability::api();
        env.sendThroughTracker = [](const Value&) {};
        auto d = TLYBatchingDispatcher::initWithDataStore(store_, env);
        d->setUrlConnectionClass([this](const platform::net::URLRequest& r, platform::foundation::dispatch::Queue* q,
                                        TLYURLConnection::CompletionHandler h, RunLoop* l) {
            built_.push_back(r);
            return TLYURLConnection::initWithRequest(r, q, std::move(h), l);
        });
        return d;
    }

    static Value hit(const std::string& screen, const std::string& tid = "UA-1", const std::string& cid = "K") {
        return Value(Value::Dictionary{{"&t", "screenview"}, {"&cd", screen}, {"&tid", tid}, {"&cid", cid}});
    }
    void queue(Value parameters) { dispatcher_->queueDispatch(parameters); }
    // Changes the dispatcher's settings (at once: the fixture runs on its analytics loop).
    void configure(const std::function<void(TLYDispatchSettings&)>& change) {
        TLYDispatchSettings settings = dispatcher_->settings();
        change(settings);
        dispatcher_->setSettings(settings);
    }
    // Points every endpoint at a port where nothing listens.
    void refuseConnections() {
        std::string refused = qmtest::refusedURL("");
        while (!refused.empty() && refused.back() == '/') refused.pop_back();
        configure([&](TLYDispatchSettings& s) {
            s.endpoints = {refused + "/collect", refused + "/collect", refused + "/batch", refused + "/batch"};
        });
    }
    void restoreEndpoints() {
        configure([](TLYDispatchSettings& s) { s.endpoints = TLYBatchingDispatcher::defaultEndpoints(); });
    }

    Result dispatchAndWait() {
        std::optional<Result> result;
        dispatcher_->dispatchWithCompletionHandler([&](Result r) { result = r; });
        EXPECT_TRUE(pumpUntil([&] { return result.has_value(); }));
        EXPECT_TRUE(pumpUntil([&] { return !dispatcher_->hasConnection(); }));
        return result.value_or(Result::NoData);
    }
    // Chained passes without a block, until the store is empty or they stop.
    void drain() {
        dispatcher_->dispatch();
        pumpUntil([&] { return store_->hits().empty() && !dispatcher_->hasConnection(); });
        RunLoop::main().runUntilIdle();
    }

    // The shared logger prints info lines while it lives.
    struct Talkative {
        uint64_t level = TLY::sharedLogger()->logLevel();
        Talkative() { TLY::sharedLogger()->setLogLevel(3); }
        ~Talkative() { TLY::sharedLogger()->setLogLevel(level); }
    };

    TempDir home_;
    HttpServerKit server_;
    std::shared_ptr<ManualClock> clock_;
    std::shared_ptr<MemoryHitStore> store_;
    std::shared_ptr<TLYAnalyticsPropertiesStore> props_;
    std::shared_ptr<TLYBatchingDispatcher> dispatcher_;
    std::vector<platform::net::URLRequest> built_;
};

}  // namespace tlytest
