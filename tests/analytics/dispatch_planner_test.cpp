#include <gtest/gtest.h>

#include "analytics/TLYDispatchPlanner.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::Value;

namespace {

Value stamped(double t, const char* sc = nullptr) {
    Value hit(Value::Dictionary{});
    hit["timestamp"] = Value::date(t);
    hit["parameters"] = Value(Value::Dictionary{{"&t", "event"}});
    if (sc) hit["parameters"]["&sc"] = sc;
    return hit;
}

class PlannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1.7e9);
        Clock::setCurrent(clock_);
        settings_.endpoints = {"http://h/collect", "https://h/collect", "http://h/batch", "https://h/batch"};
    }
    void TearDown() override { Clock::setCurrent(nullptr); }
    // A pending hit whose payload is exactly `bytes` long, `age` seconds old.
    // `scrambled`: letters that do not compress.
    void add(size_t bytes, double age = 0, bool plain = false, bool scrambled = false) {
        Value hit(Value::Dictionary{});
        hit["timestamp"] = Value::date(clock_->now() - age);
        hit["parameters"] = Value(Value::Dictionary{{"&cd", "x"}});
        if (plain) hit["parameters"]["useSecure"] = "0";
        size_t base = builder_.parametersForHit(hit).size();
        std::string text(bytes - base + 1, 'x');
        for (size_t i = 0; scrambled && i < text.size(); ++i)
            text[i] = char('a' + (i * 7919 + pending_.size() * 31) % 26);
        hit["parameters"]["&cd"] = text;
        ASSERT_EQ(builder_.parametersForHit(hit).size(), bytes);
        pending_.push_back(hit);
    }
    size_t chosen(bool batchingDisabled = false) {
        return TLYDispatchPlanner::chooseHits(pending_, settings_, batchingDisabled, builder_).hits.size();
    }
    std::optional<platform::net::URLRequest> plan() {
        return TLYDispatchPlanner::planRequest(pending_, settings_, builder_);
    }
    std::string payload(size_t i) { return builder_.parametersForHit(pending_[i]); }

    std::shared_ptr<ManualClock> clock_;
    TLYDispatchSettings settings_;
    TLYRequestBuilder builder_;
    Value::Array pending_;
};

}  // namespace

TEST(BatchRules, TimeGapCutsBeforeTheWidestGapAndPrefersTheLaterOfEqualGaps) {
    Value::Array hits = {stamped(0), stamped(1), stamped(10), stamped(11)};
    EXPECT_EQ(TLYDispatchPlanner::batchByTimeGap(hits, 4), 2u);
    Value::Array even = {stamped(0), stamped(5), stamped(10), stamped(15)};
    EXPECT_EQ(TLYDispatchPlanner::batchByTimeGap(even, 4), 3u);
    EXPECT_EQ(TLYDispatchPlanner::batchByTimeGap(hits, 1), 1u);
    EXPECT_EQ(TLYDispatchPlanner::batchByTimeGap(hits, 0), 0u);
    Value::Array backwards = {stamped(10), stamped(0), stamped(1)};
    EXPECT_EQ(TLYDispatchPlanner::batchByTimeGap(backwards, 3), 2u);
}

TEST(BatchRules, SessionSplitEndsBeforeAStartOrAfterAnEnd) {
    Value::Array hits(6, stamped(0));
    EXPECT_EQ(TLYDispatchPlanner::batchBySessionSplit(hits, 6), 6u);
    hits[3] = stamped(0, "start");
    EXPECT_EQ(TLYDispatchPlanner::batchBySessionSplit(hits, 6), 3u);
    hits[3] = stamped(0, "end");
    EXPECT_EQ(TLYDispatchPlanner::batchBySessionSplit(hits, 6), 4u);
    hits[5] = stamped(0, "start");
    EXPECT_EQ(TLYDispatchPlanner::batchBySessionSplit(hits, 6), 5u);  // the last match wins
}

TEST_F(PlannerTest, EverythingThatFitsGoesTogether) {
    for (int i = 0; i < 20; ++i) add(250);
    EXPECT_EQ(chosen(), 20u);
    settings_.batchingStrategy = 0;
    EXPECT_EQ(chosen(), 1u);
}

TEST_F(PlannerTest, TheChoiceCountsPayloadCharactersWithoutSeparatorsSoItsBodyMayFail) {
    add(4096);
    add(4096);  // 8192 characters of payload, 8193 bytes of body with the separator
    settings_.batchingStrategy = 1;
    EXPECT_EQ(chosen(), 2u);
    EXPECT_FALSE(plan());
    settings_.maxBodySize = 8193;
    ASSERT_TRUE(plan());
    EXPECT_EQ(tlytest::pythonDecompress(plan()->httpBody(), 31), payload(0) + "\n" + payload(1));
}

