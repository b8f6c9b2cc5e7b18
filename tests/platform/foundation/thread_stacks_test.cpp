#include "platform/foundation/ThreadStacks.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <thread>

#include "platform/foundation/Thread.h"

using namespace platform::foundation;

namespace {

struct Noted {
    uint64_t local = 0, alternate = 0;
    bool found = false, alternateFound = false;
    uint64_t low = 0, high = 0;
};

Noted lookHere() {
    Noted n;
    volatile int here = 0;
    n.local = reinterpret_cast<uint64_t>(&here);
    n.found = thread_stack_find(n.local, &n.low, &n.high);
    stack_t alternate{};
    sigaltstack(nullptr, &alternate);
    n.alternate = reinterpret_cast<uint64_t>(alternate.ss_sp) + alternate.ss_size / 2;
    uint64_t low, high;
    n.alternateFound = (alternate.ss_flags & SS_DISABLE) == 0 && thread_stack_find(n.alternate, &low, &high);
    return n;
}

}  // namespace

// A platform thread's stack and signal stack are known while it runs and
// forgotten once it ends; a thread the platform did not start is unknown.
TEST(ThreadStacks, PlatformThreadsAreNotedWhileTheyLive) {
    Noted seen;
    {
        Thread thread("stacks");
        std::promise<Noted> done;
        thread.perform([&] { done.set_value(lookHere()); });
        seen = done.get_future().get();
        ASSERT_TRUE(seen.found);
        EXPECT_LE(seen.low, seen.local);
        EXPECT_LT(seen.local, seen.high);
        EXPECT_TRUE(seen.alternateFound);
    }
    uint64_t low, high;
    EXPECT_FALSE(thread_stack_find(seen.local, &low, &high));
    EXPECT_FALSE(thread_stack_find(seen.alternate, &low, &high));

    Noted plain;
    std::thread([&] { plain = lookHere(); }).join();
    EXPECT_FALSE(plain.found);
}

// The main stack is noted as far as it is mapped, every byte readable.
TEST(ThreadStacks, TheMainStackAsMappedNow) {
    thread_stack_note_main();
    Noted main = lookHere();
    ASSERT_TRUE(main.found);
    EXPECT_LE(main.low, main.local);
    EXPECT_LT(main.local, main.high);
    // Both ends are read directly: a byte not mapped would fault here.
    volatile uint8_t ends[2] = {*reinterpret_cast<const uint8_t*>(main.low),
                                *reinterpret_cast<const uint8_t*>(main.high - 1)};
    (void)ends;
}
