// An idle run loop must cost no CPU: no busy waiting and no periodic wake-ups.
// Goal: under 1 ms of CPU time over 5 s of real idle time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"

using namespace platform::foundation;

namespace {

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_IdleRunLoopCpu(benchmark::State& state) {
    // Everything a quiet process has: the main loop with a far timer, a thread
    // with its own loop, and the queue machinery's timer thread.
    Thread worker("bench.idle");
    auto far = Timer::scheduled(3600, true, [](Timer&) {});
    worker.perform([] { Timer::scheduled(3600, false, [](Timer&) {}); });
    dispatch::globalQueue().after(3600, [] {});
    dispatch::drainGlobalQueues();
    double idleSeconds = double(state.range(0));
    double cpu = 0;
    for (auto _ : state) {
        double before = processCpuSeconds();
        RunLoop::main().runUntil(Clock::current().now() + idleSeconds);
        cpu = processCpuSeconds() - before;
    }
    far->invalidate();
    state.counters["cpu_ms"] = cpu * 1000;
    state.counters["goal_ms"] = 1;
    if (cpu >= 0.001) state.SkipWithError("idle run loop used 1 ms of CPU or more");
}
BENCHMARK(BM_IdleRunLoopCpu)->Arg(5)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