TEST_F(PlannerTest, LongestPrefixAndHalvesOverTheLimit) {
    for (int i = 0; i < 20; ++i) add(450);  // 9000 characters
    settings_.batchingStrategy = 1;
    EXPECT_EQ(chosen(), 18u);  // 18 * 450 = 8100
    settings_.batchingStrategy = 4;
    EXPECT_EQ(chosen(), 10u);
    settings_.batchingStrategy = 3;
    EXPECT_EQ(chosen(), 9u);  // the running total after 10 hits passes half
    settings_.batchingStrategy = 77;
    auto choice = TLYDispatchPlanner::chooseHits(pending_, settings_, false, builder_);
    EXPECT_EQ(choice.hits.size(), 1u);
    EXPECT_TRUE(choice.unexpectedStrategy);
}

TEST_F(PlannerTest, TimeGapAndSessionSplitOnStoredHits) {
    // Four hits that fit, then one that does not.
    for (double age : {30.0, 29.0, 20.0, 19.0}) add(2000, age);
    add(3000, 0);
    EXPECT_EQ(chosen(), 2u);  // default strategy: the widest gap lies after the second
    settings_.batchingStrategy = 5;
    EXPECT_EQ(chosen(), 4u);
}

TEST_F(PlannerTest, OneHitGoesWhileBatchingIsOff) {
    for (int i = 0; i < 3; ++i) add(100);
    EXPECT_EQ(chosen(true), 1u);
}

TEST_F(PlannerTest, HalvingFromTwiceTheLimitTakesThePrefixThatFits) {
    for (int i = 0; i < 20; ++i) add(1000);  // 20000 characters: twice the limit or more
    settings_.batchingStrategy = 3;
    EXPECT_EQ(chosen(), 8u);  // the 8 that fit, not the 9 below half the total
}

TEST_F(PlannerTest, HalvingWithNothingBelowHalfTheTotalSendsOneHit) {
    // 8300 characters; no running total after the first hit is within 4150.
    add(5000);
    add(100);
    add(3200);
    settings_.batchingStrategy = 1;
    EXPECT_EQ(chosen(), 2u);
    settings_.batchingStrategy = 3;
    EXPECT_EQ(chosen(), 1u);
}

TEST_F(PlannerTest, OnlyHitsOfTheFirstHitsSecurityAreChosen) {
    add(100, 0, true);
    add(100);
    add(100, 0, true);
    auto choice = TLYDispatchPlanner::chooseHits(pending_, settings_, false, builder_);
    ASSERT_EQ(choice.hits.size(), 2u);
    EXPECT_TRUE(TLYDispatchPlanner::isPlain(choice.hits[1]));
}

TEST_F(PlannerTest, ABatchWhoseBodyPassesTheLimitHasNoRequest) {
    for (int i = 0; i < 3; ++i) add(4000);
    EXPECT_FALSE(plan());
    pending_.pop_back();
    auto p = plan();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->url(), "https://h/batch");
    EXPECT_EQ(p->httpMethod(), "POST");
    EXPECT_EQ(p->valueForHTTPHeaderField("Content-Encoding"), "gzip");
    EXPECT_EQ(tlytest::pythonDecompress(p->httpBody(), 31), payload(0) + "\n" + payload(1));
}

TEST_F(PlannerTest, OneHitGoesByGetBelow2000BytesAndByPlainPostFrom2000) {
    add(1999, 0, true);
    auto p = plan();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->httpMethod(), "GET");
    EXPECT_EQ(p->url().rfind("http://h/collect?", 0), 0u);
    pending_.clear();
    add(2000);
    p = plan();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->httpMethod(), "POST");
    EXPECT_EQ(p->url(), "https://h/collect");
    EXPECT_EQ(p->valueForHTTPHeaderField("Content-Encoding"), "");
    EXPECT_EQ(p->httpBody().size(), 2000u);
}

TEST_F(PlannerTest, ACompressedBodyOverTheLimitHasNoRequest) {
    // Two short hits with little in common: gzip's frame outweighs what it saves.
    add(40, 0, false, true);
    add(40, 123456.789, false, true);
    std::string joined = payload(0) + "\n" + payload(1);
    settings_.maxBodySize = 0;  // no limit: compressed even when it grows
    auto p = plan();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->valueForHTTPHeaderField("Content-Encoding"), "gzip");
    ASSERT_GT(p->httpBody().size(), joined.size());
    settings_.maxBodySize = joined.size();
    EXPECT_FALSE(plan());
}

TEST_F(PlannerTest, AnOversizedPayloadIsLeftOutOfTheBodyNotOutOfTheList) {
    add(9000);
    add(100);
    auto p = plan();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->url(), "https://h/batch");  // the list's count chooses the endpoint
    EXPECT_EQ(tlytest::pythonDecompress(p->httpBody(), 31), payload(1));
    // Alone, it goes as an empty GET.
    pending_.pop_back();
    p = plan();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->url(), "https://h/collect?");
    // Without a hit limit, it passes the body limit: no request.
    settings_.maxHitSize = 0;
    EXPECT_FALSE(plan());
}
