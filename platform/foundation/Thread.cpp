#include "platform/foundation/Thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <future>

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/ThreadStacks.h"

namespace platform::foundation {

namespace {
thread_local std::string tName;

// A thread's alternate signal stack, below one guard page.
struct SignalStack {
    static constexpr size_t kSize = 64 * 1024;
    void* mapping = nullptr;
    size_t length = 0;

    void install() {
        if (mapping) return;
        length = kSize + size_t(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (m == MAP_FAILED) return;
        mprotect(m, length - kSize, PROT_NONE);
        stack_t ss{};
        ss.ss_sp = static_cast<char*>(m) + (length - kSize);
        ss.ss_size = kSize;
        if (sigaltstack(&ss, nullptr) != 0) {
            munmap(m, length);
            return;
        }
        mapping = m;
    }
    ~SignalStack() {
        if (!mapping) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(mapping, length);
    }
};
thread_local SignalStack tSignalStack;
}  // namespace

Thread::Thread(std::string name) : name_(std::move(name)) {
    std::promise<RunLoop*> ready;
    auto future = ready.get_future();
    thread_ = std::thread([name = name_, stopping = stopping_, &ready] {
        installSignalStack();
        setCurrentName(name);
        RunLoop& loop = RunLoop::currentOutlivingThread(true);
        ready.set_value(&loop);
        while (!*stopping) loop.run();
    });
    id_ = thread_.get_id();
    loop_ = future.get();
}

Thread::~Thread() {
    stop();
    // A thread that stopped itself may still be returning from its loop.
    if (!detached_) delete loop_;
}

RunLoop& Thread::runLoop() { return *loop_; }

void Thread::perform(std::function<void()> fn) { loop_->perform(std::move(fn)); }

bool Thread::isCurrent() const { return std::this_thread::get_id() == id_; }

void Thread::stop() {
    if (!thread_.joinable()) return;
    *stopping_ = true;
    loop_->stop();
    if (isCurrent()) {
        // Stopping itself: it ends when the current work returns, and its loop
        // with it.
        RunLoop::currentOutlivingThread(false);
        thread_.detach();
        detached_ = true;
    } else {
        thread_.join();
    }
}

std::string Thread::currentName() { return tName; }

void Thread::setCurrentName(const std::string& name) {
    tName = name;
    // The kernel keeps 15 bytes; debuggers and crash reports show them.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool Thread::isMainThread() { return gettid() == getpid(); }

void Thread::installSignalStack() {
    tSignalStack.install();
    // Noted after the signal stack, so forgotten before it is unmapped.
    thread_stack_note_current();
}

}  // namespace platform::foundation
