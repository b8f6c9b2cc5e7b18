#include "crash/capture/handler/PKROVCrashSignalHandler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>

#include "tests/crash/capture/ChildProcess.h"

using crashtest::runInChild;
using namespace ovcrash;

namespace {

int gPreviousCalls = 0;
void countingHandler(int) { ++gPreviousCalls; }

// Passes every signal on down the list, noting whether it ran on the
// alternate stack.
bool gOnAltStack = false;
bool passOn(int signo, siginfo_t* info, ucontext_t* uap, void*, const signal_handler_next* next) {
    stack_t ss;
    sigaltstack(nullptr, &ss);
    gOnAltStack = ss.ss_flags & SS_ONSTACK;
    return next && next->callback(signo, info, uap, next->context);
}

void installPrevious(int signo, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigaction(signo, &sa, nullptr);
}

void registerOrDie(int signo) {
    signal_handler_failure failure;
    if (!PKROVCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, passOn, nullptr, &failure))
        _exit(90);
}

int* volatile gNull = nullptr;
// The fault is the point: the sanitizers must not stop it first.
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void nullWrite() { *gNull = 1; }

}  // namespace

TEST(PKROVCrashSignalHandler, RegisteringTwiceInstallsOnceAndChainsToThePreviousHandlerOnTheAltStack) {
    auto r = runInChild([] {
        installPrevious(SIGUSR1, countingHandler);
        registerOrDie(SIGUSR1);
        registerOrDie(SIGUSR1);
        struct sigaction now;
        sigaction(SIGUSR1, nullptr, &now);
        if (!(now.sa_flags & SA_ONSTACK) || now.sa_sigaction != signal_dispatch) _exit(91);
        raise(SIGUSR1);
        _exit(gPreviousCalls == 1 && gOnAltStack ? 0 : 92);
    });
    EXPECT_TRUE(r.exited(0)) << r.status;
}

TEST(PKROVCrashSignalHandler, IgnoredSentSignalIsHandledButIgnoredFaultEndsTheProcess) {
    auto sent = runInChild([] {
        installPrevious(SIGSEGV, SIG_IGN);
        registerOrDie(SIGSEGV);
        kill(getpid(), SIGSEGV);
    });
    EXPECT_TRUE(sent.exited(0)) << sent.status;

    // Returning from an ignored fault would fault again for ever.
    auto fault = runInChild([] {
        installPrevious(SIGSEGV, SIG_IGN);
        registerOrDie(SIGSEGV);
        nullWrite();
    });
    EXPECT_TRUE(fault.signaled(SIGSEGV)) << fault.status << (fault.timedOut ? " (hung)" : "");
}

TEST(PKROVCrashSignalHandler, UnhandledFaultIsRaisedAgainWithTheDefaultActionNotLoopedBack) {
    // The default actions first: a sanitizer's own fault handler would
    // otherwise be the previous action.
    auto emptyList = runInChild([] {
        installPrevious(SIGSEGV, SIG_DFL);
        registerOrDie(SIGSEGV);
        PKROVCrashSignalHandler::resetHandlers();
        nullWrite();
    });
    EXPECT_TRUE(emptyList.signaled(SIGSEGV)) << emptyList.status << (emptyList.timedOut ? " (hung)" : "");

    auto defaultPrevious = runInChild([] {
        installPrevious(SIGBUS, SIG_DFL);
        registerOrDie(SIGBUS);
        raise(SIGBUS);
    });
    EXPECT_TRUE(defaultPrevious.signaled(SIGBUS)) << defaultPrevious.status;
}
