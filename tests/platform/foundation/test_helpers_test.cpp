// The helpers every test leans on to run programs and to keep its files: a
// program gets its arguments as they are, whatever a folder's name holds, and
// what a test leaves stays in its own home.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/OtherUser.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/ShellTools.h"
#include "tests/support/VirtualDisplay.h"

namespace {

namespace fs = std::filesystem;

// What a shell line would split, expand or end at.
const std::string kAwkward = "My Projects/caf\xC3\xA9 it's \"quoted\" $HOME `x` ; a*";

TEST(RunProgram, ArgumentsArriveAsTheyAre) {
    const qmtest::Ran ran =
        qmtest::run({"python3", "-c", "import sys; print(repr(sys.argv[1:]))", kAwkward, "", "two words"});
    ASSERT_TRUE(ran.ok()) << ran.said();
    const qmtest::Ran expected =
        qmtest::run({"python3", "-c", "import sys; print(repr([sys.argv[1], '', 'two words']))", kAwkward});
    EXPECT_EQ(ran.out, expected.out);
    EXPECT_NE(ran.out.find("caf\xC3\xA9"), std::string::npos) << ran.out;
}

TEST(RunProgram, AProgramInAFolderWithAnAwkwardNameRuns) {
    const std::string folder = qmtest::PrivateHome::makeFolder("run") + "/" + kAwkward;
    fs::create_directories(folder);
    const std::string program = folder + "/say";
    ASSERT_TRUE(fs::copy_file("/bin/echo", program));
    const qmtest::Ran ran = qmtest::run({program, kAwkward});
    EXPECT_TRUE(ran.ok()) << ran.said();
    EXPECT_EQ(ran.out, kAwkward + "\n");
    fs::remove_all(fs::path(folder).parent_path());
}

TEST(RunProgram, SettingsInputWorkingFolderAndStatusReachTheProgram) {
    const std::string folder = qmtest::PrivateHome::makeFolder("run");
    qmtest::RunOptions options = qmtest::RunOptions().adding({"QM_RUN_SETTING=" + kAwkward});
    options.input = std::string(200000, 'i');  // more than a pipe holds
    options.cwd = folder;
    const qmtest::Ran ran = qmtest::run(
        {"python3", "-c",
         "import os, sys; d = sys.stdin.read(); print(os.environ['QM_RUN_SETTING']); print(len(d)); "
         "print(os.getcwd()); print('to errors', file=sys.stderr); sys.exit(3)"},
        options);
    EXPECT_EQ(ran.exitCode, 3);
    EXPECT_EQ(ran.signal, 0);
    EXPECT_EQ(ran.out, kAwkward + "\n200000\n" + fs::canonical(folder).string() + "\n");
    EXPECT_EQ(ran.err, "to errors\n");
    // The test program's own environment is left as it was.
    EXPECT_EQ(getenv("QM_RUN_SETTING"), nullptr);
    fs::remove_all(folder);
}

TEST(RunProgram, ErrorsMergedAndAnEndBySignalAndAMissingProgramAreSaid) {
    const qmtest::Ran merged = qmtest::run(
        {"python3", "-c", "import sys; print('a', flush=True); print('b', file=sys.stderr, flush=True); print('c')"},
        qmtest::RunOptions().mergingErrors());
    EXPECT_EQ(merged.out, "a\nb\nc\n");
    EXPECT_EQ(merged.err, "");

    const qmtest::Ran killed = qmtest::run({"python3", "-c", "import os, signal; os.kill(os.getpid(), signal.SIGKILL)"});
    EXPECT_EQ(killed.exitCode, -1);
    EXPECT_EQ(killed.signal, SIGKILL);

    // A program that does not read what it is given ends all the same.
    qmtest::RunOptions unread;
    unread.input = std::string(1 << 20, 'x');
    EXPECT_TRUE(qmtest::run({"true"}, unread).ok());

    const qmtest::Ran missing = qmtest::run({"/nonexistent/" + kAwkward});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exitCode, -1);
}

