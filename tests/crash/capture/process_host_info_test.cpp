// Process and host facts as the crash reporter gathers them, the UTF-8
// prefix of command names, the sysctl readers and the error builders.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "crash/capture/async/SysctlRead.h"
#include "crash/capture/info/PKROVCrashHostInfo.h"
#include "crash/capture/info/PKROVCrashProcessInfo.h"
#include "crash/capture/info/ReporterError.h"
#include "platform/foundation/Log.h"
#include "platform/system/Host.h"
#include "platform/system/Sysctl.h"

namespace pf = platform::foundation;
namespace ps = platform::system;
using ovcrash::utf8_prefix_length;

namespace {

size_t prefix(const std::vector<uint8_t>& bytes) { return utf8_prefix_length(bytes.data(), bytes.size()); }

TEST(Utf8Prefix, StopsBeforeTheFirstSequenceThatIsNotUtf8) {
    EXPECT_EQ(prefix({'a', 'b', 0, 'c'}), 2u);
    EXPECT_EQ(prefix({0xEF, 0xBB, 0xBF, 'x'}), 4u);  // a byte-order mark counts
    EXPECT_EQ(prefix({'a', 0xC3, 0xA9, 0xE4, 0xB8, 0xAD, 0xF0, 0x9F, 0x98, 0x80}), 10u);
    EXPECT_EQ(prefix({'a', 0xC0, 0x80}), 1u);              // overlong NUL
    EXPECT_EQ(prefix({'a', 0xE0, 0x80, 0xAF}), 1u);        // overlong '/'
    EXPECT_EQ(prefix({'a', 0xED, 0xA0, 0x80}), 1u);        // a surrogate
    EXPECT_EQ(prefix({'a', 0xF4, 0x90, 0x80, 0x80}), 1u);  // past U+10FFFF
    EXPECT_EQ(prefix({'a', 0xC3, 0x00}), 1u);              // NUL as a continuation
    EXPECT_EQ(prefix({'a', 0x80}), 1u);                    // a stray continuation
    // A 16-byte command name whose last byte starts a 2-byte sequence is cut before it.
    std::vector<uint8_t> name(15, 'n');
    name.push_back(0xC3);
    EXPECT_EQ(prefix(name), 15u);
}

TEST(ProcessInfo, DescribesThisProcessAndItsParent) {
    auto self = PKROVCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->processID(), getpid());
    EXPECT_EQ(self->parentProcessID(), getppid());
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    EXPECT_EQ(self->processName(), comm);
    EXPECT_FALSE(self->isTraced());
    time_t now = std::time(nullptr);
    EXPECT_LE(self->startTime().tv_sec, now);
    EXPECT_GT(self->startTime().tv_sec, now - 3600);
    EXPECT_LT(self->startTime().tv_usec, 1000000);

    PKROVCrashProcessInfo parent(self->parentProcessID());
    EXPECT_TRUE(parent.valid());
    EXPECT_FALSE(parent.processName().empty());
    EXPECT_FALSE(PKROVCrashProcessInfo(0x7FFFFFF0).valid());
}

TEST(ProcessInfo, SeesATracer) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char ok = ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 'n';
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    bool traced = PKROVCrashProcessInfo(child).isTraced();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    if (ok != 'y') GTEST_SKIP() << "tracing is not allowed here";
    EXPECT_TRUE(traced);
}

struct PlayedSystem {
    explicit PlayedSystem(const char* release) { ps::sysctl_set_played_system(release, "13E233"); }
    ~PlayedSystem() { ps::sysctl_set_played_system("15.4.0", "13E233"); }
};

struct CapturedLog {
    std::vector<std::string> lines;
    CapturedLog() {
        pf::setLogSink([this](const std::string& line) { lines.push_back(line); });
    }
    ~CapturedLog() { pf::setLogSink(nullptr); }
};

