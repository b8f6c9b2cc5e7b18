#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "crash/capture/PKROVCrashReporter.h"
#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/capture/report/PKROVCrashReportTextFormatter.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "crash/manager/PKRCrashUncaughtCXXExceptionHandlerManager.h"
#include "crash/manager/PKRPelkorBaseManager.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "tests/crash/manager/ChildCase.h"
#include "tests/platform/foundation/TestUtil.h"
#include "tests/support/ChildTest.h"
#include "tests/support/ShellTools.h"

using foundation_test::TempDir;
using platform::foundation::FileManager;
using platform::foundation::format;

// Faults for real, also in the sanitized build (whose checks would end the process first).
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void qm_test_crash_null() {
    *static_cast<volatile int*>(nullptr) = 1;
    __builtin_unreachable();
}
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void qm_test_crash_fpe() {
    volatile int dividend = 7, zero = 0;
    volatile int result = dividend / zero;
    (void)result;
}
extern "C" __attribute__((noinline)) void qm_test_crash_ill() { __builtin_trap(); }
extern "C" __attribute__((noinline)) void qm_test_crash_abort() { abort(); }
extern "C" __attribute__((noinline)) void qm_test_raise_platform_exception() {
    platform::foundation::Exception::raise("NSRangeException", "index 7 beyond bounds");
}
extern "C" __attribute__((noinline)) void qm_test_throw_for_crash_log() {
    throw std::runtime_error("battery exploded");
}

namespace {

using childcase::lines;

// A report file made from protobuf text by protoc and the file header.
std::shared_ptr<PKROVCrashReport> reportFromText(const std::string& textProto) {
    std::string proto = QM_CRASH_REPORT_PROTO;
    qmtest::RunOptions options;
    options.input = textProto;
    const qmtest::Ran run = qmtest::run(
        {"protoc", "--encode=ovcrash.CrashReport", "-I" + FileManager::deletingLastPathComponent(proto), proto},
        options);
    EXPECT_EQ(0, run.exitCode) << run.err;
    const std::string& body = run.out;
    std::string file = std::string("ovcrash\x01", 8) + body;
    platform::foundation::Error error;
    auto report = PKROVCrashReport::initWithData(std::vector<uint8_t>(file.begin(), file.end()), &error);
    EXPECT_TRUE(report) << error.localizedDescription();
    return report;
}

constexpr const char* kARM64 = "code_type { encoding: TYPE_ENCODING_MACH type: 16777228 subtype: 0 }";
const std::string kApp = "/var/containers/Bundle/Application/7A/Quenmira.app";

}  // namespace

