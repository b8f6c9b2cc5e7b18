#pragma once
// One run loop per thread: timers, delayed performs and work posted from other
// threads. It blocks while idle (no busy waiting, no periodic wake-ups).
// Time comes from Clock::current(); with a manual clock, tests call
// runFor(seconds), which advances the clock timer by timer, or advance the
// clock themselves and call runUntilIdle().
#include <functional>
#include <memory>

namespace platform::foundation {

class Timer;

class RunLoop {
public:
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

    static RunLoop& current();  // the calling thread's loop, created on first use
    static RunLoop& main();     // the main thread's loop (the first thread that asked for it)
    bool isMain() const;

    // Thread-safe: runs `fn` on this loop's thread at its next turn.
    void perform(std::function<void()> fn);
    // Runs `fn` after `delay` seconds; `target` groups performs for cancellation.
    void performAfter(double delay, std::function<void()> fn, const void* target = nullptr);
    void cancelPerforms(const void* target);

    // Runs until stop() is called (from any thread).
    void run();
    void stop();
    // Runs until the clock reaches `date` (seconds since 1970) or stop().
    void runUntil(double date);
    // Waits at most `timeout` seconds for work, runs what is ready; true when
    // something ran.
    bool runOnce(double timeout);
    // Runs everything that is ready now, including work that ready work posts; never waits.
    void runUntilIdle();
    // Runs for `seconds` of clock time. With a manual clock it advances the clock
    // to each due timer in turn (so a 120 s repeating timer fires at exactly 120,
    // 240, 360) and never sleeps; with the system clock it blocks.
    void runFor(double seconds);

    // Called by Timer.
    void addTimer(std::shared_ptr<Timer> timer);
    void removeTimer(Timer* timer);
    void setTimerFireDate(Timer* timer, double date);
    // The date of the next timer or delayed perform, or a negative value when none.
    double nextFireDate() const;
    // Wakes the loop (e.g. after the manual clock moved).
    void wake();
    // Drops every timer, delayed perform and posted block (tests, between cases).
    void reset();

    struct Impl;

private:
    friend class Thread;
    // The calling thread's loop; with `outlives`, left to the caller when the
    // thread ends rather than deleted with it: a Thread's loop may still be
    // posted to after its thread stopped (by a transfer that ends late, say),
    // and that work then waits, never run, instead of reaching freed memory.
    static RunLoop& currentOutlivingThread(bool outlives);

    RunLoop();
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::foundation
