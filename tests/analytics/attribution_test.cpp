#include <gtest/gtest.h>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::RunLoop;
using platform::foundation::UserDefaults;
using platform::foundation::Value;

namespace {

struct FakeAdClient : TLYAdClient {
    bool attributed = true;
    int asked = 0;
    bool respondsToDetermineAppInstallationAttribution() const override { return true; }
    void determineAppInstallationAttributionWithCompletionHandler(std::function<void(bool)> done) override {
        ++asked;
        done(attributed);
    }
};

class AttributionTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1.7e9);
        Clock::setCurrent(clock_);
        platform::foundation::Sandbox::setHome(home_.path());
        UserDefaults::resetStandard();
        UserDefaults::standard().setObject("TLYFirstInitTimeStamp", Value::date(clock_->now() - 60));
        client_ = std::make_shared<FakeAdClient>();
        TLYAdClient::registerClass("ADClient", [this] { return client_; });
        store_ = std::make_shared<tlytest::MemoryHitStore>();
        props_ =
            TLYAnalyticsPropertiesStore::initWithSqlStore(TLYSqlStore::initWithDatabaseName("aux.sql", home_.path()));
        dispatcher_ = make();
    }
    void TearDown() override {
        dispatcher_.reset();
        TLYAdClient::registerClass("ADClient", nullptr);
        RunLoop::main().runUntilIdle();
        Clock::setCurrent(nullptr);
    }
    std::shared_ptr<TLYBatchingDispatcher> make() {
        TLYBatchingDispatcher::Environment env;
        env.analyticsLoop = &RunLoop::main();
        env.propertiesStore = props_;
        env.reachabilityApi = tlytest::ScriptedReachability::api();
        // What a tracker does with the hit: hand it back to the intake.
        env.sendThroughTracker = [this](const Value& hit) {
            if (dispatcher_) dispatcher_->queueDispatch(hit);
        };
        return TLYBatchingDispatcher::initWithDataStore(store_, env);
    }
    static Value hit(const std::string& tid = "UA-1") {
        return Value(Value::Dictionary{
            {"&t", "screenview"}, {"&tid", tid}, {"&cid", "K"}, {"&an", "Quenmira"}, {"&cd", "Main"}});
    }
    std::vector<Value> attributionHits() const {
        std::vector<Value> out;
        for (const auto& h : store_->hits())
            if (h["parameters"]["&cs"].stringValue() == "iAd") out.push_back(h);
        return out;
    }

    tlytest::TempDir home_;
    std::shared_ptr<ManualClock> clock_;
    std::shared_ptr<FakeAdClient> client_;
    std::shared_ptr<tlytest::MemoryHitStore> store_;
    std::shared_ptr<TLYAnalyticsPropertiesStore> props_;
    std::shared_ptr<TLYBatchingDispatcher> dispatcher_;
};

}  // namespace

TEST_F(AttributionTest, AnAttributedInstallSendsOneHitPerTrackerStampedWithTheFirstStart) {
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    auto sent = attributionHits();
    ASSERT_EQ(sent.size(), 1u);
    const Value& p = sent[0]["parameters"];
    EXPECT_EQ(p["&t"].stringValue(), "data");
    EXPECT_EQ(p["&ni"].stringValue(), "1");
    EXPECT_EQ(p["&tid"].stringValue(), "UA-1");
    EXPECT_EQ(p["&an"].stringValue(), "Quenmira");
    EXPECT_FALSE(p.contains("&cd"));
    EXPECT_EQ(sent[0]["timestamp"].dateValue(), clock_->now() - 60);
    EXPECT_TRUE(UserDefaults::standard().objectForKey("TLYCampaignInfoIAd").boolValue());

    dispatcher_->queueDispatch(hit());
    dispatcher_->queueDispatch(hit("UA-2"));
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(attributionHits().size(), 2u);
    EXPECT_EQ(client_->asked, 1);  // the stored answer is used from then on

    // A later launch: the persistent flag keeps it at one per tracker.
    dispatcher_.reset();
    dispatcher_ = make();
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(attributionHits().size(), 2u);
}

