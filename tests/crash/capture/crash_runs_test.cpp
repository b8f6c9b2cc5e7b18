// Real crashes, a hundred of each kind: the driver forks children that crash
// with the reporter enabled; every report must decode (with our decoder, and
// a sample with protoc too), name the crashed thread with frames starting at
// the faulting function, list every thread, and carry the signal and code in
// the platform's numbering; no child may outlive its crash by a second.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crash/capture/report/PKROVCrashReport.h"
#include "tests/support/ShellTools.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 100;

struct Kind {
    const char* name;
    int linuxSignal;         // what ends the child
    const char* signalName;  // in the report
    const char* codeName;
    enum { InFunction, InLibrary, Anywhere } firstFrame;
    const char* exceptionName;
};

std::ostream& operator<<(std::ostream& os, const Kind& k) { return os << k.name; }

const Kind kKinds[] = {
    {"segv-null", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"segv-wild", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", Kind::InFunction, nullptr},
    {"ill", SIGILL, "SIGILL", "ILL_ILLOPN", Kind::InFunction, nullptr},
    {"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", Kind::InFunction, nullptr},
    {"abort", SIGABRT, "SIGABRT", "#0", Kind::InLibrary, nullptr},
    {"trap", SIGTRAP, "SIGTRAP", "TRAP_BRKPT", Kind::InFunction, nullptr},
    {"exception", SIGABRT, "SIGABRT", "#0", Kind::InLibrary, "DriverException"},
    {"overflow-main", SIGSEGV, "SIGSEGV", nullptr, Kind::InFunction, nullptr},
    {"overflow-thread", SIGSEGV, "SIGSEGV", nullptr, Kind::InFunction, nullptr},
    {"crash2", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"crash16", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"malloc-lock", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"kill", SIGSEGV, "SIGSEGV", "SEGV_NOOP", Kind::Anywhere, nullptr},
    {"no-frame-pointer", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
    {"unloaded-library", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr},
};

struct Facts {
    long pid = 0, threads = 0;
    unsigned long long function = 0;
    int status = 0, hung = 0;
    long images = 0;
};

Facts readFacts(const fs::path& path) {
    Facts f;
    std::ifstream in(path);
    in >> f.pid >> f.threads >> f.function >> f.status >> f.hung >> f.images;
    return f;
}

// Each test's own folder for the reports its runs leave.
class CrashRunsFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "-" + test->name();
        for (char& c : name)
            if (c == '/') c = '-';
        dir_ = fs::temp_directory_path() / ("crash-runs-" + std::to_string(getpid()) + "-" + name);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

class CrashRuns : public CrashRunsFolder, public ::testing::WithParamInterface<Kind> {};

// protoc reads the body (after the 8-byte header) with the report schema.
bool protocDecodes(const fs::path& report) {
    const std::string bytes = qmtest::readAll(report.string());
    if (bytes.size() < 8) return false;
    qmtest::RunOptions options;
    options.input = bytes.substr(8);
    return qmtest::run({QM_PROTOC, "--proto_path=" QM_SOURCE_DIR, "--decode=ovcrash.CrashReport",
                        QM_CRASH_REPORT_PROTO},
                       options)
        .ok();
}

// Runs the driver (host, or 64-bit ARM under the emulator) for one kind and
// checks every report it left.
void checkRuns(std::vector<std::string> driver, const fs::path& dir, const Kind& kind, int runs, bool arm) {
    driver.insert(driver.end(), {dir.string(), std::to_string(runs), kind.name});
    const qmtest::Ran ran = qmtest::run(driver);
    EXPECT_EQ(ran.exitCode, 0) << ran.out;
    ASSERT_TRUE(protocDecodes(dir / (std::string(kind.name) + "-0.ovcrash")));

    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE(std::string(kind.name) + " run " + std::to_string(run));
        std::string base = std::string(kind.name) + "-" + std::to_string(run);
        Facts facts = readFacts(dir / (base + ".facts"));
        ASSERT_EQ(facts.hung, 0) << "the child outlived its crash";
        ASSERT_TRUE(WIFSIGNALED(facts.status) && WTERMSIG(facts.status) == kind.linuxSignal) << facts.status;

        platform::foundation::Error error;
        auto report = PKROVCrashReport::initWithData(qmtest::readBytes(dir / (base + ".ovcrash")), &error);
        ASSERT_TRUE(report) << error.localizedDescription();
        EXPECT_EQ(report->signalInfo()->name(), kind.signalName);
        if (kind.codeName) {
            EXPECT_EQ(report->signalInfo()->code(), kind.codeName);
        }
        EXPECT_EQ(long(report->threads().size()), facts.threads);
        int crashed = 0;
        for (const auto& thread : report->threads()) {
            if (!thread->crashed()) continue;
            ++crashed;
            const auto& frames = thread->stackFrames();
            ASSERT_FALSE(frames.empty());
            ASSERT_FALSE(thread->registers().empty());
            EXPECT_EQ(thread->registers()[0]->registerName(), arm ? "pc" : "rip");
            uint64_t pc = frames[0]->instructionPointer();
            if (kind.firstFrame == Kind::InFunction) {
                EXPECT_GE(pc, facts.function);
                EXPECT_LT(pc, facts.function + 256);
                // The walk goes on into the caller.
                ASSERT_GE(frames.size(), 2u);
                uint64_t caller = frames[1]->instructionPointer();
                EXPECT_TRUE(caller < facts.function || caller >= facts.function + 256 ||
                            std::string(kind.name).rfind("overflow", 0) == 0);
            }
            if (kind.firstFrame == Kind::InLibrary && !arm) {
                auto image = report->imageForAddress(pc);
                ASSERT_TRUE(image);
                EXPECT_NE(image->imageName().find("libc"), std::string::npos) << image->imageName();
            }
        }
        EXPECT_EQ(crashed, 1);
        EXPECT_EQ(report->hasExceptionInfo(), kind.exceptionName != nullptr);
        if (kind.exceptionName) {
            EXPECT_EQ(report->exceptionInfo()->exceptionName(), kind.exceptionName);
        }
        if (::testing::Test::HasFailure()) break;
    }
}

// The fields of one protocol buffer message as they come in the bytes: the
// number, a varint's value, a length-delimited field's body.
struct WireField {
    uint32_t number;
    uint64_t value;
    std::string_view body;
};

std::vector<WireField> wireFields(std::string_view bytes) {
    std::vector<WireField> fields;
    size_t at = 0;
    auto varint = [&](uint64_t* v) {
        *v = 0;
        for (int shift = 0; at < bytes.size() && shift < 64; shift += 7) {
            const auto byte = static_cast<uint8_t>(bytes[at++]);
            *v |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return true;
        }
        return false;
    };
    uint64_t key, value = 0;
    while (at < bytes.size() && varint(&key)) {
        std::string_view body;
        const uint32_t type = key & 7;
        if (type == 0 && !varint(&value)) break;
        if (type == 2) {
            if (!varint(&value) || value > bytes.size() - at) break;
            body = bytes.substr(at, value);
        }
        const size_t skip = type == 1 ? 8 : type == 5 ? 4 : type == 2 ? value : 0;
        if (type != 0 && type != 1 && type != 2 && type != 5) break;
        if (skip > bytes.size() - at) break;
        at += skip;
        fields.push_back({uint32_t(key >> 3), value, body});
    }
    EXPECT_EQ(at, bytes.size()) << "the fields do not run to the end";
    return fields;
}

// Field numbers in order, each run of a repeated field as one.
std::vector<uint32_t> fieldOrder(const std::vector<WireField>& fields) {
    std::vector<uint32_t> order;
    for (const WireField& f : fields)
        if (order.empty() || order.back() != f.number) order.push_back(f.number);
    return order;
}

// What no decoder checks, read from the raw report: the sections in the
// writer's order, each thread's number, crashed flag, then the crashed
// thread's registers (only there, ahead of its first frame), then its frames,
// at most 512. Answers the most frames a thread has.
size_t checkWireOrder(const fs::path& path, bool withException) {
    const std::vector<uint8_t> file = qmtest::readBytes(path);
    const std::string_view bytes(reinterpret_cast<const char*>(file.data()), file.size());
    std::vector<WireField> top = wireFields(bytes.substr(8));
    std::vector<uint32_t> expected = {9, 1, 8, 2, 7, 3, 4};
    if (withException) expected.push_back(5);
    expected.push_back(6);
    EXPECT_EQ(fieldOrder(top), expected);
    size_t most = 0;
    int crashed = 0;
    for (const WireField& thread : top) {
        if (thread.number != 3) continue;
        std::vector<WireField> fields = wireFields(thread.body);
        const bool isCrashed = fields.size() >= 2 && fields[1].number == 3 && fields[1].value == 1;
        crashed += isCrashed;
        std::vector<uint32_t> order = fieldOrder(fields);
        if (isCrashed) {
            EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 4, 2}));
        } else if (order.size() > 2) {
            EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 2}));
        } else {
            EXPECT_EQ(order, (std::vector<uint32_t>{1, 3}));
        }
        size_t frames = 0;
        for (const WireField& f : fields) frames += f.number == 2;
        EXPECT_LE(frames, 512u);
        most = std::max(most, frames);
    }
    EXPECT_EQ(crashed, 1);
    return most;
}

