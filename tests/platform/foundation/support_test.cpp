// Errors, exceptions, the console log, files and the sandbox.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "TestUtil.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::foundation;
using foundation_test::TempDir;

TEST(Error, DescriptionsAndPosixErrors) {
    Error e = Error::withDescription("TestDomain", 7, "Went wrong");
    EXPECT_EQ(e.localizedDescription(), "Went wrong");
    EXPECT_EQ(e.description(), "Error Domain=TestDomain Code=7 \"Went wrong\"");
    Error bare("D", 3);
    EXPECT_EQ(bare.localizedDescription(), "The operation couldn\u2019t be completed. (D error 3.)");
    Error p = posixError(ENOENT, "/x");
    EXPECT_EQ(p.domain, kPOSIXErrorDomain);
    EXPECT_EQ(p.code, ENOENT);
    EXPECT_EQ(p.localizedDescription(), "/x: No such file or directory");
}

TEST(Exception, CarriesNameReasonUserInfoAndCallStack) {
    try {
        Exception::raise(kRangeException, "index 5 beyond bounds", Value(Value::Dictionary{{"i", Value(5)}}));
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), kRangeException);
        EXPECT_EQ(e.reason(), "index 5 beyond bounds");
        EXPECT_EQ(e.userInfo()["i"].intValue(), 5);
        EXPECT_STREQ(e.what(), "NSRangeException: index 5 beyond bounds");
        EXPECT_GT(e.callStackReturnAddresses().size(), 2u);
    }
}

namespace {
void recordingHandler(const Exception& e) {
    fprintf(stderr, "handler saw %s: %s\n", e.name().c_str(), e.reason().c_str());
}
}  // namespace

TEST(ExceptionDeathTest, AnUncaughtExceptionReachesTheHandlerBeforeAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EQ(getUncaughtExceptionHandler(), nullptr);
    EXPECT_DEATH(
        {
            setUncaughtExceptionHandler(recordingHandler);
            std::thread([] { Exception::raise(kInternalInconsistencyException, "escaped"); }).join();
        },
        "handler saw NSInternalInconsistencyException: escaped");
    // Other exceptions still terminate, without the handler.
    EXPECT_DEATH(
        {
            setUncaughtExceptionHandler(recordingHandler);
            std::thread([] { throw std::runtime_error("plain"); }).join();
        },
        ::testing::AllOf(::testing::HasSubstr("plain"), ::testing::Not(::testing::HasSubstr("handler saw"))));
}

namespace {
// "2026-12-07 04:43:55.123" followed by `tail`.
bool isLogLine(const std::string& line, const std::string& tail) {
    const std::string shape = "0000-00-00 00:00:00.000";
    if (line.size() != shape.size() + tail.size() || line.compare(shape.size(), tail.size(), tail) != 0) return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return false;
    return true;
}
}  // namespace

TEST(Log, PlatformLineFormatOnStandardError) {
    setProcessName("LogTest");
    // Capture fd 2 through a pipe.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved = dup(2);
    dup2(fds[1], 2);
    log("battery at 80%");
    logf("%d%% %s", 81, "now");
    dup2(saved, 2);
    close(saved);
    close(fds[1]);
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    std::string suffix = " LogTest[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] ";
    std::istringstream lines(out);
    std::string l1, l2, rest;
    ASSERT_TRUE(std::getline(lines, l1) && std::getline(lines, l2)) << out;
    EXPECT_FALSE(std::getline(lines, rest)) << out;
    EXPECT_TRUE(isLogLine(l1, suffix + "battery at 80%")) << l1;
    EXPECT_TRUE(isLogLine(l2, suffix + "81% now")) << l2;

    std::vector<std::string> captured;
    setLogSink([&](const std::string& l) { captured.push_back(l); });
    log("to the sink");
    setLogSink(nullptr);
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_NE(captured[0].find("] to the sink"), std::string::npos);
    EXPECT_EQ(captured[0].back(), 'k');
}

