#include "platform/foundation/Dispatch.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"

namespace platform::foundation::dispatch {

namespace {

thread_local const Queue* tCurrentQueue = nullptr;

struct QueueScope {
    const Queue* previous;
    explicit QueueScope(const Queue* q) : previous(tCurrentQueue) { tCurrentQueue = q; }
    ~QueueScope() { tCurrentQueue = previous; }
};

// Runs `post`ed work elsewhere and waits for it, handing its exception back.
void postAndWait(const std::function<void(std::function<void()>)>& post, std::function<void()> fn) {
    std::promise<void> done;
    auto future = done.get_future();
    post([&] {
        try {
            fn();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

// Delayed work for every queue but the main one waits on this thread's loop,
// so it follows Clock::current() (a manual clock included).
RunLoop& timerLoop() {
    static Thread* thread = new Thread("dispatch.timer");
    return thread->runLoop();
}

class MainQueue final : public Queue {
public:
    void async(std::function<void()> fn) override {
        RunLoop::main().perform([this, fn = std::move(fn)] {
            QueueScope scope(this);
            fn();
        });
    }
    void sync(std::function<void()> fn) override {
        if (Thread::isMainThread()) {
            QueueScope scope(this);
            fn();
            return;
        }
        postAndWait([this](std::function<void()> f) { async(std::move(f)); }, std::move(fn));
    }
    void after(double delay, std::function<void()> fn) override {
        RunLoop::main().performAfter(delay, [this, fn = std::move(fn)] {
            QueueScope scope(this);
            fn();
        });
    }
    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return Thread::isMainThread(); }

private:
    std::string label_ = "main";
};

class GlobalQueue final : public Queue {
public:
    GlobalQueue(std::string label, int nice) : label_(std::move(label)), nice_(nice) {}

    void async(std::function<void()> fn) override {
        std::lock_guard lock(m_);
        if (workers_.empty()) start();
        work_.push_back(std::move(fn));
        ++outstanding_;
        cv_.notify_one();
    }
    // Concurrent queue: the caller's thread runs it, as the platform does.
    void sync(std::function<void()> fn) override {
        QueueScope scope(this);
        fn();
    }
    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return tCurrentQueue == this; }

    void drain() {
        std::unique_lock lock(m_);
        idle_.wait(lock, [&] { return outstanding_ == 0; });
    }

private:
    void start() {
        unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
        for (unsigned i = 0; i < n; ++i) {
            // Lives as long as the process; never joined.
            workers_.emplace_back([this] { work(); }).detach();
        }
    }

    void work() {
        Thread::installSignalStack();
        Thread::setCurrentName(label_);
        if (nice_) setpriority(PRIO_PROCESS, unsigned(gettid()), nice_);
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return !work_.empty(); });
                fn = std::move(work_.front());
                work_.pop_front();
            }
            {
                QueueScope scope(this);
                fn();
                fn = nullptr;
            }
            std::lock_guard lock(m_);
            if (--outstanding_ == 0) idle_.notify_all();
        }
    }

    std::string label_;
    int nice_;
    std::mutex m_;
    std::condition_variable cv_, idle_;
    std::deque<std::function<void()>> work_;
    size_t outstanding_ = 0;
    std::vector<std::thread> workers_;
};

class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
    struct State {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::function<void()>> work;
        bool closing = false;
        const Queue* owner;
    };

public:
    explicit SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
        state_->owner = this;
        // The worker keeps only the state alive, so the queue may be released
        // from its own work.
        worker_ = std::thread([s = state_, name = label_] {
            Thread::installSignalStack();
            Thread::setCurrentName(name);
            for (;;) {
                std::function<void()> fn;
                {
                    std::unique_lock lock(s->m);
                    s->cv.wait(lock, [&] { return !s->work.empty() || s->closing; });
                    if (s->work.empty()) return;
                    fn = std::move(s->work.front());
                    s->work.pop_front();
                }
                QueueScope scope(s->owner);
                fn();
            }
        });
    }

    ~SerialQueue() override {
        {
            std::lock_guard lock(state_->m);
            state_->closing = true;  // work already queued still runs
            state_->cv.notify_all();
        }
        if (worker_.get_id() == std::this_thread::get_id())
            worker_.detach();
        else
            worker_.join();
    }

    void async(std::function<void()> fn) override {
        std::lock_guard lock(state_->m);
        state_->work.push_back(std::move(fn));
        state_->cv.notify_one();
    }

    void sync(std::function<void()> fn) override {
        if (isCurrent())
            throw std::logic_error("sync on serial queue '" + label_ + "' from its own work would deadlock");
        postAndWait([this](std::function<void()> f) { async(std::move(f)); }, std::move(fn));
    }

    // Keeps the queue alive until the work is queued, as the platform retains it.
    void after(double delay, std::function<void()> fn) override {
        timerLoop().performAfter(
            delay, [self = shared_from_this(), fn = std::move(fn)]() mutable { self->async(std::move(fn)); });
    }

    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return tCurrentQueue == this; }

private:
    std::string label_;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

GlobalQueue& global(Priority p) {
    // Never destroyed: their threads run until the process ends.
    static GlobalQueue* queues[] = {
        new GlobalQueue("global.high", 0),
        new GlobalQueue("global.default", 0),
        new GlobalQueue("global.low", 5),
        new GlobalQueue("global.background", 10),
    };
    return *queues[int(p)];
}

}  // namespace

void Queue::after(double delay, std::function<void()> fn) {
    timerLoop().performAfter(delay, [this, fn = std::move(fn)]() mutable { async(std::move(fn)); });
}

Queue& mainQueue() {
    static MainQueue* q = new MainQueue;
    return *q;
}

Queue& globalQueue(Priority priority) { return global(priority); }

std::shared_ptr<Queue> createSerialQueue(const std::string& label) { return std::make_shared<SerialQueue>(label); }

void drainGlobalQueues() {
    for (auto p : {Priority::High, Priority::Default, Priority::Low, Priority::Background}) global(p).drain();
}

}  // namespace platform::foundation::dispatch
