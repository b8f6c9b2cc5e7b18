#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/WaitUntil.h"

using namespace platform::foundation;

namespace {

class ManualClockTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock = std::make_shared<ManualClock>(1000.0);
        Clock::setCurrent(clock);
    }
    std::shared_ptr<ManualClock> clock;
};

// Waits (bounded) until `loop` has run a whole turn after this call: a block
// posted from a block it runs comes after that turn's timers.
bool afterATurnOf(RunLoop& loop) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    loop.perform([&loop, done] { loop.perform([done] { *done = true; }); });
    return qmtest::waitUntil([&] { return done->load(); });
}

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST_F(ManualClockTest, RepeatingTimerFiresOnItsGridWithoutSleeping) {
    std::vector<double> firings;
    auto t = Timer::scheduled(120, true, [&](Timer&) { firings.push_back(clock->now() - 1000.0); });
    auto start = std::chrono::steady_clock::now();
    RunLoop::main().runFor(400);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));  // not the 400 s it would sleep
    EXPECT_EQ(firings, (std::vector<double>{120, 240, 360}));
    EXPECT_DOUBLE_EQ(clock->now(), 1400.0);
    EXPECT_DOUBLE_EQ(t->fireDate(), 1480.0);
    t->invalidate();
    RunLoop::main().runFor(400);
    EXPECT_EQ(firings.size(), 3u);
}

TEST_F(ManualClockTest, MissedFiringsAreSkippedNotBunched) {
    int count = 0;
    auto t = Timer::scheduled(10, true, [&](Timer&) { ++count; });
    clock->advance(35);  // past 10, 20 and 30 at once
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(count, 1);
    EXPECT_DOUBLE_EQ(t->fireDate(), 1040.0);
    t->invalidate();
}

TEST_F(ManualClockTest, OneShotTimerInvalidatesItselfAndMayBeInvalidatedEarly) {
    int a = 0, b = 0;
    auto ta = Timer::scheduled(5, false, [&](Timer&) { ++a; });
    auto tb = Timer::scheduled(5, false, [&](Timer&) { ++b; });
    tb->invalidate();
    RunLoop::main().runFor(20);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_FALSE(ta->isValid());
    EXPECT_LT(RunLoop::main().nextFireDate(), 0);
}

TEST_F(ManualClockTest, TimerMayInvalidateItselfFromItsCallback) {
    int count = 0;
    {
        Timer::scheduled(1, true, [&](Timer& t) {
            if (++count == 3) t.invalidate();
        });
    }  // only the loop holds it
    RunLoop::main().runFor(10);
    EXPECT_EQ(count, 3);
}

TEST_F(ManualClockTest, DelayedPerformsRunInDateOrderAndCancelByTarget) {
    std::vector<std::string> order;
    int target = 0;
    auto& loop = RunLoop::main();
    loop.performAfter(3, [&] { order.push_back("c@" + std::to_string(int(clock->now() - 1000))); });
    loop.performAfter(1, [&] { order.push_back("a@" + std::to_string(int(clock->now() - 1000))); });
    loop.performAfter(
        2, [&] { order.push_back("cancelled"); }, &target);
    loop.performAfter(1, [&] { order.push_back("b@" + std::to_string(int(clock->now() - 1000))); });
    loop.cancelPerforms(&target);
    loop.runFor(2.5);
    EXPECT_EQ(order, (std::vector<std::string>{"a@1", "b@1"}));
    loop.runFor(1);
    EXPECT_EQ(order, (std::vector<std::string>{"a@1", "b@1", "c@3"}));
}

TEST_F(ManualClockTest, SetFireDateMovesTheGrid) {
    std::vector<double> at;
    auto t = Timer::scheduled(10, true, [&](Timer&) { at.push_back(clock->now() - 1000); });
    t->setFireDate(1003);
    RunLoop::main().runFor(25);
    EXPECT_EQ(at, (std::vector<double>{3, 13, 23}));
    t->invalidate();
}

TEST_F(ManualClockTest, RunUntilIdleRunsWorkThatWorkPosts) {
    auto& loop = RunLoop::main();
    int depth = 0;
    std::function<void()> step = [&] {
        if (++depth < 5) loop.perform(step);
    };
    loop.perform(step);
    loop.runUntilIdle();
    EXPECT_EQ(depth, 5);
}

TEST_F(ManualClockTest, AdvancingTheClockWakesALoopBlockedInRun) {
    Thread worker("clock-waiter");
    std::atomic<bool> fired{false};
    worker.perform([&] { Timer::scheduled(60, false, [&](Timer&) { fired = true; }); });
    // Make sure the timer exists before the clock moves.
    qmtest::waitUntil([&] { return worker.runLoop().nextFireDate() >= 0; });
    ASSERT_DOUBLE_EQ(worker.runLoop().nextFireDate(), 1060.0);
    clock->advance(59);
    ASSERT_TRUE(afterATurnOf(worker.runLoop()));
    EXPECT_FALSE(fired);
    clock->advance(1);
    EXPECT_TRUE(qmtest::waitUntil([&] { return fired.load(); }));
}