TEST_F(AttributionTest, AnInstallNotAttributedIsRememberedAndNeverAskedAgain) {
    client_->attributed = false;
    dispatcher_->queueDispatch(hit());
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(attributionHits().empty());
    EXPECT_EQ(client_->asked, 1);
    Value stored = UserDefaults::standard().objectForKey("TLYCampaignInfoIAd");
    ASSERT_FALSE(stored.isNull());
    EXPECT_FALSE(stored.boolValue());
}

TEST_F(AttributionTest, TheCheckEndsOutsideTheFirstDayOrWithoutAnAdClient) {
    clock_->advance(25 * 3600);
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(attributionHits().empty());
    EXPECT_EQ(client_->asked, 0);

    clock_->setNow(1.7e9);
    TLYAdClient::registerClass("ADClient", nullptr);
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(attributionHits().empty());

    UserDefaults::standard().removeObject("TLYFirstInitTimeStamp");
    TLYAdClient::registerClass("ADClient", [this] { return client_; });
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(attributionHits().empty());
    EXPECT_EQ(client_->asked, 0);
}

namespace {

// A client that answers both ways; the conversion lookup is the one to use.
struct ConversionAdClient : TLYAdClient {
    std::optional<double> impression;
    int lookups = 0;
    int determinations = 0;
    bool respondsToLookupAdConversionDetails() const override { return true; }
    void lookupAdConversionDetails(std::function<void(std::optional<double>, std::optional<double>)> done) override {
        ++lookups;
        done(1.69e9, impression);
    }
    bool respondsToDetermineAppInstallationAttribution() const override { return true; }
    void determineAppInstallationAttributionWithCompletionHandler(std::function<void(bool)> done) override {
        ++determinations;
        done(true);
    }
};

}  // namespace

// Keeps the service's block to answer later.
struct LateAdClient : TLYAdClient {
    std::function<void(bool)> answer;
    bool respondsToDetermineAppInstallationAttribution() const override { return true; }
    void determineAppInstallationAttributionWithCompletionHandler(std::function<void(bool)> done) override {
        answer = std::move(done);
    }
};

TEST_F(AttributionTest, AnAnswerAfterTheDispatcherWasLetGoIsStillRecorded) {
    auto client = std::make_shared<LateAdClient>();
    TLYAdClient::registerClass("ADClient", [client] { return client; });
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    ASSERT_TRUE(client->answer);
    dispatcher_.reset();
    client->answer(true);
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(UserDefaults::standard().objectForKey("TLYCampaignInfoIAd").boolValue());
    client->answer = nullptr;
}

TEST_F(AttributionTest, TheConversionLookupIsPreferredAndAnImpressionDateMeansAttributed) {
    auto client = std::make_shared<ConversionAdClient>();
    TLYAdClient::registerClass("ADClient", [client] { return client; });

    dispatcher_->queueDispatch(hit());  // no impression: not attributed
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(attributionHits().empty());
    EXPECT_EQ(client->lookups, 1);
    EXPECT_EQ(client->determinations, 0);
    ASSERT_FALSE(UserDefaults::standard().objectForKey("TLYCampaignInfoIAd").isNull());
    EXPECT_FALSE(UserDefaults::standard().objectForKey("TLYCampaignInfoIAd").boolValue());

    UserDefaults::standard().removeObject("TLYCampaignInfoIAd");
    client->impression = 1.695e9;
    dispatcher_->queueDispatch(hit());
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(attributionHits().size(), 1u);
    EXPECT_EQ(client->lookups, 2);
    EXPECT_EQ(client->determinations, 0);
    EXPECT_TRUE(UserDefaults::standard().objectForKey("TLYCampaignInfoIAd").boolValue());

    // A hit without a client identifier cannot make an attribution hit.
    Value anonymous = hit("UA-3");
    anonymous.erase("&cid");
    dispatcher_->queueDispatch(anonymous);
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(attributionHits().size(), 1u);
    EXPECT_EQ(client->lookups, 2);
}
