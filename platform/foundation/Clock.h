#pragma once
// Time for the whole process, injectable: the system clock in production, a
// manual clock in tests (advance it, then run the loop until idle).
#include <memory>

namespace platform::foundation {

// Seconds between 1970-01-01 and 2001-01-01, the platform's reference date.
inline constexpr double kTimeIntervalSince1970ToReferenceDate = 978307200.0;

class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;        // wall time, seconds since 1970
    virtual double monotonic() const = 0;  // seconds, never goes back
    virtual bool isManual() const { return false; }
    double sinceReferenceDate() const { return now() - kTimeIntervalSince1970ToReferenceDate; }

    // The process's clock (system clock by default).
    static Clock& current();
    static std::shared_ptr<Clock> currentShared();
    static void setCurrent(std::shared_ptr<Clock> clock);  // nullptr restores the system clock
};

class SystemClock : public Clock {
public:
    double now() const override;
    double monotonic() const override;
};

// A clock that moves only when told. Thread-safe. Run loops waiting on a manual
// clock are woken when it moves.
class ManualClock : public Clock {
public:
    explicit ManualClock(double start = 1.7e9);
    double now() const override;
    double monotonic() const override;
    bool isManual() const override { return true; }
    void advance(double seconds);
    // Moves wall and monotonic time forward so that now() == date exactly.
    void advanceTo(double secondsSince1970);
    void setNow(double secondsSince1970);  // wall time only; monotonic time keeps its course

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::foundation