TEST(HostInfo, ReadsTheDarwinVersionKeepingWhatPrecedesAFault) {
    struct Case {
        const char* release;
        intptr_t major, minor, revision;
        bool logged;
    } cases[] = {{"15.4.0", 15, 4, 0, false},
                 {"14.0.0", 14, 0, 0, false},
                 {"15", 15, 0, 0, true},
                 {"16.x.1", 16, 0, 0, true},
                 {"beta", 0, 0, 0, true}};
    for (const Case& c : cases) {
        PlayedSystem played(c.release);
        CapturedLog log;
        auto host = PKROVCrashHostInfo::currentHostInfo();
        ASSERT_TRUE(host) << c.release;
        EXPECT_EQ(host->darwinVersion().major, c.major) << c.release;
        EXPECT_EQ(host->darwinVersion().minor, c.minor) << c.release;
        EXPECT_EQ(host->darwinVersion().revision, c.revision) << c.release;
        ASSERT_EQ(log.lines.size(), c.logged ? 1u : 0u) << c.release;
        if (c.logged) {
            EXPECT_NE(
                log.lines[0].find(
                    std::string("[OVCrashReporter] Warning -- Unexpected kern.osrelease string format: ") + c.release),
                std::string::npos);
        }
    }
}

TEST(SysctlRead, ReadsThePlayedPlatformsValues) {
    ps::sysctl_set_played_device("iPhone7,2", "iPhone");
    char* machine = ovcrash::sysctl_string_copy("hw.machine");
    ASSERT_NE(machine, nullptr);
    EXPECT_STREQ(machine, "iPhone7,2");
    std::free(machine);
    int32_t type = 0, subtype = -1;
    EXPECT_TRUE(ovcrash::sysctl_int_read("hw.cputype", &type));
    EXPECT_TRUE(ovcrash::sysctl_int_read("hw.cpusubtype", &subtype));
#if defined(__x86_64__)
    EXPECT_EQ(type, 0x01000007);
    EXPECT_EQ(subtype, 3);
#else
    EXPECT_EQ(type, 0x0100000C);
    EXPECT_EQ(subtype, 0);
#endif
    errno = 0;
    EXPECT_EQ(ovcrash::sysctl_string_copy("kern.nothing"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    int32_t native = 7;
    EXPECT_FALSE(ovcrash::sysctl_int_read("sysctl.proc_native", &native));  // the played platform has none
}

TEST(ReporterError, CarriesOperatingSystemFailuresAsUnderlyingErrors) {
    ovcrash::reporter_error_populate(nullptr, OVCrashReporterErrorUnknown, "ignored", nullptr);
    pf::Error posix;
    ovcrash::reporter_error_populate_posix(&posix, ENOENT, "Failed to open");
    EXPECT_EQ(posix.domain, OVCrashReporterErrorDomain);
    EXPECT_EQ(posix.code, OVCrashReporterErrorOperatingSystem);
    EXPECT_EQ(posix.localizedDescription(), "Failed to open");
    EXPECT_EQ(posix.userInfo["NSUnderlyingError"]["domain"].stringValue(), pf::kPOSIXErrorDomain);
    EXPECT_EQ(posix.userInfo["NSUnderlyingError"]["code"].intValue(), ENOENT);
    pf::Error mach;
    ovcrash::reporter_error_populate_mach(&mach, ps::KERN_INVALID_ARGUMENT, "Failed to read");
    EXPECT_EQ(mach.userInfo["NSUnderlyingError"]["domain"].stringValue(), "NSMachErrorDomain");
    EXPECT_EQ(mach.userInfo["NSUnderlyingError"]["code"].intValue(), ps::KERN_INVALID_ARGUMENT);
    pf::Error busy;
    ovcrash::reporter_error_populate(&busy, OVCrashReporterErrorResourceBusy, "Busy", nullptr);
    EXPECT_EQ(busy.code, 3);
    EXPECT_TRUE(busy.userInfo["NSUnderlyingError"].isNull());
}

}  // namespace
