// The images a report lists are the ones loaded when the process crashed,
// whatever opened them: real children crash inside libraries opened with a
// plain dlopen, which the loader stand-in never heard of, and the report
// names each library by its own path, build-id and symbols and walks on from
// it to its caller with its own unwind tables.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crash/capture/report/PKROVCrashReport.h"
#include "tests/support/ShellTools.h"

namespace fs = std::filesystem;

namespace {

struct Facts {
    long pid = 0, threads = 0;
    unsigned long long function = 0;
    int status = 0, hung = 0;
    long images = 0;
    unsigned long long caller = 0;
};

// The first 16 bytes of a file's build-id as readelf reads it, in hex.
std::string buildIdOf(const std::string& path) {
    std::string notes = qmtest::run({"readelf", "-n", path}).out;
    size_t at = notes.find("Build ID: ");
    return at == std::string::npos ? std::string() : notes.substr(at + 10, 32);
}

// What is wrong with a report of a crash in `library`'s `function`: the
// library must be listed once by path and build-id, and the crashed thread's
// walk must go from its code straight to its caller. Empty when nothing is.
std::string whatIsWrong(const PKROVCrashReport& report, const Facts& facts, const std::string& library,
                        const std::string& function) {
    auto image = report.imageForAddress(facts.function);
    if (!image) return "the library is not listed";
    if (image->imageName() != library) return "listed as " + image->imageName();
    if (!image->hasImageUUID() || *image->imageUUID() != buildIdOf(library)) return "without its build-id";
    size_t listed = 0;
    for (const auto& other : report.images()) listed += other->imageBaseAddress() == image->imageBaseAddress();
    if (listed != 1) return "another image is listed at its place";

    int crashed = 0;
    for (const auto& thread : report.threads()) {
        if (!thread->crashed()) continue;
        ++crashed;
        const auto& frames = thread->stackFrames();
        if (frames.size() < 3) return "the walk stops after " + std::to_string(frames.size()) + " frames";
        if (frames[0]->instructionPointer() < facts.function || frames[0]->instructionPointer() >= facts.function + 256)
            return "the first frame is elsewhere";
        if (!frames[0]->symbolInfo() || frames[0]->symbolInfo()->symbolName() != function ||
            frames[0]->symbolInfo()->startAddress() != facts.function)
            return "the first frame is not named " + function;
        // Its caller, not the caller's caller that a frame-pointer walk
        // would find: the library keeps no frame pointer.
        if (frames[1]->instructionPointer() <= facts.caller || frames[1]->instructionPointer() >= facts.caller + 256)
            return "the walk does not go on to the caller";
        auto caller = report.imageForAddress(frames[1]->instructionPointer());
        if (!caller || caller->imageName().find("crash_driver") == std::string::npos) return "the caller is not listed";
    }
    return crashed == 1 ? "" : std::to_string(crashed) + " crashed threads";
}

// The crashed thread's frames as a reader sees them: the image (by name), the
// offset in it and the symbol, one line each.
std::vector<std::string> framesOf(const PKROVCrashReport& report) {
    std::vector<std::string> out;
    for (const auto& thread : report.threads()) {
        if (!thread->crashed()) continue;
        for (const auto& frame : thread->stackFrames()) {
            const uint64_t ip = frame->instructionPointer();
            auto image = report.imageForAddress(ip);
            std::string line = image ? image->imageName() + "+" + std::to_string(ip - image->imageBaseAddress())
                                     : "? " + std::to_string(ip);
            line += " " + (frame->symbolInfo() ? frame->symbolInfo()->symbolName() : std::string("?"));
            out.push_back(line);
        }
    }
    return out;
}

class CrashInLibraryOpenedBehindTheLoader : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("current-images-" + std::to_string(getpid()) + "-" + std::string(test->name()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct Run {
        Facts facts;
        std::shared_ptr<PKROVCrashReport> report;
    };

    // Runs `driver` `runs` times for `kind` and reads back what each left.
    std::vector<Run> crashes(const std::string& kind, int runs, const char* driver = QM_CRASH_DRIVER) {
        const qmtest::Ran ran =
            qmtest::run({driver, "--symbols", dir_.string(), std::to_string(runs), kind}, qmtest::RunOptions().mergingErrors());
        EXPECT_EQ(ran.exitCode, 0) << ran.said();
        std::vector<Run> out(runs);
        for (int i = 0; i < runs; ++i) {
            Facts& facts = out[i].facts;
            const std::string base = kind + "-" + std::to_string(i);
            std::ifstream in(dir_ / (base + ".facts"));
            in >> facts.pid >> facts.threads >> facts.function >> facts.status >> facts.hung >> facts.images >>
                facts.caller;
            EXPECT_TRUE(WIFSIGNALED(facts.status) && WTERMSIG(facts.status) == SIGSEGV) << facts.status;
            std::ifstream report(dir_ / (base + ".ovcrash"), std::ios::binary);
            std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(report), {}};
            platform::foundation::Error error;
            out[i].report = PKROVCrashReport::initWithData(bytes, &error);
            EXPECT_TRUE(out[i].report) << error.localizedDescription();
        }
        return out;
    }

    // Runs the driver once for `kind` and reads back what it left.
    std::shared_ptr<PKROVCrashReport> crash(const std::string& kind, Facts* facts,
                                            const char* driver = QM_CRASH_DRIVER) {
        Run run = crashes(kind, 1, driver).at(0);
        *facts = run.facts;
        return run.report;
    }

    void expectLibraryAndCaller(const PKROVCrashReport& report, const Facts& facts, const std::string& library,
                                const std::string& function) {
        EXPECT_EQ(whatIsWrong(report, facts, library, function), "");
    }

    fs::path dir_;
};

TEST_F(CrashInLibraryOpenedBehindTheLoader, ReportListsItAndWalksOnToItsCaller) {
    Facts facts;
    auto report = crash("opened-library", &facts);
    ASSERT_TRUE(report);
    expectLibraryAndCaller(*report, facts, QM_OPENED_LIBRARY, "_opened_library_crash");
    // Every image is listed, not only those the loader had heard of.
    EXPECT_EQ(long(report->images().size()), facts.images + 1);
}

// The library closed with a plain dlclose was listed; the one opened in its
// place is reported as itself, not by the closed one's path, build-id and
// tables.
TEST_F(CrashInLibraryOpenedBehindTheLoader, ALibraryWhereAClosedOneWasIsReportedAsItself) {
    Facts facts;
    auto report = crash("library-where-another-was", &facts);
    ASSERT_TRUE(report);
    expectLibraryAndCaller(*report, facts, QM_REPLACEABLE_LIBRARY_2, "_library_version2_crash");
    for (const auto& image : report->images())
        EXPECT_EQ(image->imageName().find("replaceable_library_1"), std::string::npos);
}

// A program that names `_r_debug` holds a frozen copy of it: the linker's
// list is found through the program's own dynamic section instead.
TEST_F(CrashInLibraryOpenedBehindTheLoader, AProgramThatNamesTheLinkersListHeadStillHasItFollowed) {
    Facts facts;
    auto report = crash("opened-library", &facts, QM_CRASH_DRIVER_NAMED_R_DEBUG);
    ASSERT_TRUE(report);
    expectLibraryAndCaller(*report, facts, QM_OPENED_LIBRARY, "_opened_library_crash");
    EXPECT_EQ(long(report->images().size()), facts.images + 1);
}

// Another thread stays inside dlopen, the linker's list marked as changing
// all the while.
TEST_F(CrashInLibraryOpenedBehindTheLoader, AThreadStuckInsideDlopenLosesNothing) {
    for (const Run& run : crashes("inside-dlopen", 2)) {
        ASSERT_TRUE(run.report);
        expectLibraryAndCaller(*run.report, run.facts, QM_OPENED_LIBRARY, "_opened_library_crash");
    }
}

// Eight threads open and close fifty libraries while the crash comes: the
// list is caught half-changed, now and then torn.
TEST_F(CrashInLibraryOpenedBehindTheLoader, LibrariesOpenedAndClosedAllAroundLoseNothing) {
    constexpr int kRuns = 60;
    int good = 0;
    std::string wrong;
    for (const Run& run : crashes("open-close-churn", kRuns)) {
        if (!run.report) continue;
        const std::string what = whatIsWrong(*run.report, run.facts, QM_OPENED_LIBRARY, "_opened_library_crash");
        if (what.empty())
            ++good;
        else
            wrong += what + "\n";
    }
    EXPECT_GE(good, kRuns - 1) << wrong;
}

// A library the linker's list does not hold, as a list read torn would not:
// found from the file mapped where the crash is.
TEST_F(CrashInLibraryOpenedBehindTheLoader, ALibraryMissingFromTheLinkersListIsFoundFromItsMapping) {
    Facts facts;
    auto report = crash("unlisted-library", &facts);
    ASSERT_TRUE(report);
    expectLibraryAndCaller(*report, facts, QM_OPENED_LIBRARY, "_opened_library_crash");
}

// Past the room for images that no walk reaches: the one the crash is in
// is listed and walked all the same.
TEST_F(CrashInLibraryOpenedBehindTheLoader, TheLastOfManyLibrariesOpenedIsListedAndWalked) {
    Facts facts;
    auto report = crash("many-libraries", &facts);
    ASSERT_TRUE(report);
    expectLibraryAndCaller(*report, facts, (dir_ / "many-1099.so").string(), "_opened_library_crash");
}

// The same library gives the same frames and names whether it was opened as
// the loader heard of it or behind its back: without .eh_frame_hdr, with its
// first segment linked away from its load address, and for a function that
// only the file's own symbol table names.
TEST_F(CrashInLibraryOpenedBehindTheLoader, IsReportedAsOneOpenedBefore) {
    for (const std::string variant : {"plain", "no-eh-frame-hdr", "text-segment"}) {
        SCOPED_TRACE(variant);
        Facts early, late;
        auto before = crash("early-" + variant, &early);
        auto after = crash("late-" + variant, &late);
        ASSERT_TRUE(before && after);
        const std::vector<std::string> known = framesOf(*before), behind = framesOf(*after);
        ASSERT_GE(known.size(), 4u);
        EXPECT_NE(known[0].find("crashHere"), std::string::npos) << known[0];
        EXPECT_NE(known[1].find(" _crash_time_library_enter"), std::string::npos) << known[1];
        EXPECT_NE(known[2].find("crash_driver"), std::string::npos) << known[2];
        EXPECT_EQ(behind, known);
        auto image = after->imageForAddress(late.function);
        ASSERT_TRUE(image);
        ASSERT_TRUE(before->imageForAddress(early.function));
        EXPECT_EQ(image->imageName(), before->imageForAddress(early.function)->imageName());
        EXPECT_EQ(image->imageUUID(), before->imageForAddress(early.function)->imageUUID());
    }
}

// A library without a build-id replaced in place (closed, another build
// renamed over its path, opened again where it was) is the new build: named
// by its symbols and walked by its unwind rules, not the old one's.
TEST_F(CrashInLibraryOpenedBehindTheLoader, ALibraryWithoutBuildIdReplacedInPlaceIsTheNewBuild) {
    Facts facts;
    auto report = crash("replaced-without-build-id", &facts);
    ASSERT_TRUE(report);
    auto image = report->imageForAddress(facts.function);
    ASSERT_TRUE(image) << "the library is not listed";
    EXPECT_EQ(image->imageName(), (dir_ / "anonymous_library.so").string());
    const std::vector<std::string> frames = framesOf(*report);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_NE(frames[0].find(" _variant2_crash"), std::string::npos) << frames[0];
    EXPECT_NE(frames[1].find("callIntoLibrary"), std::string::npos) << frames[1];
}

// Code made at run time in a page mapped where a closed library was is not
// that library's: the library is no longer there to name it.
TEST_F(CrashInLibraryOpenedBehindTheLoader, CodeWhereAClosedLibraryWasIsNotBlamedOnIt) {
    Facts facts;
    auto report = crash("code-where-a-library-was", &facts);
    ASSERT_TRUE(report);
    auto image = report->imageForAddress(facts.function);
    if (image) {
        EXPECT_EQ(image->imageName().find("replaceable_library_1"), std::string::npos) << image->imageName();
    }
    for (const auto& listed : report->images())
        EXPECT_EQ(listed->imageName().find("replaceable_library_1"), std::string::npos);
    const std::vector<std::string> frames = framesOf(*report);
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(frames[0].find("register_tm_clones"), std::string::npos) << frames[0];
}

}  // namespace
