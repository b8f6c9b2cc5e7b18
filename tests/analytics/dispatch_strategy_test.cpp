#include <gtest/gtest.h>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::RunLoop;
using platform::foundation::Value;

namespace {

Value stamped(double t, const char* sc = nullptr) {
    Value hit(Value::Dictionary{});
    hit["timestamp"] = Value::date(t);
    hit["parameters"] = Value(Value::Dictionary{{"&t", "event"}});
    if (sc) hit["parameters"]["&sc"] = sc;
    return hit;
}

class StrategyTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1.7e9);
        Clock::setCurrent(clock_);
        store_ = std::make_shared<tlytest::MemoryHitStore>();
        TLYBatchingDispatcher::Environment env;
        env.analyticsLoop = &RunLoop::main();
        env.propertiesStore =
            TLYAnalyticsPropertiesStore::initWithSqlStore(TLYSqlStore::initWithDatabaseName("aux.sql", dir_.path()));
        env.reachabilityApi = tlytest::ScriptedReachability::api();
        dispatcher_ = TLYBatchingDispatcher::initWithDataStore(store_, env);
    }
    void TearDown() override {
        dispatcher_.reset();
        RunLoop::main().runUntilIdle();
        Clock::setCurrent(nullptr);
    }
    // A stored hit whose payload is exactly `bytes` long, `age` seconds old.
    void add(size_t bytes, double age = 0) {
        Value hit(Value::Dictionary{});
        hit["timestamp"] = Value::date(clock_->now() - age);
        hit["parameters"] = Value(Value::Dictionary{{"&cd", "x"}});
        size_t base = builder_.parametersForHit(hit).size();
        hit["parameters"]["&cd"] = std::string(bytes - base + 1, 'x');
        ASSERT_EQ(builder_.parametersForHit(hit).size(), bytes);
        store_->addHit(hit);
    }
    size_t chosen() { return dispatcher_->hitsForDispatch().size(); }

    tlytest::TempDir dir_;
    std::shared_ptr<ManualClock> clock_;
    std::shared_ptr<tlytest::MemoryHitStore> store_;
    std::shared_ptr<TLYBatchingDispatcher> dispatcher_;
    TLYRequestBuilder builder_;
};

}  // namespace

TEST(BatchRules, TimeGapCutsBeforeTheWidestGapAndPrefersTheLaterOfEqualGaps) {
    Value::Array hits = {stamped(0), stamped(1), stamped(10), stamped(11)};
    EXPECT_EQ(TLYBatchingDispatcher::batchByTimeGap(hits, 4), 2u);
    Value::Array even = {stamped(0), stamped(5), stamped(10), stamped(15)};
    EXPECT_EQ(TLYBatchingDispatcher::batchByTimeGap(even, 4), 3u);
    EXPECT_EQ(TLYBatchingDispatcher::batchByTimeGap(hits, 1), 1u);
    EXPECT_EQ(TLYBatchingDispatcher::batchByTimeGap(hits, 0), 0u);
    Value::Array backwards = {stamped(10), stamped(0), stamped(1)};
    EXPECT_EQ(TLYBatchingDispatcher::batchByTimeGap(backwards, 3), 2u);
}

TEST(BatchRules, SessionSplitEndsBeforeAStartOrAfterAnEnd) {
    Value::Array hits(6, stamped(0));
    EXPECT_EQ(TLYBatchingDispatcher::batchBySessionSplit(hits, 6), 6u);
    hits[3] = stamped(0, "start");
    EXPECT_EQ(TLYBatchingDispatcher::batchBySessionSplit(hits, 6), 3u);
    hits[3] = stamped(0, "end");
    EXPECT_EQ(TLYBatchingDispatcher::batchBySessionSplit(hits, 6), 4u);
    hits[5] = stamped(0, "start");
    EXPECT_EQ(TLYBatchingDispatcher::batchBySessionSplit(hits, 6), 5u);  // the last match wins
}

TEST_F(StrategyTest, EverythingThatFitsGoesTogether) {
    for (int i = 0; i < 20; ++i) add(250);
    EXPECT_EQ(chosen(), 20u);
    dispatcher_->setBatchingStrategy(0);
    EXPECT_EQ(chosen(), 1u);
}

TEST_F(StrategyTest, TheLineFeedsBetweenPayloadsCountAgainstTheBodyLimit) {
    add(4096);
    add(4096);  // 8192 bytes of payload, 8193 with the separator
    dispatcher_->setBatchingStrategy(1);
    EXPECT_EQ(chosen(), 1u);
    dispatcher_->setMaxBodySize(8193);
    EXPECT_EQ(chosen(), 2u);
}

TEST_F(StrategyTest, LongestPrefixAndHalvesOverTheLimit) {
    for (int i = 0; i < 20; ++i) add(450);  // 9019 bytes with separators
    dispatcher_->setBatchingStrategy(1);
    EXPECT_EQ(chosen(), 18u);  // 18 * 450 + 17 = 8117
    dispatcher_->setBatchingStrategy(4);
    EXPECT_EQ(chosen(), 10u);
    dispatcher_->setBatchingStrategy(3);
    EXPECT_EQ(chosen(), 9u);  // the running total after 10 hits passes half
    dispatcher_->setBatchingStrategy(77);
    EXPECT_EQ(chosen(), 1u);
}

TEST_F(StrategyTest, TimeGapAndSessionSplitOnStoredHits) {
    // Four hits that fit, then one that does not.
    for (double age : {30.0, 29.0, 20.0, 19.0}) add(2000, age);
    add(3000, 0);
    EXPECT_EQ(chosen(), 2u);  // default strategy: the widest gap lies after the second
    dispatcher_->setBatchingStrategy(5);
    EXPECT_EQ(chosen(), 4u);
}

TEST_F(StrategyTest, FallbackSendsOneHitUntilTheRetryIntervalHasPassed) {
    for (int i = 0; i < 3; ++i) add(100);
    dispatcher_->setServerBatchingDisabled(true);
    EXPECT_EQ(chosen(), 1u);
}

TEST_F(StrategyTest, HalvingFromTwiceTheLimitTakesThePrefixThatFits) {
    for (int i = 0; i < 20; ++i) add(1000);  // 20019 bytes: twice the limit or more
    dispatcher_->setBatchingStrategy(3);
    EXPECT_EQ(chosen(), 8u);  // the 8 that fit, not the 9 below half the total
}

TEST_F(StrategyTest, HalvingWithNothingBelowHalfTheTotalSendsOneHit) {
    // 8302 bytes; no running total after the first hit is within 4151.
    add(5000);
    add(100);
    add(3200);
    dispatcher_->setBatchingStrategy(1);
    EXPECT_EQ(chosen(), 2u);
    dispatcher_->setBatchingStrategy(3);
    EXPECT_EQ(chosen(), 1u);
}