const Kind& kindNamed(const std::string& name) {
    for (const Kind& kind : kKinds)
        if (name == kind.name) return kind;
    throw std::invalid_argument(name);
}

}  // namespace

// A thread deeper than 512 frames in a process of several threads, and an
// uncaught exception: the raw reports keep the writer's order and cap.
using CrashReportLayout = CrashRunsFolder;

TEST_F(CrashReportLayout, ReportsKeepTheWritersFieldOrderAndFrameCap) {
    checkRuns({QM_CRASH_DRIVER}, dir_, kindNamed("overflow-thread"), 1, false);
    EXPECT_EQ(checkWireOrder(dir_ / "overflow-thread-0.ovcrash", false), 512u);
    checkRuns({QM_CRASH_DRIVER}, dir_, kindNamed("exception"), 1, false);
    checkWireOrder(dir_ / "exception-0.ovcrash", true);
}

// A call through a pointer into a library closed behind the loader's back:
// the report lists the library where it was, and the walk goes on from its
// unmapped code through the unwind tables the loader kept of it.
using CrashInUnloadedLibrary = CrashRunsFolder;

TEST_F(CrashInUnloadedLibrary, ReportNamesTheLibraryAndWalksOnToMain) {
    checkRuns({QM_CRASH_DRIVER}, dir_, kindNamed("unloaded-library"), 1, false);
    platform::foundation::Error error;
    auto report = PKROVCrashReport::initWithData(qmtest::readBytes(dir_ / "unloaded-library-0.ovcrash"), &error);
    ASSERT_TRUE(report) << error.localizedDescription();
    const Facts facts = readFacts(dir_ / "unloaded-library-0.facts");
    auto image = report->imageForAddress(facts.function);
    ASSERT_TRUE(image);
    EXPECT_NE(image->imageName().find("replaceable_library_1"), std::string::npos) << image->imageName();
    for (const auto& thread : report->threads()) {
        if (!thread->crashed()) continue;
        const auto& frames = thread->stackFrames();
        ASSERT_GE(frames.size(), 3u);
        EXPECT_EQ(frames[0]->instructionPointer(), facts.function);
        // The caller lies in the driver, outside the unloaded library.
        auto caller = report->imageForAddress(frames[1]->instructionPointer());
        ASSERT_TRUE(caller);
        EXPECT_NE(caller->imageName().find("crash_driver"), std::string::npos) << caller->imageName();
    }
}

