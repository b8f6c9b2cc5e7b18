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
    const std::string cmd = std::string(QM_CRASH_DRIVER) + " '" + dir_.string() + "' 1 truncated-library 2>&1";
    std::string said;
    FILE* out = popen(cmd.c_str(), "r");
    ASSERT_TRUE(out);
    for (int c; (c = fgetc(out)) != EOF;) said += char(c);
    EXPECT_EQ(pclose(out), 0) << said;

    const fs::path report = dir_ / "truncated-library-0.ovcrash";
    ASSERT_TRUE(fs::exists(report));
    ASSERT_GT(fs::file_size(report), 8u);
    const std::string decode = "tail -c +9 '" + report.string() +
                               "' | " QM_PROTOC " --proto_path=" QM_SOURCE_DIR
                               " --decode=ovcrash.CrashReport " QM_CRASH_REPORT_PROTO " > /dev/null 2>&1";
    EXPECT_EQ(std::system(decode.c_str()), 0);

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
