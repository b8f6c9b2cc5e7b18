// A child process crashes for real; its SIGSEGV handler walks the stack from
// the signal's context with our frame cursor and with libunwind, and the two
// lists of frames must agree frame for frame - through libc, through the C++
// runtime's throw path and through a signal frame.
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/unwind/FrameCursor.h"
#include "tests/crash/capture/ChildProcess.h"

namespace {

using namespace ovcrash;

constexpr int kMaxFrames = 128;

struct Walks {
    uint32_t ours = 0;
    uint32_t theirs = 0;
    uint64_t ourFrames[kMaxFrames];
    uint64_t theirFrames[kMaxFrames];
};

int resultPipe = -1;
// Unmapped, but not null: the sanitizers would stop a null store before it faults.
volatile int *volatile nowhere = reinterpret_cast<volatile int *>(16);

void walkAndReport(int, siginfo_t *, void *context) {
    auto *uc = static_cast<ucontext_t *>(context);
    static Walks walks;

    thread_state state;
    thread_state_init_from_mcontext(&state, &uc->uc_mcontext);
    frame_cursor cursor;
    frame_cursor_init(&cursor, platform::system::mach_task_self(), &state, shared_image_list());
    while (walks.ours < kMaxFrames && frame_cursor_advance(&cursor) == FRAME_ESUCCESS) {
        uint64_t pc;
        if (frame_cursor_get_register(&cursor, REG_IP, &pc) != FRAME_ESUCCESS) break;
        walks.ourFrames[walks.ours++] = pc;
    }
    frame_cursor_free(&cursor);

    unw_cursor_t unw;
    if (unw_init_local2(&unw, reinterpret_cast<unw_context_t *>(uc), UNW_INIT_SIGNAL_FRAME) == 0) {
        do {
            unw_word_t ip;
            unw_get_reg(&unw, UNW_REG_IP, &ip);
            walks.theirFrames[walks.theirs++] = ip;
        } while (walks.theirs < kMaxFrames && unw_step(&unw) > 0);
    }
    (void)!::write(resultPipe, &walks, sizeof walks);
    ::_exit(0);
}

__attribute__((noinline)) void crashHere() {
    *nowhere = 1;
    asm volatile("" ::: "memory");
}

// The four ways down to the crash.
__attribute__((noinline)) int crashingCompare(const void *a, const void *b) {
    crashHere();
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

__attribute__((noinline)) void crashInsideLibc() {
    int values[64];
    for (int i = 0; i < 64; i++) values[i] = 64 - i;
    qsort(values, 64, sizeof(int), crashingCompare);
}

[[noreturn]] void crashingTerminate() {
    crashHere();
    std::abort();
}

__attribute__((noinline)) void crashWhileThrowing() {
    std::set_terminate(crashingTerminate);
    throw std::runtime_error("nobody catches this");
}

void crashingSignalHandler(int) { crashHere(); }

__attribute__((noinline)) void crashInsideSignalHandler() {
    struct sigaction action = {};
    action.sa_handler = crashingSignalHandler;
    sigaction(SIGUSR1, &action, nullptr);
    raise(SIGUSR1);
}

__attribute__((noinline)) int recurse(int depth, void (*leaf)()) {
    if (depth == 0) {
        leaf();
        return 0;
    }
    return recurse(depth - 1, leaf) + depth;  // not a tail call
}

// Runs `crash` in a child whose SIGSEGV handler reports both walks.
Walks walksOfCrash(void (*crash)()) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    auto result = crashtest::runInChild([&] {
        ::close(fds[0]);
        resultPipe = fds[1];
        shared_image_list_start();
        struct sigaction action = {};
        action.sa_sigaction = walkAndReport;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        // On a thread of its own, with no C++ frame above that could catch
        // the exception, down to the thread entry whose return address is
        // undefined.
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void *leaf) -> void * {
                recurse(3, reinterpret_cast<void (*)()>(leaf));
                return nullptr;
            },
            reinterpret_cast<void *>(crash));
        pthread_join(thread, nullptr);
        ::_exit(3);  // no crash: nothing to report
    });
    ::close(fds[1]);
    Walks walks;
    size_t got = 0;
    while (got < sizeof walks) {
        ssize_t n = ::read(fds[0], reinterpret_cast<char *>(&walks) + got, sizeof walks - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    EXPECT_TRUE(result.exited(0));
    EXPECT_EQ(got, sizeof walks);
    return walks;
}

std::vector<uint64_t> ours(const Walks &w) { return {w.ourFrames, w.ourFrames + w.ours}; }
std::vector<uint64_t> theirs(const Walks &w) { return {w.theirFrames, w.theirFrames + w.theirs}; }

// The file of the image holding a pc.
std::string imageOf(uint64_t pc) {
    Dl_info info;
    if (::dladdr(reinterpret_cast<void *>(pc), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

bool anyFrameIn(const std::vector<uint64_t> &frames, const char *library) {
    for (uint64_t pc : frames)
        if (imageOf(pc).find(library) != std::string::npos) return true;
    return false;
}

TEST(UnwindCrash, FramesThroughLibcMatchLibunwind) {
    Walks w = walksOfCrash(crashInsideLibc);
    EXPECT_EQ(ours(w), theirs(w));
    EXPECT_TRUE(anyFrameIn(ours(w), "libc.so"));
    EXPECT_GE(w.ours, 8u);
}

TEST(UnwindCrash, FramesThroughTheThrowPathMatchLibunwind) {
    Walks w = walksOfCrash(crashWhileThrowing);
    EXPECT_EQ(ours(w), theirs(w));
    EXPECT_TRUE(anyFrameIn(ours(w), "libstdc++"));
    EXPECT_GE(w.ours, 8u);
}

TEST(UnwindCrash, FramesThroughASignalFrameMatchLibunwind) {
    Walks w = walksOfCrash(crashInsideSignalHandler);
    EXPECT_EQ(ours(w), theirs(w));
    EXPECT_GE(w.ours, 8u);
}

}  // namespace
