#include "platform/foundation/Timer.h"

#include <algorithm>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

namespace platform::foundation {

namespace {
// The shortest repeating interval, so a zero interval cannot spin the loop.
constexpr double kMinimumInterval = 0.0001;
}  // namespace

Timer::Timer(double interval, bool repeats, Callback fn)
    : interval_(repeats ? std::max(interval, kMinimumInterval) : std::max(interval, 0.0)), repeats_(repeats),
      fn_(std::move(fn)) {
    fireDate_ = start_ = Clock::current().now() + interval_;
}

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Callback fn, RunLoop* loop) {
    auto t = std::make_shared<Timer>(interval, repeats, std::move(fn));
    (loop ? loop : &RunLoop::current())->addTimer(t);
    return t;
}

void Timer::invalidate() {
    if (valid_.exchange(false) && loop_) loop_->removeTimer(this);
}

void Timer::fire() {
    if (!valid_) return;
    auto self = weak_from_this().lock();  // the callback may drop the last reference
    if (fn_) fn_(*this);
    if (!repeats_) invalidate();
}

void Timer::setFireDate(double date) {
    if (loop_) {
        loop_->setTimerFireDate(this, date);
    } else {
        fireDate_ = start_ = date;
        k_ = 0;
    }
}

}  // namespace platform::foundation
