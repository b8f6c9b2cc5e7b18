#pragma once
// A named thread with its own run loop, running until stopped.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform::foundation {

class RunLoop;

class Thread {
public:
    explicit Thread(std::string name);
    ~Thread();  // stops the loop and joins
    const std::string& name() const { return name_; }
    // The thread's run loop (valid once the constructor returns, and until this
    // object goes: work posted after a stop waits in it, never run).
    RunLoop& runLoop();
    void perform(std::function<void()> fn);  // on this thread
    bool isCurrent() const;
    void stop();  // stops its loop and joins; idempotent

    static std::string currentName();
    static void setCurrentName(const std::string& name);
    static bool isMainThread();
    // Gives the calling thread an alternate signal stack of its own (once;
    // released when the thread ends), so that a crash handler still runs
    // after the thread overflowed its stack. Every thread the platform
    // starts calls it. Notes both stacks for crash-time walks (ThreadStacks.h).
    static void installSignalStack();

private:
    std::string name_;
    RunLoop* loop_ = nullptr;
    std::thread thread_;
    std::thread::id id_;
    bool detached_ = false;  // stopped from its own thread, which then ends on its own
    // Shared with the thread, which may outlive this object when it stopped itself.
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace platform::foundation