// An ARM-64 report with every kind of image: the executable, a framework and
// a runtime library inside the bundle, a system image of size 0 and one
// sharing its base address, and an image with a long name and no UUID.
TEST(CrashLogText, EverySectionInOrder) {
    auto report = reportFromText(R"(
system_info { operating_system: IPHONE_OS os_version: "9.3" architecture: ARCHITECTURE_UNKNOWN
              timestamp: 1796618635 os_build: "13E233" }
application_info { identifier: "net.example.quenmira" version: "345" marketing_version: "1.2" }
machine_info { model: "iPhone7,1" processor { encoding: TYPE_ENCODING_MACH type: 16777228 subtype: 0 }
               processor_count: 2 logical_processor_count: 2 }
process_info { process_name: "Quenmira" process_id: 4242 process_path: ")" +
                                          kApp + R"(/Quenmira"
               parent_process_name: "launchd" parent_process_id: 1 native: true start_time: 1796618600 }
signal { name: "SIGSEGV" code: "SEGV_MAPERR" address: 16 }
report_info { user_requested: false uuid: "\000\001\002\003\004\005\006\007\010\011\012\013\014\015\016\017" }
threads { thread_number: 0 crashed: false frames { pc: 0x190000120 } }
threads { thread_number: 1 crashed: true
  frames { pc: 0x190000100 symbol { name: "_objc_msgSend" start_address: 0x1900000f0 } }
  frames { pc: 0x100200010 symbol { name: "_swift_retain" start_address: 0x100200000 } }
  frames { pc: 0x100300020 symbol { name: "_KitDraw" start_address: 0x100300000 } }
  frames { pc: 0x100001234 symbol { name: "_main" start_address: 0x100001200 } }
  frames { pc: 0x7000 }
  registers { name: "x0" value: 0 } registers { name: "x1" value: 0x100001234 }
  registers { name: "x2" value: 2 } registers { name: "x3" value: 3 } registers { name: "pc" value: 0x190000100 } }
binary_images { base_address: 0x190000000 size: 0x2000 name: "/usr/lib/a_very_long_library_name_that_goes_on_and_on.dylib" }
binary_images { base_address: 0x100000000 size: 0x10000 name: ")" +
                                          kApp + R"(/Quenmira"
                uuid: "\252\252\252\252\252\252\252\252\252\252\252\252\252\252\252\252" )" +
                                          kARM64 + R"( }
binary_images { base_address: 0x100200000 size: 0x8000 name: ")" +
                                          kApp + R"(/Frameworks/libswiftCore.dylib"
                uuid: "\273\273\273\273\273\273\273\273\273\273\273\273\273\273\273\273" )" +
                                          kARM64 + R"( }
binary_images { base_address: 0x100300000 size: 0x4000 name: ")" +
                                          kApp + R"(/Frameworks/Kit.framework/Kit"
                uuid: "\314\314\314\314\314\314\314\314\314\314\314\314\314\314\314\314" )" +
                                          kARM64 + R"( }
binary_images { base_address: 0x180000000 size: 0 name: "/usr/lib/system/libsystem_kernel.dylib" )" +
                                          kARM64 + R"( }
binary_images { base_address: 0x180000000 size: 0x1000 name: "/usr/lib/system/duplicate.dylib" )" +
                                          kARM64 + R"( }
)");
    ASSERT_TRUE(report);
    std::vector<std::string> expected{
        "Incident Identifier: 00010203-0405-0607-0809-0A0B0C0D0E0F",
        "CrashReporter Key:   C0FFEE",
        "Hardware Model:      iPhone7,1",
        "Process:         Quenmira [4242]",
        "Path:            " + kApp + "/Quenmira",
        "Identifier:      net.example.quenmira",
        "Version:         1.2 (345)",
        "Code Type:       ARM-64",
        "Parent Process:  launchd [1]",
        "",
        "Date/Time:       2026-12-07T04:43:55Z",
        "Launch Time:     2026-12-07T04:43:20Z",
        "OS Version:      iPhone OS 9.3 (13E233)",
        "Report Version:  104",
        "",
        "Exception Type:  SIGSEGV",
        "Exception Codes: SEGV_MAPERR at 0x10",
        "Crashed Thread:  1",
        "",
        "Thread 0:",
        "0   a_very_long_library_name_that_go...  0x0000000190000120 0x190000000 + 288",
        "",
        "Thread 1 Crashed:",
        "0   a_very_long_library_name_that_go...  0x0000000190000100 objc_msgSend + 16",
        "1   libswiftCore.dylib                   0x0000000100200010 swift_retain + 16",
        "2   Kit                                  0x0000000100300020 0x100300000 + 32",
        "3   Quenmira                             0x0000000100001234 0x100000000 + 4660",
        "4   ???                                  0x0000000000007000 0x0 + 0",
        "",
        "Thread 1 crashed with ARM-64 Thread State:",
        "    x0: 0x0000000000000000     x1: 0x0000000100001234     x2: 0x0000000000000002     x3: 0x0000000000000003 ",
        "    pc: 0x0000000190000100 ",
        "",
        "Binary Images:",
        "       0x100000000 -        0x10000ffff +Quenmira arm64  <aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa> " + kApp +
            "/Quenmira",
        "       0x100200000 -        0x100207fff  libswiftCore.dylib arm64  <bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb> " +
            kApp + "/Frameworks/libswiftCore.dylib",
        "       0x100300000 -        0x100303fff +Kit arm64  <cccccccccccccccccccccccccccccccc> " + kApp +
            "/Frameworks/Kit.framework/Kit",
        "       0x180000000 -        0x180000000  libsystem_kernel.dylib arm64  <??\?> "
        "/usr/lib/system/libsystem_kernel.dylib",
        "       0x190000000 -        0x190001fff  a_very_long_library_name_that_goes_on_and_on.dylib ???  <??\?> "
        "/usr/lib/a_very_long_library_name_that_goes_on_and_on.dylib",
    };
    EXPECT_EQ(expected, lines(PKRCrashReportTextFormatter::stringValueForCrashReport(*report, std::string("C0FFEE"))));

    platform::foundation::Value uuids = PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(*report);
    EXPECT_EQ(R"([{"arch":"arm64","type":"app","uuid":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},)"
              R"({"arch":"arm64","type":"framework","uuid":"cccccccccccccccccccccccccccccccc"}])",
              uuids.toJSON());
}

