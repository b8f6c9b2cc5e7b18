#include "platform/foundation/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <future>

#include "platform/foundation/RunLoop.h"

namespace platform::foundation {

namespace {
thread_local std::string tName;
}

Thread::Thread(std::string name) : name_(std::move(name)) {
    std::promise<RunLoop*> ready;
    auto future = ready.get_future();
    thread_ = std::thread([name = name_, stopping = stopping_, &ready] {
        setCurrentName(name);
        RunLoop& loop = RunLoop::current();
        ready.set_value(&loop);
        while (!*stopping) loop.run();
    });
    id_ = thread_.get_id();
    loop_ = future.get();
}

Thread::~Thread() { stop(); }

RunLoop& Thread::runLoop() { return *loop_; }

void Thread::perform(std::function<void()> fn) { loop_->perform(std::move(fn)); }

bool Thread::isCurrent() const { return std::this_thread::get_id() == id_; }

void Thread::stop() {
    if (!thread_.joinable()) return;
    *stopping_ = true;
    loop_->stop();
    if (isCurrent()) thread_.detach();  // stopping itself: it ends when the current work returns
    else thread_.join();
}

std::string Thread::currentName() { return tName; }

void Thread::setCurrentName(const std::string& name) {
    tName = name;
    // The kernel keeps 15 bytes; debuggers and crash reports show them.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool Thread::isMainThread() { return gettid() == getpid(); }

}  // namespace platform::foundation