// Sixty threads 600 frames deep do not fit whole into a report: every image
// is still listed (without one the report would not decode), the crashed
// thread keeps its frames, and the other threads give up their outermost
// frames rather than their places; so too when frames carry symbols.
void checkDeepThreads(const std::vector<std::string>& driver, const fs::path& dir, bool arm) {
    const Kind kind{"deep60", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr};
    for (const bool symbols : {false, true}) {
        SCOPED_TRACE(symbols ? "--symbols" : "");
        std::vector<std::string> command = driver;
        if (symbols) command.push_back("--symbols");
        checkRuns(command, dir, kind, 1, arm);
        const fs::path path = dir / "deep60-0.ovcrash";
        const Facts facts = readFacts(dir / "deep60-0.facts");
        EXPECT_LE(fs::file_size(path), 262144u);
        platform::foundation::Error error;
        auto report = PKROVCrashReport::initWithData(qmtest::readBytes(path), &error);
        ASSERT_TRUE(report) << error.localizedDescription();
        EXPECT_GE(facts.images, 1);
        EXPECT_EQ(long(report->images().size()), facts.images);
        size_t deepest = 0, named = 0;
        int walked = 0;
        for (const auto& thread : report->threads()) {
            if (!thread->crashed() && !thread->stackFrames().empty()) ++walked;
            if (!thread->crashed()) deepest = std::max(deepest, thread->stackFrames().size());
            for (const auto& frame : thread->stackFrames()) named += frame->symbolInfo() != nullptr;
        }
        EXPECT_GE(walked, 60);
        // The emulated driver's small addresses leave room for sixty whole
        // threads when the frames carry no symbols.
        if (!arm || symbols) {
            EXPECT_LT(deepest, 512u);
        }
        EXPECT_EQ(named > 0, symbols);
    }
}

TEST_F(CrashReportLayout, DeepThreadsGiveUpFramesButEveryImageIsListed) {
    checkDeepThreads({QM_CRASH_DRIVER}, dir_, false);
}

TEST_P(CrashRuns, EveryRunLeavesAFullReport) { checkRuns({QM_CRASH_DRIVER}, dir_, GetParam(), kRuns, false); }

