#include "platform/foundation/RunLoop.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Timer.h"

namespace platform::foundation {

struct RunLoop::Impl {
    struct Delayed {
        uint64_t seq;
        double date;
        std::function<void()> fn;
        const void* target;
    };

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> posted;
    std::vector<Delayed> delayed;
    std::vector<std::shared_ptr<Timer>> timers;
    uint64_t seq = 0;
    uint64_t wakes = 0;
    bool stopRequested = false;
    pid_t tid = 0;

    static bool runTurn(Impl& impl);

    // Earliest timer or delayed perform; negative when none. Caller holds m.
    double nextDateLocked() const {
        double next = -1;
        for (auto& d : delayed)
            if (next < 0 || d.date < next) next = d.date;
        for (auto& t : timers)
            if (t->valid_ && (next < 0 || t->fireDate_ < next)) next = t->fireDate_;
        return next;
    }
};

namespace {

struct Registry {
    std::mutex m;
    std::set<RunLoop::Impl*> loops;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// Owns the run loop of a thread other than the main thread, unless a
// Thread object took it over.
struct ThreadLoop {
    RunLoop* loop = nullptr;
    bool outlivesThread = false;
    ~ThreadLoop() {
        if (!outlivesThread) delete loop;
    }
};
thread_local ThreadLoop tThreadLoop;

bool onMainThread() { return gettid() == getpid(); }

}  // namespace

namespace detail {
void wakeAllRunLoops() {
    auto& r = registry();
    std::lock_guard lock(r.m);
    for (auto* impl : r.loops) {
        std::lock_guard l(impl->m);
        ++impl->wakes;
        impl->cv.notify_all();
    }
}
}  // namespace detail

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {
    impl_->tid = gettid();
    auto& r = registry();
    std::lock_guard lock(r.m);
    r.loops.insert(impl_.get());
}

RunLoop::~RunLoop() {
    {
        auto& r = registry();
        std::lock_guard lock(r.m);
        r.loops.erase(impl_.get());
    }
    std::lock_guard lock(impl_->m);
    for (auto& t : impl_->timers) {
        t->valid_ = false;
        t->loop_ = nullptr;
    }
}

RunLoop& RunLoop::main() {
    // Never destroyed: work may be posted to it until the very end of the process.
    static RunLoop* loop = [] {
        auto* l = new RunLoop();
        l->impl_->tid = getpid();
        return l;
    }();
    return *loop;
}

RunLoop& RunLoop::current() {
    if (onMainThread()) return main();
    if (!tThreadLoop.loop) tThreadLoop.loop = new RunLoop();
    return *tThreadLoop.loop;
}

RunLoop& RunLoop::currentOutlivingThread(bool outlives) {
    RunLoop& loop = current();
    if (!onMainThread()) tThreadLoop.outlivesThread = outlives;
    return loop;
}

bool RunLoop::isMain() const { return this == &main(); }

void RunLoop::perform(std::function<void()> fn) {
    std::lock_guard lock(impl_->m);
    impl_->posted.push_back(std::move(fn));
    impl_->cv.notify_all();
}

void RunLoop::performAfter(double delay, std::function<void()> fn, const void* target) {
    double date = Clock::current().now() + std::max(0.0, delay);
    std::lock_guard lock(impl_->m);
    impl_->delayed.push_back({impl_->seq++, date, std::move(fn), target});
    ++impl_->wakes;  // a waiting loop must look at its dates again
    impl_->cv.notify_all();
}

void RunLoop::cancelPerforms(const void* target) {
    if (!target) return;
    std::vector<Impl::Delayed> dropped;  // destroyed outside the lock
    std::lock_guard lock(impl_->m);
    auto& d = impl_->delayed;
    for (auto it = d.begin(); it != d.end();) {
        if (it->target == target) {
            dropped.push_back(std::move(*it));
            it = d.erase(it);
        } else {
            ++it;
        }
    }
}

void RunLoop::addTimer(std::shared_ptr<Timer> timer) {
    if (!timer) return;
    std::lock_guard lock(impl_->m);
    timer->loop_ = this;
    if (std::find(impl_->timers.begin(), impl_->timers.end(), timer) == impl_->timers.end())
        impl_->timers.push_back(std::move(timer));
    ++impl_->wakes;
    impl_->cv.notify_all();
}

void RunLoop::removeTimer(Timer* timer) {
    std::shared_ptr<Timer> keep;  // released outside the lock
    std::lock_guard lock(impl_->m);
    auto& v = impl_->timers;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (it->get() == timer) {
            keep = std::move(*it);
            v.erase(it);
            break;
        }
    }
}

void RunLoop::setTimerFireDate(Timer* timer, double date) {
    std::lock_guard lock(impl_->m);
    timer->fireDate_ = date;
    timer->start_ = date;
    timer->k_ = 0;
    ++impl_->wakes;
    impl_->cv.notify_all();
}

double RunLoop::nextFireDate() const {
    std::lock_guard lock(impl_->m);
    return impl_->nextDateLocked();
}

void RunLoop::wake() {
    std::lock_guard lock(impl_->m);
    ++impl_->wakes;
    impl_->cv.notify_all();
}

void RunLoop::reset() {
    std::deque<std::function<void()>> posted;
    std::vector<Impl::Delayed> delayed;
    std::vector<std::shared_ptr<Timer>> timers;
    {
        std::lock_guard lock(impl_->m);
        posted.swap(impl_->posted);
        delayed.swap(impl_->delayed);
        timers.swap(impl_->timers);
        impl_->stopRequested = false;
        for (auto& t : timers) t->valid_ = false;
    }
}

void RunLoop::stop() {
    std::lock_guard lock(impl_->m);
    impl_->stopRequested = true;
    impl_->cv.notify_all();
}

namespace {}  // namespace

// Runs one turn: the blocks posted before it began, the due delayed performs,
// then the due timers. True when anything ran.
bool RunLoop::Impl::runTurn(RunLoop::Impl& impl) {
    bool ran = false;
    size_t count;
    {
        std::lock_guard lock(impl.m);
        count = impl.posted.size();
    }
    for (size_t i = 0; i < count; ++i) {
        std::function<void()> fn;
        {
            std::lock_guard lock(impl.m);
            if (impl.posted.empty()) break;
            fn = std::move(impl.posted.front());
            impl.posted.pop_front();
        }
        fn();
        ran = true;
    }

    double now = Clock::current().now();
    std::vector<RunLoop::Impl::Delayed> due;
    {
        std::lock_guard lock(impl.m);
        auto& d = impl.delayed;
        for (auto it = d.begin(); it != d.end();) {
            if (it->date <= now) {
                due.push_back(std::move(*it));
                it = d.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](auto& a, auto& b) { return a.date < b.date || (a.date == b.date && a.seq < b.seq); });
    for (auto& d : due) {
        d.fn();
        ran = true;
    }

    now = Clock::current().now();
    std::vector<std::shared_ptr<Timer>> timers;
    {
        std::lock_guard lock(impl.m);
        for (auto& t : impl.timers)
            if (t->valid_ && t->fireDate_ <= now) timers.push_back(t);
    }
    std::stable_sort(timers.begin(), timers.end(), [](auto& a, auto& b) { return a->fireDate_ < b->fireDate_; });
    for (auto& t : timers) {
        {
            std::unique_lock lock(impl.m);
            if (!t->valid_ || t->fireDate_ > now) continue;
            if (t->repeats_) {
                // Next firing strictly after now on the start + k*interval grid.
                uint64_t k = t->k_ + 1;
                if (t->start_ + double(k) * t->interval_ <= now)
                    k = uint64_t(std::floor((now - t->start_) / t->interval_)) + 1;
                while (t->start_ + double(k) * t->interval_ <= now) ++k;
                t->k_ = k;
                t->fireDate_ = t->start_ + double(k) * t->interval_;
            } else {
                t->valid_ = false;
                auto& v = impl.timers;
                v.erase(std::remove(v.begin(), v.end(), t), v.end());
            }
        }
        if (t->fn_) t->fn_(*t);
        ran = true;
    }
    return ran;
}

namespace {

bool runTurn(RunLoop::Impl& impl) { return RunLoop::Impl::runTurn(impl); }

bool readyLocked(RunLoop::Impl& impl, double now) {
    if (!impl.posted.empty() || impl.stopRequested) return true;
    double next = impl.nextDateLocked();
    return next >= 0 && next <= now;
}

// Blocks until work may be ready, stop() is called, the loop is woken, or the
// real-time `limit` passes (none when negative). Timers on the system clock
// bound the wait; on a manual clock only a clock move (which wakes) can make them due.
void waitForWork(RunLoop::Impl& impl, double limit) {
    using namespace std::chrono;
    auto clock = Clock::currentShared();
    std::unique_lock lock(impl.m);
    uint64_t wakes = impl.wakes;
    double now = clock->now();
    if (readyLocked(impl, now)) return;
    double wait = limit;
    if (!clock->isManual()) {
        double next = impl.nextDateLocked();
        if (next >= 0 && (wait < 0 || next - now < wait)) wait = next - now;
    }
    auto pred = [&] { return !impl.posted.empty() || impl.stopRequested || impl.wakes != wakes; };
    if (wait < 0) {
        impl.cv.wait(lock, pred);
    } else {
        // Round up so a timer is due when the wait ends rather than a hair before it.
        auto d = duration_cast<steady_clock::duration>(duration<double>(wait)) + microseconds(50);
        impl.cv.wait_for(lock, d, pred);
    }
}

bool consumeStop(RunLoop::Impl& impl) {
    std::lock_guard lock(impl.m);
    if (!impl.stopRequested) return false;
    impl.stopRequested = false;
    return true;
}

}  // namespace

void RunLoop::run() {
    for (;;) {
        if (consumeStop(*impl_)) return;
        runTurn(*impl_);
        if (consumeStop(*impl_)) return;
        waitForWork(*impl_, -1);
    }
}

void RunLoop::runUntil(double date) {
    auto clock = Clock::currentShared();
    if (auto* manual = dynamic_cast<ManualClock*>(clock.get())) {
        // Step the clock from one due event to the next, never sleeping.
        for (;;) {
            runUntilIdle();
            if (consumeStop(*impl_)) return;
            double next = nextFireDate();
            if (next < 0 || next > date) break;
            if (next > manual->now())
                manual->advanceTo(next);
            else if (!runTurn(*impl_))
                break;  // due but nothing ran: avoid spinning
        }
        if (manual->now() < date) manual->advanceTo(date);
        runUntilIdle();
        return;
    }
    for (;;) {
        if (consumeStop(*impl_)) return;
        runTurn(*impl_);
        if (consumeStop(*impl_)) return;
        double now = Clock::current().now();
        if (now >= date) return;
        if (Clock::current().isManual()) {
            runUntilIdle();
            return;  // a clock we cannot move: only what is ready now
        }
        waitForWork(*impl_, date - now);
    }
}

void RunLoop::runFor(double seconds) { runUntil(Clock::current().now() + seconds); }

bool RunLoop::runOnce(double timeout) {
    if (runTurn(*impl_)) return true;
    waitForWork(*impl_, std::max(0.0, timeout));
    return runTurn(*impl_);
}

void RunLoop::runUntilIdle() {
    while (runTurn(*impl_)) {
    }
}

}  // namespace platform::foundation
