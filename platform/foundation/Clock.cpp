#include "platform/foundation/Clock.h"

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace platform::foundation {

namespace detail {
void wakeAllRunLoops();  // RunLoop.cpp
}

namespace {

struct Current {
    std::mutex mutex;
    std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    // Clocks once current stay alive: callers hold plain references from current().
    std::vector<std::shared_ptr<Clock>> retired;
};

Current& current() {
    static Current* c = new Current;
    return *c;
}

}  // namespace

Clock& Clock::current() { return *currentShared(); }

std::shared_ptr<Clock> Clock::currentShared() {
    auto& c = foundation::current();
    std::lock_guard lock(c.mutex);
    return c.clock;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
    auto& c = foundation::current();
    {
        std::lock_guard lock(c.mutex);
        c.retired.push_back(c.clock);
        c.clock = clock ? std::move(clock) : std::make_shared<SystemClock>();
    }
    detail::wakeAllRunLoops();
}

double SystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SystemClock::monotonic() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct ManualClock::State {
    mutable std::mutex mutex;
    double wall = 0;
    double mono = 0;
};

ManualClock::ManualClock(double start) : state_(std::make_shared<State>()) {
    state_->wall = start;
    state_->mono = 1000.0;
}

double ManualClock::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->wall;
}

double ManualClock::monotonic() const {
    std::lock_guard lock(state_->mutex);
    return state_->mono;
}

void ManualClock::advance(double seconds) {
    if (seconds < 0) throw std::invalid_argument("ManualClock::advance: time does not go back");
    {
        std::lock_guard lock(state_->mutex);
        state_->wall += seconds;
        state_->mono += seconds;
    }
    detail::wakeAllRunLoops();
}

void ManualClock::advanceTo(double secondsSince1970) {
    {
        std::lock_guard lock(state_->mutex);
        if (secondsSince1970 < state_->wall)
            throw std::invalid_argument("ManualClock::advanceTo: time does not go back");
        state_->mono += secondsSince1970 - state_->wall;
        state_->wall = secondsSince1970;
    }
    detail::wakeAllRunLoops();
}

void ManualClock::setNow(double secondsSince1970) {
    {
        std::lock_guard lock(state_->mutex);
        state_->wall = secondsSince1970;
    }
    detail::wakeAllRunLoops();
}

}  // namespace platform::foundation