std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashRuns, ::testing::ValuesIn(kKinds), kindName);

#ifdef QM_CRASH_DRIVER_AARCH64
// Real 64-bit ARM crashes, emulated: the reports carry the 64-bit ARM thread
// state and frames found through the unwind tables and the frame-pointer
// chain. The driver's crash path alone runs there, so not the kinds that need
// the platform's objects ("exception", "overflow-thread"); not "fpe" (integer
// division by zero does not trap on 64-bit ARM); not "kill" (the emulator may
// take a signal sent to the process on a thread of its own, which the program
// never sees). The emulator delivers an undefined instruction as ILL_ILLOPN
// (the 64-bit ARM kernel says ILL_ILLOPC) and the report keeps what arrived,
// so "ill" expects what it does on x86-64.
const std::vector<std::string> kArmDriver = {QM_QEMU_AARCH64, QM_CRASH_DRIVER_AARCH64};
std::vector<Kind> armKinds() {
    const std::string names[] = {"segv-null", "segv-wild",       "bus", "ill", "trap", "overflow-main", "crash16",
                                 "abort",     "no-frame-pointer"};
    std::vector<Kind> kinds;
    for (const Kind& kind : kKinds)
        for (const std::string& name : names)
            if (name == kind.name) kinds.push_back(kind);
    return kinds;
}

class CrashRunsArm64 : public CrashRuns {};

TEST_P(CrashRunsArm64, RealArmCrashesLeaveArmReports) {
    checkRuns(kArmDriver, dir_, GetParam(), kRuns, true);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashRunsArm64, ::testing::ValuesIn(armKinds()), kindName);

// The function each pc lies in, by the driver's own symbols; a caller's
// return address is looked up one byte back, inside its call.
std::vector<std::string> functionsAt(const std::vector<uint64_t>& pcs) {
    std::vector<std::string> command = {"aarch64-linux-gnu-addr2line", "-f", "-C", "-e", QM_CRASH_DRIVER_AARCH64};
    for (size_t i = 0; i < pcs.size(); ++i)
        command.push_back("0x" + (std::stringstream() << std::hex << pcs[i] - (i > 0)).str());
    std::vector<std::string> names;
    std::istringstream out(qmtest::run(command).out);
    std::string text;
    for (bool name = true; std::getline(out, text); name = !name) {
        if (!name) continue;
        if (text.rfind("(anonymous namespace)::", 0) == 0) text = text.substr(23);
        names.push_back(text.substr(0, text.find_first_of("( \n")));
    }
    return names;
}

// A crash in code built without frame pointers: the crashed thread has every
// frame from the faulting leaf through its callers, main and the C library's
// start, which only the DWARF unwind tables can find.
using CrashRunsArm64Unwind = CrashRunsFolder;

TEST_F(CrashRunsArm64Unwind, CodeWithoutFramePointersUnwindsThroughTheUnwindTables) {
    const Kind kind{"no-frame-pointer", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Kind::InFunction, nullptr};
    checkRuns(kArmDriver, dir_, kind, 1, true);
    platform::foundation::Error error;
    auto report = PKROVCrashReport::initWithData(qmtest::readBytes(dir_ / "no-frame-pointer-0.ovcrash"), &error);
    ASSERT_TRUE(report) << error.localizedDescription();
    std::vector<uint64_t> pcs;
    for (const auto& thread : report->threads())
        if (thread->crashed())
            for (const auto& frame : thread->stackFrames()) pcs.push_back(frame->instructionPointer());
    std::vector<std::string> expected = {"crashWithoutFramePointer",
                                         "withoutFramePointer2",
                                         "withoutFramePointer1",
                                         "runKind",
                                         "main",
                                         "__libc_start_call_main",
                                         "__libc_start_main",
                                         "_start"};
    EXPECT_EQ(functionsAt(pcs), expected);
}

TEST_F(CrashRunsArm64Unwind, DeepThreadsGiveUpFramesButEveryImageIsListed) {
    checkDeepThreads(kArmDriver, dir_, true);
}

TEST_F(CrashRunsArm64Unwind, ReportsKeepTheWritersFieldOrderAndFrameCap) {
    const std::vector<std::string> driver = kArmDriver;
    checkRuns(driver, dir_, kindNamed("overflow-main"), 1, true);
    EXPECT_EQ(checkWireOrder(dir_ / "overflow-main-0.ovcrash", false), 512u);
    checkRuns(driver, dir_, kindNamed("crash16"), 1, true);
    checkWireOrder(dir_ / "crash16-0.ovcrash", false);
}
#endif
