// Signals as reports name them: the platform's numbering, translated from
// what Linux delivers, and the "#<n>" form for what no table row names.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "crash/capture/handler/CrashSignalTables.h"
#include "tests/crash/capture/ChildProcess.h"

using namespace ovcrash;

namespace {

std::string names(int32_t signo, int32_t code) {
    char a[SIGNAL_TEXT_SIZE], b[SIGNAL_TEXT_SIZE];
    return std::string(async_signal_name_text(signo, a)) + " " + async_signal_code_text(signo, code, b);
}

TEST(SignalTables, NamesAndNumberedFallbacks) {
    EXPECT_EQ(names(6, 0), "SIGABRT #0");
    EXPECT_EQ(names(6, 1), "SIGABRT #1");
    EXPECT_EQ(names(31, 0), "SIGUSR2 #0");
    EXPECT_EQ(names(10, 2), "SIGBUS BUS_ADRERR");
    EXPECT_EQ(names(5, 0), "SIGTRAP #0");
    EXPECT_EQ(names(40, -2147483647 - 1), "#40 #-2147483648");
}

struct Translated {
    int32_t signo, code;
    uint64_t address;
};

Translated translate(int linuxSigno, int linuxCode, uint64_t address) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = linuxSigno;
    info.si_code = linuxCode;
    info.si_addr = reinterpret_cast<void*>(address);
    Translated t{};
    signal_info_from_linux(&info, &t.signo, &t.code, &t.address);
    return t;
}

TEST(SignalTables, LinuxNumbersBecomeThePlatformsAtCatchTime) {
    auto bus = translate(SIGBUS, BUS_ADRERR, 0x40);
    EXPECT_EQ(bus.signo, 10);
    EXPECT_EQ(bus.code, 2);
    EXPECT_EQ(bus.address, 0x40u);
    auto fpe = translate(SIGFPE, FPE_INTDIV, 0x1234);
    EXPECT_EQ(names(fpe.signo, fpe.code), "SIGFPE FPE_INTDIV");
    auto ill = translate(SIGILL, ILL_ILLOPN, 0x99);
    EXPECT_EQ(names(ill.signo, ill.code), "SIGILL ILL_ILLOPN");
    EXPECT_EQ(signal_number_from_linux(SIGSYS), 12);
    EXPECT_EQ(signal_number_from_linux(SIGUSR2), 31);
    EXPECT_EQ(signal_number_from_linux(SIGUSR1), 30);
    EXPECT_EQ(signal_number_from_linux(SIGCHLD), 20);
    // Signals the platform lacks are never named as one of its own.
    EXPECT_EQ(names(signal_number_from_linux(SIGPWR), 0).substr(0, 1), "#");

    // Sent by a process (abort(), kill): code 0 and no address.
    auto sent = translate(SIGABRT, SI_TKILL, 0xdead);
    EXPECT_EQ(names(sent.signo, sent.code), "SIGABRT #0");
    EXPECT_EQ(sent.address, 0u);
    auto user = translate(SIGSEGV, SI_USER, 0xdead);
    EXPECT_EQ(user.code, 0);
    EXPECT_EQ(user.address, 0u);
}

int resultPipe[2];

void reportCaught(int, siginfo_t* info, void*) {
    Translated t{};
    signal_info_from_linux(info, &t.signo, &t.code, &t.address);
    (void)!::write(resultPipe[1], &t, sizeof t);
    ::_exit(0);
}

Translated catchInChild(void (*fault)()) {
    EXPECT_EQ(::pipe(resultPipe), 0);
    auto result = crashtest::runInChild([fault] {
        struct sigaction sa {};
        sa.sa_sigaction = reportCaught;
        sa.sa_flags = SA_SIGINFO;
        ::sigaction(SIGSEGV, &sa, nullptr);
        ::sigaction(SIGABRT, &sa, nullptr);
        fault();
    });
    EXPECT_TRUE(result.exited(0));
    Translated t{-1, -1, 1};
    EXPECT_EQ(::read(resultPipe[0], &t, sizeof t), static_cast<ssize_t>(sizeof t));
    ::close(resultPipe[0]);
    ::close(resultPipe[1]);
    return t;
}

TEST(SignalTables, RealSignalsTranslate) {
    auto segv = catchInChild([] {
        volatile uintptr_t address = 0x10;  // kept opaque so the store is not judged at compile time
        *reinterpret_cast<volatile int*>(address) = 1;
    });
    EXPECT_EQ(names(segv.signo, segv.code), "SIGSEGV SEGV_MAPERR");
    EXPECT_EQ(segv.address, 0x10u);
    auto abrt = catchInChild([] { ::abort(); });
    EXPECT_EQ(names(abrt.signo, abrt.code), "SIGABRT #0");
    EXPECT_EQ(abrt.address, 0u);
}

}  // namespace
