#include <gtest/gtest.h>

#include "analytics/TLYReachabilityChecker.h"
#include "dispatch_support.h"
#include "platform/net/Reachability.h"

namespace {

struct Listener : TLYReachabilityDelegate {
    std::vector<int32_t> statuses;
    void reachabilityStatusChanged(TLYReachabilityChecker&, int32_t status) override { statuses.push_back(status); }
};

}  // namespace

TEST(ReachTest, StatusFromTheFlags) {
    using namespace platform::net;
    const uint32_t reachable = kReachabilityFlagsReachable;
    const uint32_t required = kReachabilityFlagsConnectionRequired;
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(0), kTLYReachabilityNotReachable);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable), kTLYReachabilityViaLocalNetwork);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable | kReachabilityFlagsIsWWAN),
              kTLYReachabilityViaMobileNetwork);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable | required), kTLYReachabilityNotReachable);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable | required | kReachabilityFlagsConnectionOnDemand),
              kTLYReachabilityViaLocalNetwork);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable | required | kReachabilityFlagsConnectionOnTraffic),
              kTLYReachabilityViaLocalNetwork);
    EXPECT_EQ(TLYReachabilityChecker::statusForFlags(reachable | required | kReachabilityFlagsConnectionOnDemand |
                                                     kReachabilityFlagsInterventionRequired),
              kTLYReachabilityNotReachable);
}

TEST(ReachTest, TheDelegateHearsOnlyChangesAndStopResets) {
    Listener listener;
    EXPECT_FALSE(TLYReachabilityChecker::initWithDelegate(&listener, ""));
    auto checker = TLYReachabilityChecker::initWithDelegate(&listener, "collector.example");
    ASSERT_TRUE(checker);
    checker->setReachabilityApi(tlytest::ScriptedReachability::api());
    EXPECT_TRUE(checker->start());
    EXPECT_TRUE(checker->start());
    EXPECT_EQ(tlytest::ScriptedReachability::targets, 1);
    // Refused while running.
    checker->setReachabilityApi(TLYDefaultReachabilityApi());
    EXPECT_EQ(checker->reachabilityApi(), tlytest::ScriptedReachability::api());

    tlytest::ScriptedReachability::report(platform::net::kReachabilityFlagsReachable);
    tlytest::ScriptedReachability::report(platform::net::kReachabilityFlagsReachable);
    tlytest::ScriptedReachability::report(0);
    EXPECT_EQ(listener.statuses, (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(checker->reachabilityStatus(), 1);
    checker->stop();
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(checker->reachabilityStatus(), 0);
    EXPECT_EQ(tlytest::ScriptedReachability::targets, 0);

    tlytest::ScriptedReachability::failSchedule = true;
    EXPECT_FALSE(checker->start());
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(tlytest::ScriptedReachability::targets, 0);
    tlytest::ScriptedReachability::failSchedule = false;
}

TEST(ReachTest, ThePlatformTargetsReportOnTheMainLoop) {
    platform::net::Reachability::setFlagsProvider([](const std::string& host) -> std::optional<uint32_t> {
        return host == "up.example" ? platform::net::kReachabilityFlagsReachable : 0u;
    });
    Listener up, down;
    auto a = TLYReachabilityChecker::initWithDelegate(&up, "up.example");
    auto b = TLYReachabilityChecker::initWithDelegate(&down, "down.example");
    ASSERT_TRUE(a->start());
    ASSERT_TRUE(b->start());
    EXPECT_TRUE(tlytest::pumpUntil([&] { return !up.statuses.empty() && !down.statuses.empty(); }));
    EXPECT_EQ(up.statuses, std::vector<int32_t>{2});
    EXPECT_EQ(down.statuses, std::vector<int32_t>{1});
    a->stop();
    b->stop();
    platform::net::Reachability::setFlagsProvider(nullptr);
}
