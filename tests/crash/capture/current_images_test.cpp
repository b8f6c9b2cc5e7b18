// The images a report lists are the ones loaded when the process crashed,
// whatever opened them: real children crash inside libraries opened with a
// plain dlopen, which the loader stand-in never heard of, and the report
// names each library by its own path, build-id and symbols and walks on from
// it to its caller with its own unwind tables.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
    int mapReads = -1;  // by the report
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

    // Runs `driver` `runs` times for `kind`; what it said.
    qmtest::Ran runDriver(const std::string& kind, int runs, const char* driver = QM_CRASH_DRIVER) {
        return qmtest::run({driver, "--symbols", dir_.string(), std::to_string(runs), kind},
                           qmtest::RunOptions().mergingErrors());
    }

    // What the child of `kind`'s run `run` knew, and the report it left.
    Run runOf(const std::string& kind, int run) {
        Run out;
        Facts& facts = out.facts;
        const std::string base = kind + "-" + std::to_string(run);
        std::ifstream in(dir_ / (base + ".facts"));
        in >> facts.pid >> facts.threads >> facts.function >> facts.status >> facts.hung >> facts.images >>
            facts.caller >> facts.mapReads;
        std::ifstream report(dir_ / (base + ".ovcrash"), std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(report), {}};
        platform::foundation::Error error;
        if (!bytes.empty()) out.report = PKROVCrashReport::initWithData(bytes, &error);
        return out;
    }

    // Runs `driver` `runs` times for `kind` and reads back what each left.
    std::vector<Run> crashes(const std::string& kind, int runs, const char* driver = QM_CRASH_DRIVER) {
        const qmtest::Ran ran = runDriver(kind, runs, driver);
        EXPECT_EQ(ran.exitCode, 0) << ran.said();
        std::vector<Run> out(runs);
        for (int i = 0; i < runs; ++i) {
            out[i] = runOf(kind, i);
            EXPECT_TRUE(WIFSIGNALED(out[i].facts.status) && WTERMSIG(out[i].facts.status) == SIGSEGV)
                << out[i].facts.status;
            EXPECT_TRUE(out[i].report) << "no report, or one that does not decode";
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

// Four threads ask for live reports one after another while a worker that
// no live report can stop crashes in the last of 1,000 libraries opened
// behind the loader, once a report has tried to stop it: the crash comes
// while that report is under way and does not depend on what it left.
TEST_F(CrashInLibraryOpenedBehindTheLoader, ACrashWhileLiveReportsAreMadeLosesNothing) {
    constexpr int kRuns = 30;
    int good = 0;
    std::string wrong;
    for (const Run& run : crashes("live-reports-around", kRuns)) {
        if (!run.report) continue;
        const std::string what =
            whatIsWrong(*run.report, run.facts, (dir_ / "many-999.so").string(), "_opened_library_crash");
        if (what.empty())
            ++good;
        else
            wrong += what + "\n";
    }
    EXPECT_GE(good, kRuns - 1) << wrong;
}

// A library the loader listed, whose segments lie 4 TiB apart, is closed
// behind its back: what lies in its range now is found in one look, and the
// crash is reported rather than held up (the driver's bound, a minute, only
// tells a crash that never ends).
TEST_F(CrashInLibraryOpenedBehindTheLoader, AVastClosedLibraryDoesNotHoldTheCrashUp) {
    Facts facts;
    EXPECT_TRUE(crash("vast-library-closed", &facts));  // a SIGSEGV, and a report that decodes
    EXPECT_EQ(facts.hung, 0);
}

// The same library gives the same frames and names whether it was opened as
// the loader heard of it or behind its back: without .eh_frame_hdr, with its
// first segment linked away from its load address, without section headers
// (named by its dynamic symbol table alone), and for a function that only
// the file's own symbol table names.
TEST_F(CrashInLibraryOpenedBehindTheLoader, IsReportedAsOneOpenedBefore) {
    for (const std::string variant : {"plain", "no-eh-frame-hdr", "text-segment", "no-section-headers"}) {
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

// The crashed thread's walk goes back through `links` copies of the chain
// library, from the last to the first (in each its own function, then its
// step), then into the driver; empty when it does. With `ownNames`, the
// file's own symbols name the function of its own: where the report can
// tell the file is the one mapped, which takes the mapped file's size and
// time, shown only to a process with privileges over the whole system.
std::string chainWalkIsWrong(const std::vector<std::string>& frames, const fs::path& dir, int links, bool ownNames) {
    if (frames.size() < 2 * size_t(links) + 1)
        return "the walk stops after " + std::to_string(frames.size()) + " frames";
    for (int i = 0; i < 2 * links; ++i) {
        const std::string& frame = frames[size_t(i)];
        const std::string image = (dir / ("chain-" + std::to_string(links - 1 - i / 2) + ".so")).string() + "+";
        const bool named =
            i % 2 == 1 ? frame.ends_with(" _chain_step") : !ownNames || frame.find("relayEiPKv") != std::string::npos;
        if (frame.rfind(image, 0) != 0 || !named) return "frame " + std::to_string(i) + " is " + frame;
    }
    if (frames[2 * size_t(links)].find("crashAtTheBottomOfAChain") == std::string::npos)
        return "the walk does not go on to the driver: " + frames[2 * size_t(links)];
    return "";
}

// Forty libraries without a build-id, each calling the next, the last one
// crashing: each is walked, and each has the file mapped at its base looked
// for; the report reads the process's map no more than a few times all the
// same, and still names and walks them all.
TEST_F(CrashInLibraryOpenedBehindTheLoader, AChainOfLibrariesWithoutBuildIdReadsTheMapAFewTimesAtMost) {
    Facts facts;
    auto report = crash("library-chain", &facts);
    ASSERT_TRUE(report);
    EXPECT_GE(facts.mapReads, 0) << "the report did not count";
    EXPECT_LE(facts.mapReads, 8);
    EXPECT_EQ(chainWalkIsWrong(framesOf(*report), dir_, 40, geteuid() == 0), "");
}

// A FIFO bound over the process's map (in a mount namespace of the child's
// own) is not read, nor waited on: the report comes, and names and walks
// what it would without the map.
TEST_F(CrashInLibraryOpenedBehindTheLoader, AFifoOverTheProcessMapDoesNotHoldTheReportBack) {
    const std::string said = runDriver("maps-fifo", 1).said();
    const Run run = runOf("maps-fifo", 0);
    if (WIFEXITED(run.facts.status) && WEXITSTATUS(run.facts.status) == 77)
        GTEST_SKIP() << "the kernel refuses a user and mount namespace here";
    if (WIFEXITED(run.facts.status) && WEXITSTATUS(run.facts.status) == 78)
        GTEST_SKIP() << "the kernel refuses a FIFO bound over the process's map";
    ASSERT_EQ(run.facts.hung, 0) << "no report within 10 s: " << said;
    EXPECT_TRUE(WIFSIGNALED(run.facts.status) && WTERMSIG(run.facts.status) == SIGSEGV) << run.facts.status;
    ASSERT_TRUE(run.report) << said;
    EXPECT_EQ(chainWalkIsWrong(framesOf(*run.report), dir_, 3, false), "");
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
