// Async-signal-safe (but for thread_control_prepare's one-time set-up, which
// is safe too): raw system calls, static storage, atomics and bounded futex
// waits; no allocation, no lock.
#include "platform/system/MachThread.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <ctime>

namespace platform::system {

namespace {

// How long a suspender waits for a thread to reach its stop handler, and how
// long a stopped thread waits to be resumed before it runs on by itself.
constexpr int64_t kStopWaitNs = 250'000'000;
constexpr int64_t kResumeWaitNs = 5'000'000'000;
// A thread seen asleep at every look with every signal a process can be sent
// blocked, ours among them, has opted out of signals (a library's or an
// emulator's helper thread, an I/O worker): it gets this shorter bound. A
// thread ever seen runnable, or taking any such signal, gets the full one.
constexpr int64_t kDeafStopWaitNs = 20'000'000;
constexpr int64_t kLookNs = 2'000'000;

enum SlotState : int32_t { kIdle = 0, kRequested = 1, kStopped = 2 };

// One suspended thread. `state` is also the futex word both sides wait on.
// A thread's slot is found by hashing its id and probing onward; a slot once
// used and freed again is kFreed, not 0, so that probing passes over it.
constexpr int32_t kFreed = -1;

struct Slot {
    std::atomic<int32_t> tid{0};  // 0: never used; kFreed: free again
    // Set while the suspender sleeps waiting for the stop, so the stopped
    // thread wakes it only then.
    std::atomic<int32_t> waiting{0};
    std::atomic<int32_t> state{kIdle};
    int32_t suspendCount = 0;
    int64_t stopDeadline = 0;
    mcontext_t context;
};
static_assert(std::atomic<int32_t>::is_always_lock_free && sizeof(std::atomic<int32_t>) == sizeof(int32_t));

Slot gSlots[kSuspendedThreadsMax];

struct ThreadList {
    std::atomic<bool> used{false};
    thread_t threads[kTaskThreadsMax];
};
ThreadList gLists[4];

std::atomic<int> gSignal{0};

// Threads waiting in their fault handlers, with the context they faulted in.
struct FaultNote {
    std::atomic<int32_t> tid{0};
    std::atomic<const mcontext_t*> context{nullptr};
};
FaultNote gFaultNotes[64];

const mcontext_t* notedFaultContext(int32_t tid) {
    for (FaultNote& n : gFaultNotes)
        if (n.tid.load(std::memory_order_acquire) == tid) return n.context.load(std::memory_order_acquire);
    return nullptr;
}

int64_t nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int32_t* word(std::atomic<int32_t>& a) { return reinterpret_cast<int32_t*>(&a); }

// Waits while *w == expected, until the deadline; spurious wake-ups and
// signals just loop.
void waitWhile(std::atomic<int32_t>& w, int32_t expected, int64_t deadline) {
    while (w.load(std::memory_order_acquire) == expected) {
        int64_t left = deadline - nowNs();
        if (left <= 0) return;
        timespec ts{time_t(left / 1'000'000'000), long(left % 1'000'000'000)};
        ::syscall(SYS_futex, word(w), FUTEX_WAIT_PRIVATE, expected, &ts, nullptr, 0);
    }
}

void wakeAll(std::atomic<int32_t>& w) {
    ::syscall(SYS_futex, word(w), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// The signals a thread must block to count as one that takes none: the
// asynchronous standard ones, the real-time ones and the stop signal. The
// fault signals and the C library's two internal ones cannot be blocked.
uint64_t asynchronousSignals(int stop) {
    uint64_t mask = 0;
    auto add = [&](int sig) {
        if (sig >= 1 && sig <= 64) mask |= uint64_t(1) << (sig - 1);
    };
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGCHLD, SIGWINCH, stop})
        add(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) add(sig);
    return mask;
}

// True when /proc shows the thread asleep (not runnable) with every signal of
// `required` blocked. Anything unreadable or unexpected answers false.
bool asleepWithSignalsBlocked(int32_t tid, uint64_t required) {
    char path[48] = "/proc/self/task/";
    size_t n = 16;
    char digits[12];
    size_t d = 0;
    for (uint32_t v = uint32_t(tid); v != 0 || d == 0; v /= 10) digits[d++] = char('0' + v % 10);
    while (d > 0) path[n++] = digits[--d];
    for (const char* c = "/status"; *c; ++c) path[n++] = *c;
    path[n] = '\0';
    int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return false;
    // Both lines lie well within the first 1.5 KiB.
    char buf[1536];
    size_t have = 0;
    while (have < sizeof buf - 1) {
        long got = ::syscall(SYS_read, fd, buf + have, sizeof buf - 1 - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += size_t(got);
    }
    ::syscall(SYS_close, fd);
    buf[have] = '\0';
    auto field = [&](const char* name) -> const char* {
        size_t len = 0;
        while (name[len]) ++len;
        for (size_t line = 0; line < have;) {
            size_t i = 0;
            while (i < len && buf[line + i] == name[i]) ++i;
            if (i == len) {
                const char* v = buf + line + len;
                while (*v == '\t' || *v == ' ') ++v;
                return v;
            }
            while (line < have && buf[line] != '\n') ++line;
            ++line;
        }
        return nullptr;
    };
    const char* state = field("State:");
    const char* blocked = field("SigBlk:");
    if (!state || !blocked || (*state != 'S' && *state != 'D')) return false;
    // SigBlk is a hexadecimal mask, bit (sig - 1) for signal sig, high bits first.
    uint64_t mask = 0;
    int digitsRead = 0;
    for (;; ++blocked, ++digitsRead) {
        char c = *blocked;
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) break;
        mask = (mask << 4) | uint64_t(v);
    }
    return digitsRead == 16 && (mask & required) == required;
}

uint32_t home(int32_t tid) {
    static_assert((kSuspendedThreadsMax & (kSuspendedThreadsMax - 1)) == 0);
    return uint32_t((uint64_t(uint32_t(tid)) * 0x9e3779b97f4a7c15ull) >> 32) & (kSuspendedThreadsMax - 1);
}

Slot* findSlot(int32_t tid) {
    if (tid <= 0) return nullptr;
    for (uint32_t i = 0, at = home(tid); i < kSuspendedThreadsMax; ++i, at = (at + 1) & (kSuspendedThreadsMax - 1)) {
        const int32_t held = gSlots[at].tid.load(std::memory_order_acquire);
        if (held == tid) return &gSlots[at];
        if (held == 0) return nullptr;  // no thread was ever put past here
    }
    return nullptr;
}

Slot* claimSlot(int32_t tid) {
    for (uint32_t i = 0, at = home(tid); i < kSuspendedThreadsMax; ++i, at = (at + 1) & (kSuspendedThreadsMax - 1)) {
        for (int32_t expected : {0, kFreed})
            if (gSlots[at].tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) return &gSlots[at];
    }
    return nullptr;
}

// Only the general registers: the rest of the context (floating-point and
// vector state) lives on the stopped thread's stack and is not kept.
void copyContext(mcontext_t* dst, const mcontext_t* src) {
#if defined(__x86_64__)
    for (int i = 0; i < NGREG; ++i) dst->gregs[i] = src->gregs[i];
    dst->fpregs = nullptr;
#elif defined(__aarch64__)
    dst->fault_address = src->fault_address;
    for (int i = 0; i < 31; ++i) dst->regs[i] = src->regs[i];
    dst->sp = src->sp;
    dst->pc = src->pc;
    dst->pstate = src->pstate;
#else
#error "thread stand-in: unsupported architecture"
#endif
}

void stopHandler(int, siginfo_t*, void* ucontext) {
    int savedErrno = errno;
    auto self = static_cast<int32_t>(::syscall(SYS_gettid));
    Slot* slot = findSlot(self);
    // A stop signal that arrives after its suspension was undone finds no
    // request and returns at once.
    if (slot && slot->state.load(std::memory_order_acquire) == kRequested) {
        const mcontext_t* fault = notedFaultContext(self);
        copyContext(&slot->context, fault ? fault : &static_cast<const ucontext_t*>(ucontext)->uc_mcontext);
        int32_t expected = kRequested;
        if (slot->state.compare_exchange_strong(expected, kStopped, std::memory_order_seq_cst)) {
            if (slot->waiting.load(std::memory_order_seq_cst) != 0) wakeAll(slot->state);
            waitWhile(slot->state, kStopped, nowNs() + kResumeWaitNs);
        }
    }
    errno = savedErrno;
}

}  // namespace

kern_return_t thread_control_prepare() {
    if (gSignal.load(std::memory_order_acquire) != 0) return KERN_SUCCESS;
    int sig = SIGRTMIN + 5;
    struct sigaction sa {};
    sa.sa_sigaction = stopHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    if (::sigaction(sig, &sa, nullptr) != 0) return KERN_FAILURE;
    gSignal.store(sig, std::memory_order_release);
    return KERN_SUCCESS;
}

int thread_control_signal() { return gSignal.load(std::memory_order_acquire); }

kern_return_t task_threads(task_t task, thread_act_array_t* threads, mach_msg_type_number_t* count) {
    if (!threads || !count || task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    ThreadList* list = nullptr;
    for (ThreadList& l : gLists) {
        bool expected = false;
        if (l.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            list = &l;
            break;
        }
    }
    if (!list) return KERN_RESOURCE_SHORTAGE;
    int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) {
        list->used.store(false, std::memory_order_release);
        return KERN_FAILURE;
    }
    // The directory entries of Linux's getdents64, read in place.
    struct Dirent64 {
        uint64_t ino;
        int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
    };
    alignas(8) char buf[2048];
    uint32_t n = 0;
    bool failed = false;
    for (;;) {
        long got = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed = true;
        if (got <= 0) break;
        for (long pos = 0; pos < got;) {
            auto* d = reinterpret_cast<const Dirent64*>(buf + pos);
            pos += d->reclen;
            uint64_t tid = 0;
            const char* c = d->name;
            if (*c < '0' || *c > '9') continue;  // "." and ".."
            for (; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + uint64_t(*c - '0');
            if (n < kTaskThreadsMax) list->threads[n++] = thread_t(tid);
        }
    }
    ::syscall(SYS_close, fd);
    if (failed && n == 0) {
        list->used.store(false, std::memory_order_release);
        return KERN_FAILURE;
    }
    *threads = list->threads;
    *count = n;
    return KERN_SUCCESS;
}

void task_threads_release(thread_act_array_t threads) {
    for (ThreadList& l : gLists)
        if (l.threads == threads) l.used.store(false, std::memory_order_release);
}

kern_return_t thread_suspend(thread_t thread) {
    if (thread_control_prepare() != KERN_SUCCESS) return KERN_FAILURE;
    auto tid = static_cast<int32_t>(thread);
    if (tid <= 0 || thread == mach_thread_self()) return KERN_INVALID_ARGUMENT;
    if (Slot* held = findSlot(tid)) {
        ++held->suspendCount;
        return KERN_SUCCESS;
    }
    Slot* slot = claimSlot(tid);
    if (!slot) return KERN_RESOURCE_SHORTAGE;
    slot->suspendCount = 1;
    slot->stopDeadline = nowNs() + kStopWaitNs;
    slot->state.store(kRequested, std::memory_order_release);
    if (::syscall(SYS_tgkill, ::syscall(SYS_getpid), tid, thread_control_signal()) != 0) {
        slot->state.store(kIdle, std::memory_order_release);
        slot->tid.store(kFreed, std::memory_order_release);
        return KERN_TERMINATED;
    }
    return KERN_SUCCESS;
}

kern_return_t thread_resume(thread_t thread) {
    Slot* slot = findSlot(static_cast<int32_t>(thread));
    if (!slot || thread == 0) return KERN_INVALID_ARGUMENT;
    if (--slot->suspendCount > 0) return KERN_SUCCESS;
    slot->state.store(kIdle, std::memory_order_release);
    wakeAll(slot->state);
    slot->tid.store(kFreed, std::memory_order_release);
    return KERN_SUCCESS;
}

bool thread_is_ours(thread_t thread) {
    const auto tid = static_cast<int32_t>(thread);
    if (tid <= 0) return false;
    const int savedErrno = errno;
    // Signal 0 is only checked, never sent.
    const bool ours = ::syscall(SYS_tgkill, ::syscall(SYS_getpid), tid, 0) == 0 || errno != ESRCH;
    errno = savedErrno;
    return ours;
}

bool thread_note_fault_context(const mcontext_t* context) {
    auto self = static_cast<int32_t>(mach_thread_self());
    for (FaultNote& n : gFaultNotes) {
        int32_t expected = 0;
        if (n.tid.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) {
            n.context.store(context, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void thread_clear_fault_context() {
    auto self = static_cast<int32_t>(mach_thread_self());
    for (FaultNote& n : gFaultNotes)
        if (n.tid.load(std::memory_order_acquire) == self) {
            n.context.store(nullptr, std::memory_order_release);
            n.tid.store(0, std::memory_order_release);
        }
}

kern_return_t thread_get_state(thread_t thread, mcontext_t* state) {
    Slot* slot = findSlot(static_cast<int32_t>(thread));
    if (!slot || thread == 0 || !state) return KERN_INVALID_ARGUMENT;
    // Waits in short steps, looking between them whether the thread can take
    // signals at all; the shorter bound needs two looks that say it cannot.
    int64_t deafDeadline = slot->stopDeadline - kStopWaitNs + kDeafStopWaitNs;
    uint64_t required = asynchronousSignals(thread_control_signal());
    bool deaf = true;
    int looks = 0;
    while (slot->state.load(std::memory_order_acquire) == kRequested) {
        int64_t now = nowNs();
        int64_t deadline = deaf && looks >= 2 ? deafDeadline : slot->stopDeadline;
        if (now >= deadline) break;
        slot->waiting.store(1, std::memory_order_seq_cst);
        waitWhile(slot->state, kRequested, deaf && now + kLookNs < deadline ? now + kLookNs : deadline);
        slot->waiting.store(0, std::memory_order_relaxed);
        if (deaf && slot->state.load(std::memory_order_acquire) == kRequested) {
            deaf = asleepWithSignalsBlocked(static_cast<int32_t>(thread), required);
            ++looks;
        }
    }
    if (slot->state.load(std::memory_order_acquire) != kStopped) return KERN_OPERATION_TIMED_OUT;
    copyContext(state, &slot->context);
    return KERN_SUCCESS;
}

}  // namespace platform::system
