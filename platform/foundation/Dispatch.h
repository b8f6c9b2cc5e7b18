#pragma once
// A stand-in for the platform's dispatch queues: the main queue (drained by the
// main run loop), global concurrent queues by priority, serial queues.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::foundation::dispatch {

enum class Priority { High, Default, Low, Background };

class Queue {
public:
    virtual ~Queue() = default;
    virtual void async(std::function<void()> fn) = 0;
    // Runs `fn` and waits for it. On a serial queue it runs after all earlier work.
    virtual void sync(std::function<void()> fn) = 0;
    // Runs `fn` on this queue after `delay` seconds of clock time.
    virtual void after(double delay, std::function<void()> fn);
    virtual const std::string& label() const = 0;
    // True when called from work running on this queue.
    virtual bool isCurrent() const = 0;
};

Queue& mainQueue();
Queue& globalQueue(Priority priority = Priority::Default);
std::shared_ptr<Queue> createSerialQueue(const std::string& label);

// Like dispatch_once.
inline void once(std::once_flag& flag, const std::function<void()>& fn) { std::call_once(flag, fn); }

// Waits until every global queue has run what was posted to it so far (tests).
void drainGlobalQueues();

}  // namespace platform::foundation::dispatch