// Unknown values show as "???", never as a null marker; without a crashed
// thread there is neither its line nor a register block.
TEST(CrashLogText, UnknownValuesAndAnExceptionWithoutCrashedThread) {
    auto report = reportFromText(R"(
system_info { operating_system: MAC_OS_X os_version: "10.11" architecture: X86_32 timestamp: 0 }
application_info { identifier: "net.example.quenmira" version: "345" }
signal { name: "SIGABRT" code: "#0" address: 0 }
exception { name: "NSRangeException" reason: "index 7 beyond bounds"
            frames { pc: 0x1010 symbol { name: "_raise" start_address: 0x1000 } } }
threads { thread_number: 0 crashed: false registers { name: "eax" value: 1 } }
binary_images { base_address: 0x1000 size: 0x1000 name: "/usr/lib/libobjc.dylib"
                code_type { encoding: TYPE_ENCODING_MACH type: 7 subtype: 3 } }
)");
    ASSERT_TRUE(report);
    std::vector<std::string> expected{
        "Incident Identifier: ???",
        "CrashReporter Key:   ???",
        "Hardware Model:      ???",
        "Process:         ??? [???]",
        "Path:            ???",
        "Identifier:      net.example.quenmira",
        "Version:         345",
        "Code Type:       X86",
        "Parent Process:  ??? [???]",
        "",
        "Date/Time:       ???",
        "OS Version:      Mac OS X 10.11 (??\?)",
        "Report Version:  104",
        "",
        "Exception Type:  SIGABRT",
        "Exception Codes: #0 at 0x0",
        "",
        "Application Specific Information:",
        "*** Terminating app due to uncaught exception 'NSRangeException', reason: 'index 7 beyond bounds'",
        "",
        "Last Exception Backtrace:",
        "0   libobjc.dylib                        0x00001010 raise + 16",
        "",
        "Thread 0:",
        "",
        "Binary Images:",
        "    0x1000 -     0x1fff  libobjc.dylib i386  <??\?> /usr/lib/libobjc.dylib",
    };
    EXPECT_EQ(expected, lines(PKRCrashReportTextFormatter::stringValueForCrashReport(*report, std::string(""))));
}

