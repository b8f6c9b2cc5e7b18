#include "platform/foundation/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::foundation;
namespace dq = platform::foundation::dispatch;

namespace {
template <typename Pred>
bool waitFor(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}
}  // namespace

TEST(Dispatch, SerialQueueRunsInOrderOneAtATime) {
    auto q = dq::createSerialQueue("serial");
    EXPECT_EQ(q->label(), "serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlap = false;
    for (int i = 0; i < 200; ++i)
        q->async([&, i] {
            if (++running > 1) overlap = true;
            order.push_back(i);
            --running;
        });
    bool current = false;
    q->sync([&] { current = q->isCurrent(); });  // after all the above
    EXPECT_TRUE(current);
    EXPECT_FALSE(q->isCurrent());
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[size_t(i)], i);
    EXPECT_FALSE(overlap);
}

TEST(Dispatch, SyncHandsBackExceptionsAndRefusesToDeadlock) {
    auto q = dq::createSerialQueue("sync");
    EXPECT_THROW(q->sync([] { throw std::runtime_error("inner"); }), std::runtime_error);
    bool threw = false;
    q->sync([&] {
        try {
            q->sync([] {});
        } catch (const std::logic_error&) {
            threw = true;
        }
    });
    EXPECT_TRUE(threw);
}

TEST(Dispatch, QueueMayBeReleasedFromItsOwnWork) {
    auto q = dq::createSerialQueue("self-release");
    std::atomic<bool> done{false};
    auto* raw = q.get();
    raw->async([q = std::move(q), &done]() mutable {
        q.reset();
        done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done.load(); }));
}

TEST(Dispatch, GlobalQueuesRunConcurrentlyAndDrain) {
    // Two blocks that each wait for the other finish only if they run at once.
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i)
        dq::globalQueue(dq::Priority::Default).async([&] {
            std::unique_lock lock(m);
            ++arrived;
            cv.notify_all();
            if (cv.wait_for(lock, std::chrono::seconds(60), [&] { return arrived == 2; })) ++finished;
        });
    std::atomic<int> background{0};
    bool isCurrent = false;
    dq::globalQueue(dq::Priority::Background).async([&] {
        isCurrent = dq::globalQueue(dq::Priority::Background).isCurrent();
        ++background;
    });
    dq::drainGlobalQueues();
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(background, 1);
    EXPECT_TRUE(isCurrent);
}

TEST(Dispatch, MainQueueIsDrainedByTheMainRunLoop) {
    auto& loop = RunLoop::main();
    loop.reset();
    bool ran = false, current = false;
    std::thread([&] {
        dq::mainQueue().async([&] {
            ran = true;
            current = dq::mainQueue().isCurrent();
        });
    }).join();
    EXPECT_FALSE(ran);
    loop.runUntilIdle();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(current);

    // sync from another thread waits for the main loop.
    std::atomic<bool> synced{false};
    std::thread t([&] {
        dq::mainQueue().sync([] {});
        synced = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!synced && std::chrono::steady_clock::now() < end) loop.runOnce(0.001);
    t.join();
    EXPECT_TRUE(synced);
}

class DispatchManualClock : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override { Clock::setCurrent(clock); }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(5000);
};

TEST_F(DispatchManualClock, AfterOnTheMainQueueFollowsTheClock) {
    std::vector<double> at;
    dq::mainQueue().after(2.0, [&] { at.push_back(clock->now() - 5000); });
    dq::mainQueue().after(0.5, [&] { at.push_back(clock->now() - 5000); });
    RunLoop::main().runFor(1.0);
    EXPECT_EQ(at, std::vector<double>{0.5});
    RunLoop::main().runFor(5.0);
    EXPECT_EQ(at, (std::vector<double>{0.5, 2.0}));
}

TEST_F(DispatchManualClock, AfterOnOtherQueuesFiresWhenTheClockPassesIt) {
    auto q = dq::createSerialQueue("later");
    std::atomic<bool> fired{false}, onQueue{false};
    q->after(30, [&] {
        onQueue = q->isCurrent();
        fired = true;
    });
    std::atomic<bool> globalFired{false};
    dq::globalQueue().after(10, [&] { globalFired = true; });
    // A marker due now passes through the same timer loop: once it has run,
    // that loop has seen the clock at 9 s and left the others waiting.
    clock->advance(9);
    std::atomic<bool> marker{false};
    q->after(0, [&] { marker = true; });
    ASSERT_TRUE(waitFor([&] { return marker.load(); }));
    dq::drainGlobalQueues();
    EXPECT_FALSE(fired);
    EXPECT_FALSE(globalFired);
    clock->advance(1);
    EXPECT_TRUE(waitFor([&] { return globalFired.load(); }));
    EXPECT_FALSE(fired);
    clock->advance(20);
    EXPECT_TRUE(waitFor([&] { return fired.load(); }));
    EXPECT_TRUE(onQueue);
}

TEST(Dispatch, OnceRunsOnce) {
    std::once_flag flag;
    std::atomic<int> n{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; ++i) ts.emplace_back([&] { dq::once(flag, [&] { ++n; }); });
    for (auto& t : ts) t.join();
    EXPECT_EQ(n, 1);
}
