// thread_stack_find is async-signal-safe: atomic loads over static storage.
#include "platform/foundation/ThreadStacks.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace platform::foundation {

namespace {

// One noted range. `tid` is published last on noting and cleared first on
// forgetting, so a reader that sees it before and after reading the bounds
// has read a whole record.
struct Range {
    std::atomic<int32_t> tid{0};  // 0: free; -1: being written
    std::atomic<uint64_t> low{0};
    std::atomic<uint64_t> high{0};
};

constexpr uint32_t kRanges = 512;
Range gRanges[kRanges];
std::atomic<uint32_t> gUsed{0};  // no range at or past this index was ever used

void forget(int32_t tid) {
    const uint32_t used = gUsed.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < used; ++i) {
        int32_t expected = tid;
        if (gRanges[i].tid.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
            gRanges[i].high.store(0, std::memory_order_relaxed);
            gRanges[i].low.store(0, std::memory_order_relaxed);
            gRanges[i].tid.store(0, std::memory_order_release);
        }
    }
}

void note(int32_t tid, uint64_t low, uint64_t high) {
    if (low >= high) return;
    for (uint32_t i = 0; i < kRanges; ++i) {
        int32_t expected = 0;
        if (!gRanges[i].tid.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) continue;
        gRanges[i].low.store(low, std::memory_order_relaxed);
        gRanges[i].high.store(high, std::memory_order_relaxed);
        gRanges[i].tid.store(tid, std::memory_order_release);
        uint32_t used = gUsed.load(std::memory_order_relaxed);
        while (used < i + 1 && !gUsed.compare_exchange_weak(used, i + 1, std::memory_order_acq_rel)) {
        }
        return;
    }
}

// The readable mapping marked as the main thread's stack.
bool main_stack_mapping(uint64_t* low, uint64_t* high) {
    FILE* maps = fopen("/proc/self/maps", "re");
    if (!maps) return false;
    bool found = false;
    char line[512];
    while (!found && fgets(line, sizeof line, maps)) {
        unsigned long long start, end;
        char perms[8];
        if (sscanf(line, "%llx-%llx %7s", &start, &end, perms) == 3 && perms[0] == 'r' &&
            __builtin_strstr(line, "[stack]") != nullptr) {
            *low = start;
            *high = end;
            found = true;
        }
    }
    fclose(maps);
    return found;
}

// Forgets the thread's ranges when it ends.
struct Noted {
    int32_t tid = 0;
    ~Noted() {
        if (tid != 0) forget(tid);
    }
};
thread_local Noted tNoted;

}  // namespace

void thread_stack_note_main() {
    // The main thread's stack grows on demand: only what is mapped now is
    // noted, and what it grows by later is read with the kernel's checks.
    uint64_t low, high;
    if (!main_stack_mapping(&low, &high)) return;
    const auto pid = static_cast<int32_t>(getpid());
    forget(pid);
    note(pid, low, high);
}

void thread_stack_note_current() {
    const auto tid = static_cast<int32_t>(gettid());
    if (tid == getpid()) {
        thread_stack_note_main();
    } else {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        void* base = nullptr;
        size_t size = 0;
        // Without the guard pages, which are never readable.
        const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
        pthread_attr_destroy(&attr);
        if (!known) return;
        forget(tid);
        note(tid, reinterpret_cast<uint64_t>(base), reinterpret_cast<uint64_t>(base) + size);
    }
    stack_t alternate{};
    if (sigaltstack(nullptr, &alternate) == 0 && (alternate.ss_flags & SS_DISABLE) == 0 && alternate.ss_size != 0) {
        const auto low = reinterpret_cast<uint64_t>(alternate.ss_sp);
        note(tid, low, low + alternate.ss_size);
    }
    tNoted.tid = tid;
}

bool thread_stack_find(uint64_t address, uint64_t* low, uint64_t* high) {
    const uint32_t used = gUsed.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < used; ++i) {
        Range& r = gRanges[i];
        const int32_t tid = r.tid.load(std::memory_order_acquire);
        if (tid <= 0) continue;
        const uint64_t l = r.low.load(std::memory_order_relaxed), h = r.high.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (address < l || address >= h || r.tid.load(std::memory_order_relaxed) != tid) continue;
        *low = l;
        *high = h;
        return true;
    }
    return false;
}

}  // namespace platform::foundation