TEST(CrashLogText, ImageTypesAndPaths) {
    using F = PKRCrashReportTextFormatter;
    const std::string exe = "/x/Quenmira.app/Quenmira";
    EXPECT_EQ(PKRBinaryImageTypeAppBinary, F::pkr_imageTypeForImagePath("/x/Quenmira.app/./Quenmira", exe));
    EXPECT_EQ(PKRBinaryImageTypeAppFramework, F::pkr_imageTypeForImagePath("/x/Quenmira.app/Frameworks/A", exe));
    EXPECT_EQ(PKRBinaryImageTypeOther,
              F::pkr_imageTypeForImagePath("/x/Quenmira.app/Frameworks/libswiftFoundation.dylib", exe));
    EXPECT_EQ(PKRBinaryImageTypeOther, F::pkr_imageTypeForImagePath("/usr/lib/libc.so.6", exe));
    EXPECT_EQ(PKRBinaryImageTypeOther, F::pkr_imageTypeForImagePath(std::nullopt, exe));
    EXPECT_EQ("/Users/USER/Library/x", F::anonymizedProcessPathFromProcessPath("/Users/anna/Library/x"));
    EXPECT_EQ("", F::anonymizedProcessPathFromProcessPath("/home/anna/x"));
}

// Real crashes of a copy of this program laid out as Quenmira.app/Quenmira,
// its reports read back the way the crash manager does on the next launch.
namespace {

constexpr const char* kIdentifier = "net.example.quenmira";

void wrapForReporter(const PKRCrashUncaughtCXXExceptionInfo* info) {
    if (auto handler = platform::foundation::getUncaughtExceptionHandler())
        handler(PKRCrashCXXExceptionWrapperException(info));
    abort();
}

std::string appCopy() {
    static const std::string path = [] {
        static TempDir dir;  // lives to the end of the test program
        std::string app = dir.file("Quenmira.app");
        std::filesystem::create_directories(app);
        std::filesystem::copy_file("/proc/self/exe", app + "/Quenmira");
        std::filesystem::permissions(app + "/Quenmira", std::filesystem::perms::owner_all);
        return app + "/Quenmira";
    }();
    return path;
}

struct Crash {
    childcase::Result child;
    std::string text;
    std::shared_ptr<PKROVCrashReport> report;
};

Crash crash(const TempDir& home, const std::string& kind) {
    Crash result;
    result.child = childcase::run(appCopy(), "CrashLogChild.Run", kind, {{"QM_CRASH_HOME", home.path}});
    platform::foundation::Sandbox::setHome(home.path);
    PKROVCrashReporter reporter(kIdentifier, "345", std::string("1.2"), std::make_shared<PKROVCrashReporterConfig>());
    platform::foundation::Error error;
    auto data = reporter.loadPendingCrashReportData(&error);
    EXPECT_TRUE(data) << error.localizedDescription();
    if (!data) return result;
    result.report = PKROVCrashReport::initWithData(*data, &error);
    EXPECT_TRUE(result.report) << error.localizedDescription();
    if (result.report) result.text = PKRCrashReportTextFormatter::stringValueForCrashReport(*result.report, "KEY");
    return result;
}

// The lines of a section that starts with `title`, up to the blank line.
std::vector<std::string> section(const std::vector<std::string>& all, const std::string& title) {
    auto it = std::find(all.begin(), all.end(), title);
    std::vector<std::string> out;
    if (it == all.end()) return out;
    for (++it; it != all.end() && !it->empty(); ++it) out.push_back(*it);
    return out;
}

// The first line that begins with `prefix`.
std::string lineStarting(const std::vector<std::string>& all, const std::string& prefix) {
    for (const auto& line : all)
        if (line.rfind(prefix, 0) == 0) return line;
    return "(no line " + prefix + ")";
}

bool anyMatches(const std::vector<std::string>& lines, const std::string& pattern) {
    std::regex re(pattern);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, re); });
}

struct CrashKind {
    const char* kind;
    int signal;
    const char* exceptionType;
    const char* code;
    const char* crashingFunction;  // where the crashed thread's first frame lies, or null
    const char* uncaught;          // the terminating line's name and reason, or null
};

class CrashLogOfRealCrash : public ::testing::TestWithParam<CrashKind> {};

}  // namespace

