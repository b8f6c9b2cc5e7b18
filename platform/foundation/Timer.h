#pragma once
// A one-shot or repeating timer on a run loop. The loop keeps a valid timer
// alive; invalidate() removes it. A repeating timer fires at start + k*interval
// (missed firings are skipped, not bunched).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::foundation {

class RunLoop;

class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Callback = std::function<void(Timer&)>;
    // Creates the timer and adds it to `loop` (the current thread's by default).
    static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Callback fn, RunLoop* loop = nullptr);

    void invalidate();  // from the loop's thread
    bool isValid() const { return valid_.load(); }
    void fire();  // runs the callback now; a one-shot timer is then invalidated
    double interval() const { return interval_; }
    bool repeats() const { return repeats_; }
    double fireDate() const { return fireDate_; }
    void setFireDate(double date);

    Timer(double interval, bool repeats, Callback fn);

private:
    friend class RunLoop;
    double interval_;
    bool repeats_;
    Callback fn_;
    double fireDate_ = 0;
    double start_ = 0;  // a repeating timer fires at start_ + k_ * interval_
    uint64_t k_ = 0;
    std::atomic<bool> valid_{true};
    RunLoop* loop_ = nullptr;
};

}  // namespace platform::foundation
