#include "platform/system/MachThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/WaitUntil.h"

using namespace platform::system;

namespace {

// A thread that counts until told to stop, optionally with the stop signal
// blocked, or pausing a millisecond between counts (many of them then leave
// the machine's cores to the rest of a parallel test run); it reports its id
// and stack range once running.
struct Spinner {
    std::atomic<bool> quit{false};
    std::atomic<uint64_t> count{0};
    std::atomic<thread_t> tid{0};
    uintptr_t stackLow = 0, stackHigh = 0;
    std::thread thread;

    explicit Spinner(bool blockStop = false, const mcontext_t* fault = nullptr, bool paced = false) {
        EXPECT_EQ(thread_control_prepare(), KERN_SUCCESS);
        thread = std::thread([this, blockStop, fault, paced] {
            if (fault) thread_note_fault_context(fault);
            if (blockStop) {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, thread_control_signal());
                pthread_sigmask(SIG_BLOCK, &set, nullptr);
            }
            pthread_attr_t attr;
            pthread_getattr_np(pthread_self(), &attr);
            void* base;
            size_t size;
            pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
            stackLow = reinterpret_cast<uintptr_t>(base);
            stackHigh = stackLow + size;
            tid = mach_thread_self();
            while (!quit) {
                count.fetch_add(1, std::memory_order_relaxed);
                if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (fault) thread_clear_fault_context();
        });
        while (tid == 0) std::this_thread::yield();
    }
    ~Spinner() {
        quit = true;
        thread.join();
    }
    // Bounded wait for the counter to move on from `from`.
    bool advancesFrom(uint64_t from) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end)
            if (count.load() != from) return true;
        return false;
    }
};

uint64_t stackPointer(const mcontext_t& c) {
#if defined(__x86_64__)
    return uint64_t(c.gregs[REG_RSP]);
#else
    return c.sp;
#endif
}

}  // namespace

TEST(MachThread, ListsEveryThreadMainFirst) {
    Spinner other;
    thread_act_array_t threads = nullptr;
    mach_msg_type_number_t count = 0;
    ASSERT_EQ(task_threads(mach_task_self(), &threads, &count), KERN_SUCCESS);
    ASSERT_GE(count, 2u);
    EXPECT_EQ(threads[0], thread_t(getpid()));
    bool self = false, found = false;
    for (uint32_t i = 0; i < count; ++i) {
        self |= threads[i] == mach_thread_self();
        found |= threads[i] == other.tid;
    }
    EXPECT_TRUE(self);
    EXPECT_TRUE(found);
    task_threads_release(threads);
    EXPECT_EQ(task_threads(mach_task_self() + 1, &threads, &count), KERN_INVALID_ARGUMENT);
}

TEST(MachThread, SuspendedThreadStopsOnItsOwnStackAndRunsOnWhenResumed) {
    Spinner spinner;
    ASSERT_EQ(thread_suspend(spinner.tid), KERN_SUCCESS);
    ASSERT_EQ(thread_suspend(spinner.tid), KERN_SUCCESS);  // nests
    mcontext_t context;
    ASSERT_EQ(thread_get_state(spinner.tid, &context), KERN_SUCCESS);
    EXPECT_GE(stackPointer(context), spinner.stackLow);
    EXPECT_LT(stackPointer(context), spinner.stackHigh);
    uint64_t stopped = spinner.count.load();
    ASSERT_EQ(thread_resume(spinner.tid), KERN_SUCCESS);
    EXPECT_EQ(spinner.count.load(), stopped);  // still one suspension left
    ASSERT_EQ(thread_resume(spinner.tid), KERN_SUCCESS);
    EXPECT_TRUE(spinner.advancesFrom(stopped));
    EXPECT_EQ(thread_resume(spinner.tid), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_get_state(spinner.tid, &context), KERN_INVALID_ARGUMENT);
}