TEST_P(CrashLogOfRealCrash, ReadsAsTheServiceExpects) {
    const CrashKind& kind = GetParam();
    TempDir home;
    Crash c = crash(home, kind.kind);
    EXPECT_EQ(kind.signal, c.child.signal);
    ASSERT_TRUE(c.report);
    std::vector<std::string> all = lines(c.text);
    ASSERT_GT(all.size(), 20u) << c.text;
    SCOPED_TRACE(c.text);

    EXPECT_EQ("CrashReporter Key:   KEY", all[1]);
    EXPECT_EQ(format("Process:         Quenmira [%d]", c.child.pid), all[3]);
    EXPECT_EQ("Path:            " + appCopy(), all[4]);
    EXPECT_EQ("Identifier:      net.example.quenmira", all[5]);
    EXPECT_EQ("Version:         1.2 (345)", all[6]);
    EXPECT_EQ("Code Type:       X86-64", all[7]);
    EXPECT_TRUE(std::regex_match(all[8], std::regex(format("Parent Process:  .* \\[%d\\]", getpid())))) << all[8];
    EXPECT_TRUE(std::regex_match(all[10], std::regex("Date/Time:       \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    EXPECT_EQ("Report Version:  104", lineStarting(all, "Report Version:"));
    EXPECT_EQ(std::string("Exception Type:  ") + kind.exceptionType, lineStarting(all, "Exception Type:"));
    EXPECT_TRUE(std::regex_match(lineStarting(all, "Exception Codes:"),
                                 std::regex(std::string("Exception Codes: ") + kind.code + " at 0x[0-9a-f]+")));
    std::string number = lineStarting(all, "Crashed Thread:  ").substr(17);

    if (kind.uncaught) {
        EXPECT_EQ(
            std::vector<std::string>{std::string("*** Terminating app due to uncaught exception ") + kind.uncaught},
            section(all, "Application Specific Information:"));
        // Where it was raised: in the application, left for the service to symbolicate.
        EXPECT_TRUE(anyMatches(section(all, "Last Exception Backtrace:"),
                               "\\d+ +Quenmira +0x[0-9a-f]{16} 0x[0-9a-f]+ \\+ \\d+"));
    }

    // The crashed thread: application frames as image base and offset,
    // library frames by symbol name.
    std::vector<std::string> frames = section(all, "Thread " + number + " Crashed:");
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(anyMatches(frames, "\\d+ +Quenmira {29}0x[0-9a-f]{16} 0x[0-9a-f]+ \\+ \\d+"));
    EXPECT_TRUE(anyMatches(frames, "\\d+ +libc\\.so\\.6 {28}0x[0-9a-f]{16} [A-Za-z_][A-Za-z0-9_]* \\+ \\d+"));
    if (kind.crashingFunction) {
        // The first frame's offset, in this program's own copy of the image, names the function.
        std::smatch m;
        ASSERT_TRUE(std::regex_match(frames[0], m, std::regex("0   Quenmira +0x[0-9a-f]{16} 0x[0-9a-f]+ \\+ (\\d+)")));
        Dl_info self{}, at{};
        ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&qm_test_crash_null), &self));
        ASSERT_TRUE(dladdr(static_cast<char*>(self.dli_fbase) + std::stoull(m[1]), &at));
        EXPECT_STREQ(kind.crashingFunction, at.dli_sname);
    }
    if (std::string(kind.kind) == "abort") {
        EXPECT_TRUE(anyMatches(frames, ".* abort \\+ \\d+"));
    }

    // Its registers, four to a line, the instruction pointer among them.
    std::vector<std::string> state = section(all, "Thread " + number + " crashed with X86-64 Thread State:");
    ASSERT_FALSE(state.empty());
    for (size_t i = 0; i + 1 < state.size(); ++i)
        EXPECT_TRUE(std::regex_match(state[i], std::regex("( *[a-z0-9]+: 0x[0-9a-f]{16} ){4}"))) << state[i];
    EXPECT_TRUE(anyMatches(state, ".* rip: 0x[0-9a-f]{16} .*"));

    // The images: "+" on the executable only.
    std::vector<std::string> images = section(all, "Binary Images:");
    std::string uuid = PKRPelkorBaseManager().executableUUID();
    EXPECT_TRUE(anyMatches(images, " +0x[0-9a-f]+ - +0x[0-9a-f]+ \\+Quenmira x86_64  <" + uuid + "> " + appCopy()));
    EXPECT_TRUE(
        anyMatches(images, " +0x[0-9a-f]+ - +0x[0-9a-f]+  libc\\.so\\.6 x86_64  <[0-9a-f]{32}> /.*libc\\.so\\.6"));
    EXPECT_EQ(1, std::count_if(images.begin(), images.end(), [](const std::string& l) {
                  return l.find(" +") != std::string::npos && l.find(" +") < 40;
              }));
    EXPECT_EQ(R"([{"arch":"x86_64","type":"app","uuid":")" + uuid + R"("}])",
              PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(*c.report).toJSON());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CrashLogOfRealCrash,
    ::testing::Values(CrashKind{"segv", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "qm_test_crash_null", nullptr},
                      CrashKind{"thread", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "qm_test_crash_null", nullptr},
                      CrashKind{"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", "qm_test_crash_fpe", nullptr},
                      CrashKind{"ill", SIGILL, "SIGILL", "ILL_ILLOPN", "qm_test_crash_ill", nullptr},
                      CrashKind{"abort", SIGABRT, "SIGABRT", "#0", nullptr, nullptr},
                      CrashKind{"exception", SIGABRT, "SIGABRT", "#0", nullptr,
                                "'NSRangeException', reason: 'index 7 beyond bounds'"},
                      CrashKind{"cxx", SIGABRT, "SIGABRT", "#0", nullptr,
                                "'std::runtime_error', reason: 'battery exploded'"}),
    [](const auto& info) { return std::string(info.param.kind); });

