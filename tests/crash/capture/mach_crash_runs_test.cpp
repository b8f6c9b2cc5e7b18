// Real crashes in Mach mode, a hundred of each kind, through the crash
// driver: faults leave a report written by the server thread with the Mach
// part and the crashed thread's frames; abort() goes through the signal path;
// an earlier exception handler that mends the fault leaves no report and the
// child goes on; a crash of the writing server thread is reported by its
// signal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "crash/capture/report/PKROVCrashReport.h"
#include "tests/support/ShellTools.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 100;

struct MachKind {
    const char* name;
    int linuxSignal;  // what ends the child; 0: it exits with 0
    const char* signalName;
    const char* codeName;
    int64_t machType;   // -1: no Mach part
    int64_t firstCode;  // -1: any
    bool addressIsSecondCode;
};

std::ostream& operator<<(std::ostream& os, const MachKind& k) { return os << k.name; }

const MachKind kMachKinds[] = {
    {"segv-null", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 1, 1, true},
    // Unmapped, or a sanitizer's protected shadow (then EXC_BAD_ACCESS with
    // KERN_PROTECTION_FAILURE, reported as SIGBUS).
    {"segv-wild", SIGSEGV, nullptr, nullptr, 1, -1, true},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", 1, 10, true},
    {"ill", SIGILL, "SIGILL", "ILL_NOOP", 2, 1, false},
    {"fpe", SIGFPE, "SIGFPE", "FPE_NOOP", 3, 1, false},
    {"trap", SIGTRAP, "SIGTRAP", "TRAP_BRKPT", 6, 2, false},
    {"abort", SIGABRT, "SIGABRT", "#0", -1, 0, false},
    {"forwarded", 0, nullptr, nullptr, -1, 0, false},
    {"forwarded-state", 0, nullptr, nullptr, -1, 0, false},
    {"mach-writer-crash", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", -1, 0, false},
    // Sixteen threads fault at once: one report, the others wait at their
    // exceptions; a stack overflow's fault handler runs on the alternate stack.
    {"crash16", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 1, 1, true},
    {"overflow-main", SIGSEGV, nullptr, nullptr, 1, -1, true},
};

class MachCrashRuns : public ::testing::TestWithParam<MachKind> {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("mach-runs-" + std::to_string(getpid()) + "-" + GetParam().name);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

}  // namespace

TEST_P(MachCrashRuns, EveryRunEndsAsItShould) {
    const MachKind& kind = GetParam();
    const qmtest::Ran ran = qmtest::run({QM_CRASH_DRIVER, "--mach", dir_.string(), std::to_string(kRuns), kind.name});
    ASSERT_EQ(ran.exitCode, 0) << ran.out;

    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE(std::string(kind.name) + " run " + std::to_string(run));
        std::string base = std::string(kind.name) + "-" + std::to_string(run);
        long pid = 0, threads = 0;
        unsigned long long function = 0;
        int status = 0, hung = 0;
        std::ifstream(dir_ / (base + ".facts")) >> pid >> threads >> function >> status >> hung;
        ASSERT_EQ(hung, 0) << "the child outlived its crash";
        if (kind.linuxSignal == 0) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            ASSERT_FALSE(fs::exists(dir_ / (base + ".ovcrash")));
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == kind.linuxSignal) << status;

        platform::foundation::Error error;
        auto report = PKROVCrashReport::initWithData(qmtest::readBytes(dir_ / (base + ".ovcrash")), &error);
        ASSERT_TRUE(report) << error.localizedDescription();
        if (kind.signalName) {
            EXPECT_EQ(report->signalInfo()->name(), kind.signalName);
            EXPECT_EQ(report->signalInfo()->code(), kind.codeName);
        }
        const auto& mach = report->machExceptionInfo();
        if (kind.machType < 0) {
            EXPECT_FALSE(mach);
        } else {
            ASSERT_TRUE(mach) << "no Mach part: not written by the server";
            EXPECT_EQ(int64_t(mach->type()), kind.machType);
            ASSERT_EQ(mach->codes().size(), 2u);
            if (kind.firstCode >= 0) {
                EXPECT_EQ(int64_t(mach->codes()[0]), kind.firstCode);
            }
            if (kind.addressIsSecondCode) {
                EXPECT_EQ(mach->codes()[1], report->signalInfo()->address());
            }
        }
        // Every thread, the server's included, and one crashed thread whose
        // frames start in the faulting function (abort's start in the C library).
        EXPECT_EQ(long(report->threads().size()), threads);
        int crashed = 0;
        for (const auto& thread : report->threads()) {
            if (!thread->crashed()) continue;
            ++crashed;
            const auto& frames = thread->stackFrames();
            ASSERT_GE(frames.size(), 2u);
            if (kind.machType >= 0 || std::string(kind.name) == "mach-writer-crash") {
                uint64_t pc = frames[0]->instructionPointer();
                EXPECT_GE(pc, function);
                EXPECT_LT(pc, function + 256);
            }
        }
        EXPECT_EQ(crashed, 1);
        if (::testing::Test::HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, MachCrashRuns, ::testing::ValuesIn(kMachKinds), [](const auto& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
});