// Many threads suspended at once each stop and are found again, also after
// some of them were resumed and suspended anew, their slots freed and taken.
TEST(MachThread, ManyThreadsSuspendedTogether) {
    std::vector<std::unique_ptr<Spinner>> spinners;
    for (int i = 0; i < 20; ++i) spinners.push_back(std::make_unique<Spinner>(false, nullptr, true));
    for (auto& s : spinners) ASSERT_EQ(thread_suspend(s->tid), KERN_SUCCESS);
    mcontext_t context;
    for (auto& s : spinners) {
        ASSERT_EQ(thread_get_state(s->tid, &context), KERN_SUCCESS);
        EXPECT_GE(stackPointer(context), s->stackLow);
        EXPECT_LT(stackPointer(context), s->stackHigh);
    }
    for (size_t i = 0; i < spinners.size(); i += 2) ASSERT_EQ(thread_resume(spinners[i]->tid), KERN_SUCCESS);
    for (size_t i = 0; i < spinners.size(); i += 2) ASSERT_EQ(thread_suspend(spinners[i]->tid), KERN_SUCCESS);
    for (auto& s : spinners) {
        ASSERT_EQ(thread_get_state(s->tid, &context), KERN_SUCCESS);
        EXPECT_GE(stackPointer(context), s->stackLow);
        EXPECT_LT(stackPointer(context), s->stackHigh);
    }
    for (auto& s : spinners) ASSERT_EQ(thread_resume(s->tid), KERN_SUCCESS);
    for (auto& s : spinners) EXPECT_TRUE(s->advancesFrom(s->count.load()));
    for (auto& s : spinners) EXPECT_EQ(thread_resume(s->tid), KERN_INVALID_ARGUMENT);
}

TEST(MachThread, ThreadThatCannotStopTimesOutAndKeepsRunning) {
    Spinner blind(true);
    ASSERT_EQ(thread_suspend(blind.tid), KERN_SUCCESS);
    mcontext_t context;
    EXPECT_EQ(thread_get_state(blind.tid, &context), KERN_OPERATION_TIMED_OUT);
    EXPECT_TRUE(blind.advancesFrom(blind.count.load()));
    EXPECT_EQ(thread_resume(blind.tid), KERN_SUCCESS);
}

TEST(MachThread, SleepingThreadThatTakesNoSignalTimesOutAndWakesLater) {
    ASSERT_EQ(thread_control_prepare(), KERN_SUCCESS);
    std::atomic<int> phase{0};
    std::atomic<thread_t> tid{0};
    std::thread helper([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        tid = mach_thread_self();
        phase.wait(0);  // asleep until told
        phase = 2;
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_EQ(thread_suspend(tid), KERN_SUCCESS);
    mcontext_t context;
    EXPECT_EQ(thread_get_state(tid, &context), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(thread_resume(tid), KERN_SUCCESS);
    phase = 1;
    phase.notify_one();
    helper.join();
    EXPECT_EQ(phase.load(), 2);
}

TEST(MachThread, RefusesItselfAndThreadsThatEnded) {
    EXPECT_EQ(thread_suspend(mach_thread_self()), KERN_INVALID_ARGUMENT);
    std::atomic<thread_t> gone{0};
    std::thread([&] { gone = mach_thread_self(); }).join();
    // A joined thread may still be leaving the kernel, where a signal still
    // reaches it: it has ended once the process no longer lists it.
    const std::string listed = "/proc/self/task/" + std::to_string(gone.load());
    qmtest::waitUntil([&] { return ::access(listed.c_str(), F_OK) != 0; });
    EXPECT_EQ(thread_suspend(gone), KERN_TERMINATED);
}

TEST(MachThread, ThreadHeldInItsFaultHandlerReportsTheFault) {
    static mcontext_t fault{};
#if defined(__x86_64__)
    fault.gregs[REG_RSP] = 0x1234560;
#else
    fault.sp = 0x1234560;
#endif
    Spinner spinner(false, &fault);
    ASSERT_EQ(thread_suspend(spinner.tid), KERN_SUCCESS);
    mcontext_t context;
    ASSERT_EQ(thread_get_state(spinner.tid, &context), KERN_SUCCESS);
    EXPECT_EQ(stackPointer(context), 0x1234560u);
    ASSERT_EQ(thread_resume(spinner.tid), KERN_SUCCESS);
}