TEST(RunLoopThreads, ThreadLoopReceivesWorkFromOtherThreadsAndBlocksWhenIdle) {
    Thread worker("worker");
    EXPECT_EQ(worker.name(), "worker");
    std::atomic<int> sum{0};
    std::atomic<bool> ranOnWorker{true};
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p)
        posters.emplace_back([&] {
            for (int i = 1; i <= 250; ++i)
                worker.perform([&, i] {
                    if (!worker.isCurrent() || Thread::currentName() != "worker") ranOnWorker = false;
                    sum += i;
                });
        });
    for (auto& t : posters) t.join();
    qmtest::waitUntil([&] { return sum >= 4 * 31375; });
    EXPECT_EQ(sum, 4 * 31375);
    EXPECT_TRUE(ranOnWorker);

    // Idle: the worker must not consume CPU while waiting.
    std::atomic<double> cpu{-1};
    auto threadCpu = [] {
        rusage ru{};
        getrusage(RUSAGE_THREAD, &ru);
        return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    };
    std::atomic<double> before{0};
    worker.perform([&] { before = threadCpu(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    worker.perform([&] { cpu = threadCpu() - before; });
    qmtest::waitUntil([&] { return cpu >= 0; });
    ASSERT_GE(cpu, 0);
    EXPECT_LT(cpu, 0.05);  // a spinning loop would have used ~0.3 s
    (void)processCpuSeconds;
}

TEST(RunLoopThreads, SystemClockTimerFiresOnABlockingRun) {
    Thread worker("timed");
    std::atomic<bool> fired{false};
    worker.perform([&] { Timer::scheduled(0.02, false, [&](Timer&) { fired = true; }); });
    EXPECT_TRUE(qmtest::waitUntil([&] { return fired.load(); }));
}

TEST(RunLoopThreads, StopFromAnotherThreadEndsRun) {
    // The loop runs on a thread of its own so that a run() that never ends
    // fails this test after a generous bound instead of hanging the suite.
    struct State {
        std::atomic<RunLoop*> loop{nullptr};
        std::atomic<bool> running{false}, returned{false};
    };
    auto state = std::make_shared<State>();
    std::thread runner([state] {
        RunLoop& loop = RunLoop::current();
        loop.perform([state] { state->running = true; });  // runs inside run()
        state->loop = &loop;
        loop.run();
        state->returned = true;
    });
    qmtest::waitUntil([&] { return state->running.load(); });
    ASSERT_TRUE(state->running);
    state->loop.load()->stop();
    if (!qmtest::waitUntil([&] { return state->returned.load(); })) {
        runner.detach();  // stuck in run(): it only touches the shared state
        FAIL() << "run() did not return within a minute of stop()";
    }
    runner.join();
}

// A transfer that ends after its thread stopped still posts to that thread's
// loop: the work waits there, never run by the thread, in a loop that is still
// there (freed memory before; the address sanitizer run shows it).
TEST(RunLoopThreads, AStoppedThreadsLoopStillTakesWork) {
    Thread worker("stopped");
    RunLoop* loop = nullptr;
    std::atomic<bool> ranOnWorker{false};
    std::promise<void> asked;
    worker.perform([&] {
        loop = &RunLoop::current();
        asked.set_value();
    });
    asked.get_future().wait();
    EXPECT_EQ(loop, &worker.runLoop());
    worker.stop();
    bool ran = false;
    worker.perform([&] { ran = true; });
    loop->perform([&] { ranOnWorker = worker.isCurrent(); });
    EXPECT_FALSE(ran);
    loop->runUntilIdle();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(ranOnWorker);
}

TEST(RunLoopThreads, RunOnceWaitsBoundedAndReportsWhetherWorkRan) {
    auto& loop = RunLoop::main();
    loop.reset();
    EXPECT_FALSE(loop.runOnce(0.01));
    std::thread poster([&] { loop.perform([] {}); });
    bool ran = false;
    for (int i = 0; i < 600 && !ran; ++i) ran = loop.runOnce(0.1);  // a minute at most
    poster.join();
    EXPECT_TRUE(ran);
}

TEST(RunLoopThreads, MainLoopBelongsToTheMainThread) {
    EXPECT_TRUE(Thread::isMainThread());
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
    EXPECT_TRUE(RunLoop::main().isMain());
    RunLoop* other = nullptr;
    bool otherIsMain = true;
    std::thread t([&] {
        other = &RunLoop::current();
        otherIsMain = other->isMain() || Thread::isMainThread();
    });
    t.join();
    EXPECT_NE(other, &RunLoop::main());
    EXPECT_FALSE(otherIsMain);
}
