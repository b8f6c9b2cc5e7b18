// Reachability flags: the machine's answer for loopback, and the replaceable provider.
#include <gtest/gtest.h>

#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/Reachability.h"

namespace net = platform::net;
namespace pf = platform::foundation;

namespace {

class ReachabilityTest : public ::testing::Test {
protected:
    void TearDown() override { net::Reachability::setFlagsProvider(nullptr); }
    void settle() {
        pf::dispatch::drainGlobalQueues();
        pf::RunLoop::current().runUntilIdle();
    }
};

TEST_F(ReachabilityTest, LoopbackIsLocalAndDirect) {
    const uint32_t expected =
        net::kReachabilityFlagsReachable | net::kReachabilityFlagsIsLocalAddress | net::kReachabilityFlagsIsDirect;
    EXPECT_EQ(net::Reachability::systemFlags("127.0.0.1"), expected);
    EXPECT_EQ(net::Reachability::systemFlags("::1"), expected);
    auto target = net::Reachability::createWithName("127.0.0.1");
    uint32_t flags = 0;
    ASSERT_TRUE(target->getFlags(&flags));
    EXPECT_EQ(flags, expected);
}

TEST_F(ReachabilityTest, EmptyHostHasNoTarget) { EXPECT_EQ(net::Reachability::createWithName(""), nullptr); }

TEST_F(ReachabilityTest, ProviderReplacesTheAnswer) {
    std::vector<std::string> asked;
    net::Reachability::setFlagsProvider([&](const std::string& host) -> std::optional<uint32_t> {
        asked.push_back(host);
        if (host == "unreadable.example") return std::nullopt;
        return net::kReachabilityFlagsReachable | net::kReachabilityFlagsIsWWAN;
    });
    uint32_t flags = 0;
    ASSERT_TRUE(net::Reachability::createWithName("collect.example")->getFlags(&flags));
    EXPECT_EQ(flags, net::kReachabilityFlagsReachable | net::kReachabilityFlagsIsWWAN);
    EXPECT_FALSE(net::Reachability::createWithName("unreadable.example")->getFlags(&flags));
    EXPECT_EQ(asked, (std::vector<std::string>{"collect.example", "unreadable.example"}));
}

TEST_F(ReachabilityTest, ScheduledTargetHearsFirstFlagsAndChangesOnly) {
    uint32_t current = net::kReachabilityFlagsReachable;
    net::Reachability::setFlagsProvider([&](const std::string&) -> std::optional<uint32_t> { return current; });
    auto target = net::Reachability::createWithName("collect.example");
    std::vector<uint32_t> heard;
    target->setCallback([&](net::Reachability& t, uint32_t flags) {
        EXPECT_EQ(&t, target.get());
        heard.push_back(flags);
    });
    ASSERT_TRUE(target->scheduleWithRunLoop(pf::RunLoop::current()));
    settle();
    EXPECT_EQ(heard, std::vector<uint32_t>{net::kReachabilityFlagsReachable});

    net::Reachability::flagsMayHaveChanged();  // same flags: silent
    settle();
    EXPECT_EQ(heard.size(), 1u);

    current = 0;
    net::Reachability::flagsMayHaveChanged();
    settle();
    EXPECT_EQ(heard, (std::vector<uint32_t>{net::kReachabilityFlagsReachable, 0u}));

    ASSERT_TRUE(target->unscheduleFromRunLoop(pf::RunLoop::current()));
    current = net::kReachabilityFlagsReachable;
    net::Reachability::flagsMayHaveChanged();
    settle();
    EXPECT_EQ(heard.size(), 2u);
}

TEST_F(ReachabilityTest, DestroyedTargetIsNeverCalled) {
    net::Reachability::setFlagsProvider([](const std::string&) -> std::optional<uint32_t> { return 2u; });
    int calls = 0;
    {
        auto target = net::Reachability::createWithName("collect.example");
        target->setCallback([&](net::Reachability&, uint32_t) { ++calls; });
        target->scheduleWithRunLoop(pf::RunLoop::current());
    }
    settle();
    EXPECT_EQ(calls, 0);
}

}  // namespace