TEST(RunProgram, APeerStartedBesideTheTestIsReadByLineAndWaitedFor) {
    qmtest::Started peer({"python3", "-c", "import sys; print('ready', flush=True); sys.exit(sys.argv[1] == 'x y')",
                          "x y"});
    ASSERT_TRUE(peer.started());
    EXPECT_EQ(peer.line(), "ready\n");
    EXPECT_EQ(peer.wait(), 1);
}

// A script a test writes names its paths as single words.
TEST(RunProgram, AQuotedWordIsOneWordOfAScript) {
    const qmtest::Ran ran =
        qmtest::run({"sh", "-c", "printf '%s|' " + qmtest::shellQuoted(kAwkward) + " " + qmtest::shellQuoted("")});
    EXPECT_EQ(ran.out, kAwkward + "||");
}

TEST(RunProgram, HaveFindsWhatIsOnThePath) {
    EXPECT_TRUE(qmtest::have("python3"));
    EXPECT_FALSE(qmtest::have("qm-no-such-tool"));
}

// The sanitizer's options take a quoted path (a clone's folder may hold a
// space or a colon); the copy for the other user keeps the quotes.
TEST(OtherUserEnvironment, AQuotedSuppressionsPathIsReplacedWhole) {
    const std::string folder = qmtest::PrivateHome::makeFolder("supp") + "/a b:c";
    fs::create_directories(folder);
    const std::string file = folder + "/lsan.supp";
    std::ofstream(file) << "leak:nothing\n";
    qmtest::OtherUser other;
    for (const char quote : {'"', '\''}) {
        const auto env = other.environment(
            {"LSAN_OPTIONS=suppressions=" + std::string(1, quote) + file + quote + ":print_suppressions=0", "X=1"});
        ASSERT_EQ(env.size(), 2u);
        const std::string prefix = "LSAN_OPTIONS=suppressions=" + std::string(1, quote);
        ASSERT_EQ(env[0].rfind(prefix, 0), 0u) << env[0];
        const size_t end = env[0].find(quote, prefix.size());
        ASSERT_NE(end, std::string::npos) << env[0];
        const std::string copy = env[0].substr(prefix.size(), end - prefix.size());
        EXPECT_NE(copy, file);
        EXPECT_EQ(qmtest::readAll(copy), "leak:nothing\n");
        EXPECT_EQ(env[0].substr(end + 1), ":print_suppressions=0");
        EXPECT_EQ(env[1], "X=1");
    }
    fs::remove_all(fs::path(folder).parent_path());
}

// A test's files, the sound library's runtime folder among them, go in its
// program's home, which goes when the program ends.
TEST(TestHome, ScratchFoldersAndTheRuntimeFolderLieInTheHome) {
    const char* home = getenv("QM_TEST_HOME");
    ASSERT_NE(home, nullptr);
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(std::string(runtime).rfind(std::string(home) + "/", 0), 0u) << runtime;
    EXPECT_TRUE(fs::is_directory(runtime));
    EXPECT_EQ(fs::status(runtime).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::string folder = qmtest::PrivateHome::makeFolder("scratch-test");
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.rfind(std::string(home) + "/", 0), 0u) << folder;
    fs::remove_all(folder);
}

// A display's claim goes with the display: nothing of it stays behind.
TEST(TestHome, AVirtualDisplayLeavesNoClaimBehind) {
    if (!qmtest::VirtualDisplay::installed()) GTEST_SKIP() << "Xvfb is not installed";
    const fs::path homes = fs::path(QM_BUILD_DIR) / "test-homes";
    std::string claim;
    {
        qmtest::VirtualDisplay display;
        ASSERT_TRUE(display.started());
        claim = (homes / ("display-" + display.name().substr(1) + ".lock")).string();
        EXPECT_TRUE(fs::exists(claim));
    }
    EXPECT_FALSE(fs::exists(claim));
}

}  // namespace
