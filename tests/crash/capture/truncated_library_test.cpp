// A library whose file is cut short in place after it was loaded (what a copy
// over a running program's library does): a crash in it still leaves a report
// that decodes, since the writer reads the library's pages and the loader's
// mapping of its file only through reads that fail instead of faulting.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "crash/capture/report/PKROVCrashReport.h"
#include "tests/support/ShellTools.h"

namespace fs = std::filesystem;

namespace {

class CrashInTruncatedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("truncated-library-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(CrashInTruncatedLibrary, LeavesAReportThatDecodes) {
    const qmtest::Ran ran = qmtest::run({QM_CRASH_DRIVER, dir_.string(), "1", "truncated-library"}, qmtest::RunOptions().mergingErrors());
    EXPECT_EQ(ran.exitCode, 0) << ran.out;

    const fs::path report = dir_ / "truncated-library-0.ovcrash";
    ASSERT_TRUE(fs::exists(report));
    ASSERT_GT(fs::file_size(report), 8u);
    qmtest::RunOptions decode;
    decode.input = qmtest::readAll(report.string()).substr(8);
    const qmtest::Ran protoc =
        qmtest::run({QM_PROTOC, "--proto_path=" QM_SOURCE_DIR, "--decode=ovcrash.CrashReport", QM_CRASH_REPORT_PROTO},
                    decode);
    EXPECT_TRUE(protoc.ok()) << protoc.said();

    long pid = 0, threads = 0, images = 0;
    unsigned long long function = 0;
    int status = 0, hung = 0;
    std::ifstream facts(dir_ / "truncated-library-0.facts");
    facts >> pid >> threads >> function >> status >> hung >> images;
    EXPECT_EQ(hung, 0);
    // The call faults at the library's first instruction: its code is gone.
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;

    platform::foundation::Error error;
    auto decoded = PKROVCrashReport::initWithData(qmtest::readBytes(report), &error);
    ASSERT_TRUE(decoded) << error.localizedDescription();
    EXPECT_EQ(decoded->signalInfo()->name(), "SIGBUS");
    int crashed = 0;
    for (const auto& thread : decoded->threads()) {
        if (!thread->crashed()) continue;
        ++crashed;
        const auto& frames = thread->stackFrames();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0]->instructionPointer(), function);
    }
    EXPECT_EQ(crashed, 1);
    auto image = decoded->imageForAddress(function);
    ASSERT_TRUE(image);
    EXPECT_NE(image->imageName().find("truncated_library.so"), std::string::npos) << image->imageName();
}

}  // namespace