TEST(FileManager, FoldersFilesAndAttributes) {
    TempDir dir;
    Error error;
    std::string deep = dir.file("a/b/c");
    EXPECT_TRUE(FileManager::createDirectory(deep, true, 0700, &error)) << error.description();
    EXPECT_TRUE(FileManager::createDirectory(deep, true));  // already there: fine with intermediates
    EXPECT_FALSE(FileManager::createDirectory(deep, false, 0755, &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_FALSE(FileManager::createDirectory(dir.file("x/y"), false, 0755, &error));
    EXPECT_EQ(error.code, ENOENT);
    auto attrs = FileManager::attributes(deep);
    ASSERT_TRUE(attrs);
    EXPECT_TRUE(attrs->isDirectory);
    EXPECT_EQ(attrs->mode, 0700u);

    ASSERT_TRUE(FileManager::writeFileAtomically(dir.file("a/f.txt"), std::string("hello"), &error, 0600));
    ASSERT_TRUE(FileManager::writeFileAtomically(dir.file("a/f.txt"), std::string("hello!"), &error, 0600));
    EXPECT_EQ(*FileManager::readFile(dir.file("a/f.txt")), "hello!");
    attrs = FileManager::attributes(dir.file("a/f.txt"));
    EXPECT_EQ(attrs->size, 6u);
    EXPECT_EQ(attrs->mode, 0600u);
    EXPECT_FALSE(attrs->isDirectory);
    EXPECT_GT(attrs->modificationDate, 1.6e9);
    EXPECT_EQ(FileManager::contentsOfDirectory(dir.file("a")), (std::vector<std::string>{"b", "f.txt"}));
    EXPECT_FALSE(FileManager::writeFileAtomically(dir.file("nope/f.txt"), std::string("x"), &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);

    EXPECT_TRUE(FileManager::copy(dir.file("a"), dir.file("copy"), &error)) << error.description();
    EXPECT_TRUE(FileManager::exists(dir.file("copy/b/c")));
    EXPECT_TRUE(FileManager::move(dir.file("copy/f.txt"), dir.file("moved.txt")));
    EXPECT_EQ(*FileManager::readFile(dir.file("moved.txt")), "hello!");
    EXPECT_TRUE(FileManager::remove(dir.file("a")));
    EXPECT_FALSE(FileManager::exists(dir.file("a")));
    EXPECT_FALSE(FileManager::remove(dir.file("a"), &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_TRUE(FileManager::contentsOfDirectory(dir.file("a"), &error).empty());
    EXPECT_EQ(error.code, ENOENT);
}

TEST(FileManager, ReadsOnlyRegularFilesUpToTheirLimit) {
    TempDir dir;
    TempDir outside;
    ASSERT_TRUE(FileManager::writeFileAtomically(outside.file("secret"), std::string("outside")));
    ASSERT_TRUE(FileManager::writeFileAtomically(dir.file("ten"), std::string("0123456789")));
    ASSERT_EQ(symlink(outside.file("secret").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);

    Error error;
    EXPECT_EQ(*FileManager::readFile(dir.file("ten"), &error, 10), "0123456789");
    EXPECT_FALSE(FileManager::readFile(dir.file("ten"), &error, 9));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kTooLarge);
    EXPECT_FALSE(FileManager::readFile(dir.file("none"), &error));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kMissing);
    EXPECT_FALSE(FileManager::readFile(dir.file("link"), &error));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kNotRegularFile);
    EXPECT_FALSE(FileManager::readFile(dir.file("folder"), &error));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kNotRegularFile);
    // A kernel file reports no size: the limit holds on what is read.
    EXPECT_FALSE(FileManager::readFile("/proc/self/maps", &error, 4));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kTooLarge);

    // A FIFO without a writer is refused at once; should the read wait, a
    // writer is opened to end it and the test fails.
    auto read = std::async(std::launch::async, [&] {
        Error fifoError;
        const bool got = FileManager::readFile(dir.file("fifo"), &fifoError).has_value();
        return !got && FileManager::readFailure(fifoError) == ReadFailure::kNotRegularFile;
    });
    if (read.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        close(open(dir.file("fifo").c_str(), O_WRONLY));
        ADD_FAILURE() << "reading a FIFO waited for a writer";
    }
    EXPECT_TRUE(read.get());
}

TEST(FileManager, PathHelpers) {
    EXPECT_EQ(FileManager::joinPath("/a/", "/b"), "/a/b");
    EXPECT_EQ(FileManager::joinPath("a", "b.txt"), "a/b.txt");
    EXPECT_EQ(FileManager::lastPathComponent("/x/y.tar.gz/"), "y.tar.gz");
    EXPECT_EQ(FileManager::deletingLastPathComponent("/x/y"), "/x");
    EXPECT_EQ(FileManager::deletingLastPathComponent("/x"), "/");
    EXPECT_EQ(FileManager::deletingLastPathComponent("y"), "");
    EXPECT_EQ(FileManager::pathExtension("/x/y.tar.gz"), "gz");
    EXPECT_EQ(FileManager::pathExtension("/x/.hidden"), "");
    EXPECT_EQ(FileManager::deletingPathExtension("/x/y.tar.gz"), "/x/y.tar");
    EXPECT_EQ(FileManager::deletingPathExtension("/x.d/y"), "/x.d/y");
}

TEST(Sandbox, HomeHoldsThePlatformFolders) {
    qmtest::GlobalStateGuard guard;
    TempDir dir;
    Sandbox::setHome(dir.path + "/");
    EXPECT_EQ(Sandbox::home(), dir.path);
    for (auto p :
         {Sandbox::documents(), Sandbox::caches(), Sandbox::preferences(), Sandbox::keychains(), Sandbox::tmp()}) {
        bool isDir = false;
        EXPECT_TRUE(FileManager::exists(p, &isDir) && isDir) << p;
    }
    EXPECT_EQ(Sandbox::preferences(), dir.path + "/Library/Preferences");
    EXPECT_EQ(Sandbox::caches(), dir.path + "/Library/Caches");
    EXPECT_EQ(FileManager::attributes(Sandbox::keychains())->mode, 0700u);
}

TEST(Sandbox, ALinkOrFileWhereAFolderBelongsIsSetAside) {
    qmtest::GlobalStateGuard guard;
    TempDir dir, outside;
    ASSERT_TRUE(FileManager::writeFileAtomically(outside.file("keep"), std::string("x")));
    ASSERT_TRUE(FileManager::createDirectory(dir.file("Library")));
    ASSERT_EQ(symlink(outside.path.c_str(), dir.file("Library/Caches").c_str()), 0);
    ASSERT_TRUE(FileManager::writeFileAtomically(dir.file("Library/Keychains"), std::string("not a folder")));
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    Error error;
    const bool made = Sandbox::setHome(dir.path, &error);
    setLogSink(nullptr);
    ASSERT_TRUE(made) << error.description();
    struct stat st;
    for (const std::string sub : {"Library/Caches", "Library/Keychains"}) {
        ASSERT_EQ(lstat(dir.file(sub).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << sub;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << sub;
    }
    ASSERT_EQ(lstat(dir.file("Library/Caches.corrupt-1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(*FileManager::readFile(dir.file("Library/Keychains.corrupt-1")), "not a folder");
    EXPECT_EQ(FileManager::contentsOfDirectory(outside.path), std::vector<std::string>{"keep"});
    EXPECT_EQ(FileManager::attributes(outside.path)->mode, 0700u);  // mkdtemp's, not narrowed through the link
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], testing::HasSubstr("A link stood where the folder " + dir.file("Library/Caches")));
}

// A home the user names is theirs: what is missing is made owner-only, what
// stands at its top keeps its mode, and what cannot serve there refuses the
// home, named, with nothing moved.
TEST(Sandbox, AHomeTheUserNamedKeepsWhatStandsAtItsTop) {
    qmtest::GlobalStateGuard guard;
    TempDir dir, outside;
    ASSERT_EQ(mkdir(dir.file("tmp").c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.file("tmp").c_str(), 01777), 0);
    ASSERT_EQ(mkdir(dir.file("Documents").c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.file("Documents").c_str(), 0755), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    Error error;
    ASSERT_TRUE(Sandbox::setHome(dir.path, &error)) << error.description();
    EXPECT_EQ(FileManager::attributes(dir.file("tmp"))->mode, 01777u);
    EXPECT_EQ(FileManager::attributes(dir.file("Documents"))->mode, 0755u);
    for (const char* made : {"Library", "Library/Caches", "Library/Preferences", "Library/Keychains"})
        EXPECT_EQ(FileManager::attributes(dir.file(made))->mode, 0700u) << made;

    ASSERT_TRUE(FileManager::remove(dir.file("Library")));
    ASSERT_TRUE(FileManager::writeFileAtomically(dir.file("Library"), std::string("the user's")));
    ASSERT_TRUE(FileManager::remove(dir.file("Documents")));
    ASSERT_EQ(symlink(outside.path.c_str(), dir.file("Documents").c_str()), 0);
    EXPECT_FALSE(Sandbox::setHome(dir.path, &error));
    EXPECT_EQ(error.localizedDescription(), dir.file("Documents") + " is a link, not a folder, and is left as it is");
    ASSERT_TRUE(FileManager::remove(dir.file("Documents")));
    EXPECT_FALSE(Sandbox::setHome(dir.path, &error));
    EXPECT_EQ(error.localizedDescription(), dir.file("Library") + " is a file, not a folder, and is left as it is");
    setLogSink(nullptr);
    EXPECT_EQ(*FileManager::readFile(dir.file("Library")), "the user's");
    EXPECT_EQ(FileManager::contentsOfDirectory(dir.path), (std::vector<std::string>{"Documents", "Library", "tmp"}));
    EXPECT_EQ(lines, std::vector<std::string>{});
    EXPECT_EQ(FileManager::attributes(outside.path)->mode, 0700u);
}