// The child side of the crashes above; does nothing in a normal run.
QM_CHILD_TEST(CrashLogChild, Run) {
    const char* kind = childcase::current();
    if (!kind) return;
    platform::foundation::Sandbox::setHome(getenv("QM_CRASH_HOME"));
    static auto reporter = std::make_shared<PKROVCrashReporter>(kIdentifier, "345", std::string("1.2"),
                                                                std::make_shared<PKROVCrashReporterConfig>(0, 1));
    if (!reporter->enableCrashReporter()) _exit(3);
    std::string k = kind;
    if (k == "segv") qm_test_crash_null();
    if (k == "fpe") qm_test_crash_fpe();
    if (k == "ill") qm_test_crash_ill();
    if (k == "thread") {
        platform::foundation::Thread thread("crasher");
        thread.perform([] { qm_test_crash_null(); });
        pause();
    }
    if (k == "abort") qm_test_crash_abort();
    if (k == "exception") qm_test_raise_platform_exception();
    if (k == "cxx") {
        PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(wrapForReporter);
        qm_test_throw_for_crash_log();
    }
    _exit(4);
}

// Both report texts name processors from one table; they part only on 64-bit
// ARM's subtype 13.
TEST(CrashLogText, ArchitectureNamesMatchTheReportersOwnTextSaveForARMv8) {
    for (uint64_t type : {7ull, 12ull, 18ull, 0x1000007ull, 0x100000Cull, 0x2000000ull})
        for (uint64_t subtype = 0; subtype < 16; ++subtype) {
            if (type == 0x100000C && subtype == 13) continue;
            EXPECT_EQ(PKRCrashReportTextFormatter::pkr_archNameFromCPUType(type, subtype),
                      PKROVCrashReportArchitectureName(type, subtype, "armv8"))
                << type << "/" << subtype;
        }
    EXPECT_EQ(PKRCrashReportTextFormatter::pkr_archNameFromCPUType(0x100000C, 13), "arm64");
    EXPECT_EQ(PKROVCrashReportArchitectureName(0x100000C, 13, "armv8"), "armv8");
}
