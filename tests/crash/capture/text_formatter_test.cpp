// The reporter's own text form of a decoded report.
#include <gtest/gtest.h>

#include "crash/capture/report/PKROVCrashReportTextFormatter.h"
#include "tests/crash/capture/ReportBuilder.h"

using namespace reporttest;

namespace {

std::string textOf(const Spec& spec) {
    auto report = PKROVCrashReport::initWithData(reportFile(spec), nullptr);
    EXPECT_TRUE(report);
    return report ? PKROVCrashReportTextFormatter::stringValueForCrashReport(*report, PKROVCrashReportTextFormatiOS)
                  : "";
}

TEST(TextFormatter, Lays64BitReportsOutInThePlatformsCrashLogForm) {
    EXPECT_EQ(textOf(Spec()), R"(Incident Identifier: 10111213-1415-1617-1819-1A1B1C1D1E1F
CrashReporter Key:   TODO
Hardware Model:      iPhone8,1
Process:         Quenmira [1234]
Path:            /app/Quenmira.app/Quenmira
Identifier:      com.example.battery
Version:         1.4 (42)
Code Type:       X86-64
Parent Process:  launchd [1]

Date/Time:       2023-11-14 22:13:20 +0000
OS Version:      iPhone OS 9.3.1 (13E238)
Report Version:  104

Exception Type:  SIGSEGV
Exception Codes: SEGV_MAPERR at 0x10
Crashed Thread:  0

Application Specific Information:
*** Terminating app due to uncaught exception 'NSInvalidArgumentException', reason: 'index 3 beyond bounds'

Last Exception Backtrace:
0   Quenmira                            0x0000000100001250 0x100000000 + 4688

Thread 0 Crashed:
0   Quenmira                            0x0000000100001234 main + 52
1   libc.so.6                           0x00007fff00002010 0x7fff00000000 + 8208

Thread 1:
0   libc.so.6                           0x00007fff00003000 0x7fff00000000 + 12288

Thread 0 crashed with X86-64 Thread State:
   rax: 0x0000000000001000    rbx: 0x0000000000001001    rip: 0x0000000000001002    rsp: 0x0000000000001003 
   rbp: 0x0000000000001004 

Binary Images:
       0x100000000 -        0x10000ffff +Quenmira x86_64  <000102030405060708090a0b0c0d0e0f> /app/Quenmira.app/Quenmira
    0x7fff00000000 -     0x7fff00007fff  libc.so.6 armv8  <???> /usr/lib/libc.so.6
)");
}

TEST(TextFormatter, ThirtyTwoBitArmUsesNarrowColumnsAndCallsR12Ip) {
    Spec spec;
    spec.appCPUType = 12;
    spec.appCPUSubtype = 9;
    spec.registers = {"r0", "r12", "sp", "lr"};
    spec.exception = false;
    std::string text = textOf(spec);
    EXPECT_NE(text.find("Code Type:       ARM\n"), std::string::npos);
    // Eight digits at least; these test addresses need nine.
    EXPECT_NE(text.find("1   libc.so.6                           0x7fff00002010 0x7fff00000000 + 8208\n"),
              std::string::npos);
    EXPECT_NE(text.find("    r0: 0x00001000     ip: 0x00001001     sp: 0x00001002     lr: 0x00001003 \n\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n0x100000000 - 0x10000ffff +Quenmira armv7  <"), std::string::npos);
    EXPECT_EQ(text.find("Application Specific Information"), std::string::npos);
}

TEST(TextFormatter, ImagesSharingABasePrintTwiceAndEncodingIsLossy) {
    Spec spec;
    spec.exceptionReason = "caf\xC3\xA9";
    spec.extra = [](async_file* f) {
        return message(f, rf::crash_report::binary_images, [](async_file* g) {
            return u64(g, rf::binary_image::size, 0) + u64(g, rf::binary_image::base_address, kAppBase) +
                   str(g, rf::binary_image::name, "/usr/lib/twin.so");
        });
    };
    auto report = PKROVCrashReport::initWithData(reportFile(spec), nullptr);
    ASSERT_TRUE(report);
    PKROVCrashReportTextFormatter ascii(PKROVCrashReportTextFormatiOS, PKROVStringEncodingASCII);
    auto bytes = ascii.formatReport(*report, nullptr);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("       0x100000000 -        0x10000ffff +Quenmira x86_64  <"), std::string::npos);
    EXPECT_NE(text.find("       0x100000000 -        0x100000000  twin.so ?\?\?  <?\?\?> /usr/lib/twin.so\n"),
              std::string::npos);
    EXPECT_NE(text.find("reason: 'caf?'"), std::string::npos);
}

}  // namespace
