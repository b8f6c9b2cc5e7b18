// Run loop and queue throughput: blocks posted and run per second, timer
// firings per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"

using namespace platform::foundation;

namespace {

constexpr int kBatch = 10000;

// Waits until `count` reaches `target`.
struct Latch {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    void hit() {
        std::lock_guard lock(m);
        if (++count % kBatch == 0) cv.notify_all();
    }
    void wait(int target) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return count >= target; });
    }
};

void BM_PerformOnOwnLoop(benchmark::State& state) {
    auto& loop = RunLoop::current();
    int64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) loop.perform([&n] { ++n; });
        loop.runUntilIdle();
    }
    benchmark::DoNotOptimize(n);
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PerformOnOwnLoop);

void BM_PerformToThreadLoop(benchmark::State& state) {
    Thread worker("bench.worker");
    Latch latch;
    int target = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) worker.perform([&latch] { latch.hit(); });
        target += kBatch;
        latch.wait(target);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PerformToThreadLoop)->UseRealTime();

void BM_SerialQueueAsync(benchmark::State& state) {
    auto q = dispatch::createSerialQueue("bench.serial");
    int64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) q->async([&n] { ++n; });
        q->sync([] {});
    }
    benchmark::DoNotOptimize(n);
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_SerialQueueAsync)->UseRealTime();

void BM_GlobalQueueAsync(benchmark::State& state) {
    std::atomic<int64_t> n{0};
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            dispatch::globalQueue().async([&n] { n.fetch_add(1, std::memory_order_relaxed); });
        dispatch::drainGlobalQueues();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_GlobalQueueAsync)->UseRealTime();

void BM_TimerFiringsOnManualClock(benchmark::State& state) {
    auto clock = std::make_shared<ManualClock>();
    Clock::setCurrent(clock);
    auto& loop = RunLoop::current();
    int64_t fired = 0;
    std::vector<std::shared_ptr<Timer>> timers;
    for (int i = 0; i < state.range(0); ++i)
        timers.push_back(Timer::scheduled(1.0 + i * 0.001, true, [&fired](Timer&) { ++fired; }));
    for (auto _ : state) loop.runFor(100);
    for (auto& t : timers) t->invalidate();
    Clock::setCurrent(nullptr);
    state.SetItemsProcessed(fired);
}
BENCHMARK(BM_TimerFiringsOnManualClock)->Arg(1)->Arg(16);

void BM_TimerFiringsOnSystemClock(benchmark::State& state) {
    Thread worker("bench.timers");
    Latch latch;
    std::shared_ptr<Timer> timer;
    worker.runLoop().perform([&] { timer = Timer::scheduled(0.0, true, [&latch](Timer&) { latch.hit(); }); });
    int target = 0;
    for (auto _ : state) {
        target += kBatch;
        latch.wait(target);
    }
    worker.runLoop().perform([&] { timer->invalidate(); });
    worker.stop();
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TimerFiringsOnSystemClock)->UseRealTime()->Iterations(3);

}  // namespace
