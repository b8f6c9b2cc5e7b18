// Homes reached through linked folders, files of the sandbox with a second
// name elsewhere, and copies set aside that never take a name already there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"

using namespace platform::foundation;

namespace {

std::string contents(const std::string& path) { return FileManager::readFile(path).value_or("<none>"); }

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The environment variable `name` for the life of a test, then what it was.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* v = std::getenv(name)) old_ = v;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_.empty() ? unsetenv(name_) : setenv(name_, old_.c_str(), 1); }

private:
    const char* name_;
    std::string old_;
};

}  // namespace

TEST(SandboxLinks, AHomeReachedThroughALinkedFolderIsServedByItsRealPath) {
    foundation_test::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.file("real").c_str(), dir.file("linked").c_str()), 0);
    // A --home under the link: an ordinary home, and nothing inside it is reached through a link.
    Error error;
    ASSERT_TRUE(Sandbox::setHome(dir.file("linked") + "/home", &error)) << error.localizedDescription();
    EXPECT_EQ(Sandbox::home(), dir.file("real") + "/home");
    EXPECT_EQ(Sandbox::library(), dir.file("real") + "/home/Library");
    EXPECT_EQ(Sandbox::keychains(), dir.file("real") + "/home/Library/Keychains");
    EXPECT_TRUE(Sandbox::claim(&error)) << error.localizedDescription();
    EXPECT_TRUE(FileManager::exists(dir.file("real") + "/home/Library/" + Sandbox::kLockFileName));
    // The data folder a link, as dotfile managers make it.
    {
        ScopedEnv data("XDG_DATA_HOME", dir.file("linked"));
        ASSERT_TRUE(Sandbox::setHome(""));
        EXPECT_EQ(Sandbox::home(), dir.file("real") + "/quenmira");
        EXPECT_TRUE(FileManager::exists(dir.file("real") + "/quenmira/Library/Preferences"));
        Sandbox::setHome("");
        ASSERT_TRUE(Sandbox::prepare(&error)) << error.localizedDescription();
        EXPECT_EQ(Sandbox::library(), dir.file("real") + "/quenmira/Library");
    }
    Sandbox::setHome("");
}

TEST(SandboxLinks, AHardLinkAtTheLockGetsACopyOfItsOwnAndTheFileItNamesKeepsItsBytes) {
    foundation_test::TempDir dir, outside;
    ASSERT_TRUE(Sandbox::setHome(dir.path));
    const std::string lock = Sandbox::library() + "/" + Sandbox::kLockFileName, theirs = outside.file("theirs");
    write(theirs, "someone else's file\n");
    ASSERT_EQ(link(theirs.c_str(), lock.c_str()), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    Error error;
    const bool claimed = Sandbox::claim(&error);
    setLogSink(nullptr);
    ASSERT_TRUE(claimed) << error.localizedDescription();
    EXPECT_EQ(contents(theirs), "someone else's file\n");
    EXPECT_FALSE(FileManager::isPresent(lock + ".corrupt-1"));
    EXPECT_EQ(contents(lock), std::to_string(getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(lock + " had a second name elsewhere; it now has a copy of its own"), std::string::npos)
        << lines[0];
    Sandbox::setHome("");
}

TEST(SetAside, CopiesNeverTakeANameThatIsThereWhateverItsNumber) {
    foundation_test::TempDir dir;
    const std::string file = dir.file("store.sql");
    // Numbers past nine digits, and past what any integer holds.
    for (const std::string& numbers : {std::string("999999999"), std::string("99999999999999999999999999")}) {
        SCOPED_TRACE(numbers);
        const std::string before = file + ".corrupt-" + numbers;
        write(before, "kept before");
        write(file, "damaged");
        write(file + "-wal", "its log");
        const std::string aside = FileManager::moveAside(file, {"-wal"});
        EXPECT_EQ(contents(before), "kept before");
        ASSERT_NE(aside, "");
        EXPECT_EQ(contents(aside), "damaged");
        EXPECT_EQ(contents(aside + "-wal"), "its log");
        EXPECT_EQ(aside.size(), before.size() + 1);  // the next power of ten
        FileManager::remove(aside);
        FileManager::remove(aside + "-wal");
        FileManager::remove(before);
    }
    // A companion's copy of a number holds it too; so does a dangling link.
    write(file + ".corrupt-1000000000", "kept");
    write(file + ".corrupt-1000000001-wal", "kept log");
    ASSERT_EQ(symlink("nowhere", (file + ".corrupt-01000000002").c_str()), 0);
    write(file, "damaged");
    EXPECT_EQ(FileManager::moveAside(file, {"-wal"}), file + ".corrupt-1000000003");
    EXPECT_EQ(contents(file + ".corrupt-1000000000"), "kept");
    EXPECT_EQ(contents(file + ".corrupt-1000000001-wal"), "kept log");
}

TEST(SetAside, AMoveWithoutReplacingLeavesWhatIsThere) {
    foundation_test::TempDir dir;
    write(dir.file("a"), "a");
    write(dir.file("b"), "b");
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);
    Error error;
    for (const char* taken : {"b", "dangling"}) {
        EXPECT_FALSE(FileManager::moveWithoutReplacing(dir.file("a"), dir.file(taken), &error)) << taken;
        EXPECT_EQ(error.code, EEXIST);
    }
    EXPECT_EQ(contents(dir.file("a")), "a");
    EXPECT_EQ(contents(dir.file("b")), "b");
    EXPECT_TRUE(FileManager::moveWithoutReplacing(dir.file("a"), dir.file("c"), &error));
    EXPECT_EQ(contents(dir.file("c")), "a");
    EXPECT_FALSE(FileManager::isPresent(dir.file("a")));
}

TEST(SetAside, WhatStandsWhereAFileOfTheSandboxBelongs) {
    foundation_test::TempDir dir;
    write(dir.file("plain"), "x");
    write(dir.file("twice"), "x");
    ASSERT_EQ(link(dir.file("twice").c_str(), dir.file("twice-2").c_str()), 0);
    ASSERT_EQ(symlink("plain", dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(FileManager::foreignEntry(dir.file("missing")), "");
    EXPECT_EQ(FileManager::foreignEntry(dir.file("plain")), "");
    EXPECT_EQ(FileManager::foreignEntry(dir.file("twice")), "");  // giveOwnCopy's
    EXPECT_EQ(FileManager::foreignEntry(dir.file("link")), "a link");
    EXPECT_EQ(FileManager::foreignEntry(dir.file("fifo")), "a FIFO");
    EXPECT_EQ(FileManager::foreignEntry(dir.path), "a folder");
}

// A file of ours with a second name elsewhere gets a copy of its own in its
// place: its bytes and mode, one line; the file it shared keeps its inode and
// bytes, and a write to ours never reaches it. A file larger than its writer
// ever makes is not read, and nothing else is touched.
TEST(SetAside, AFileWithASecondNameGetsACopyOfItsOwn) {
    foundation_test::TempDir dir;
    const std::string ours = dir.file("ours"), other = dir.file("other");
    write(other, "shared bytes");
    ASSERT_EQ(chmod(other.c_str(), 0640), 0);
    ASSERT_EQ(link(other.c_str(), ours.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(other.c_str(), &before), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    Error error;
    EXPECT_TRUE(FileManager::giveOwnCopy(ours, &error)) << error.description();
    EXPECT_TRUE(FileManager::giveOwnCopy(ours, &error)) << error.description();  // now alone: nothing to do
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(ours + " had a second name elsewhere; it now has a copy of its own"), std::string::npos)
        << lines[0];
    struct stat st {
    }, after{};
    ASSERT_EQ(stat(ours.c_str(), &st), 0);
    ASSERT_EQ(stat(other.c_str(), &after), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_NE(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 1u);
    EXPECT_EQ(contents(ours), "shared bytes");
    std::ofstream(ours, std::ios::app) << " and ours";
    EXPECT_EQ(contents(other), "shared bytes");
    EXPECT_EQ(FileManager::setAsideCopies(ours), std::vector<std::string>{});

    // More than its writer makes: left for the reader to set aside, unread.
    const std::string large = dir.file("large");
    ASSERT_EQ(link(other.c_str(), large.c_str()), 0);
    EXPECT_FALSE(FileManager::giveOwnCopy(large, &error, 4));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kTooLarge);
    ASSERT_EQ(stat(large.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino);

    // What is missing, alone or no regular file is left as it is.
    ASSERT_EQ(symlink(other.c_str(), dir.file("link").c_str()), 0);
    for (const char* name : {"missing", "ours", "link"}) EXPECT_TRUE(FileManager::giveOwnCopy(dir.file(name))) << name;
    EXPECT_TRUE(FileManager::isPresent(dir.file("link")));
    EXPECT_FALSE(FileManager::isPresent(dir.file("missing")));
}

// A folder of ours that takes the name back between the look (a link there)
// and the move: the move takes it, looks, and puts it back where it stood;
// only a link found by then is set aside.
TEST(SetAside, AFolderBackInPlaceBetweenTheLookAndTheMoveIsPutBackNotSetAside) {
    foundation_test::TempDir dir, outside;
    ASSERT_TRUE(Sandbox::setHome(dir.path));
    const std::string folder = Sandbox::caches() + "/ours", away = folder + ".swapped";
    ASSERT_TRUE(FileManager::createDirectory(folder));
    write(folder + "/data", "ours");
    ASSERT_EQ(rename(folder.c_str(), away.c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), folder.c_str()), 0);
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    int steps = 0;
    FileManager::setStepBetweenLookAndAct([&](const std::string& path) {
        if (path == folder && steps++ == 0) renameat2(AT_FDCWD, away.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE);
    });
    Error error;
    const bool made = FileManager::makeRealDirectory(folder, 0700, &error);
    FileManager::setStepBetweenLookAndAct(nullptr);
    setLogSink(nullptr);
    ASSERT_TRUE(made) << error.localizedDescription();
    EXPECT_EQ(steps, 2);  // at the look, and before the folder went back
    EXPECT_EQ(contents(folder + "/data"), "ours");
    EXPECT_EQ(FileManager::setAsideCopies(folder), std::vector<std::string>{});
    EXPECT_EQ(lines, std::vector<std::string>{});
    EXPECT_TRUE(FileManager::entryAttributes(away) && S_ISLNK(FileManager::entryAttributes(away)->type));

    // A link that takes the name while the folder is away: the folder trades
    // places with it, and the link is what is set aside.
    ASSERT_EQ(unlink(away.c_str()), 0);
    ASSERT_EQ(rename(folder.c_str(), away.c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), folder.c_str()), 0);
    steps = 0;
    FileManager::setStepBetweenLookAndAct([&](const std::string& path) {
        if (path != folder) return;
        if (++steps == 1) renameat2(AT_FDCWD, away.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE);
        if (steps == 2) symlink(outside.path.c_str(), folder.c_str());  // before the folder is put back
    });
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(FileManager::makeRealDirectory(folder, 0700, &error)) << error.localizedDescription();
    FileManager::setStepBetweenLookAndAct(nullptr);
    setLogSink(nullptr);
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(contents(folder + "/data"), "ours");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("A link stood where the folder " + folder + " belongs; it was set aside as " + folder +
                            ".corrupt-1"),
              std::string::npos)
        << lines[0];
    EXPECT_TRUE(S_ISLNK(FileManager::entryAttributes(folder + ".corrupt-1")->type));
    lines.clear();
    ASSERT_EQ(unlink((folder + ".corrupt-1").c_str()), 0);

    // A link that stays where it was looked at is set aside, with one line.
    ASSERT_EQ(rename(folder.c_str(), (folder + ".real").c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), folder.c_str()), 0);
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(FileManager::makeRealDirectory(folder, 0700, &error)) << error.localizedDescription();
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("A link stood where the folder " + folder + " belongs; it was set aside as " + folder +
                            ".corrupt-1"),
              std::string::npos)
        << lines[0];
    EXPECT_TRUE(S_ISLNK(FileManager::entryAttributes(folder + ".corrupt-1")->type));
    EXPECT_TRUE(FileManager::entryAttributes(folder)->isDirectory);
    EXPECT_EQ(FileManager::contentsOfDirectory(outside.path), std::vector<std::string>{});
    Sandbox::setHome("");
}

// Only the file itself, opened, can be damaged or missing: a folder on its
// way that is no folder now is a passing failure, said as such.
TEST(SetAside, AFileBeneathAFolderSwappedForALinkCannotBeReadNowAndIsNoDamage) {
    foundation_test::TempDir dir, outside;
    ASSERT_TRUE(Sandbox::setHome(dir.path));
    const std::string folder = Sandbox::preferences(), file = folder + "/settings.plist";
    write(file, "mine");
    write(outside.file("settings.plist"), "theirs");
    ASSERT_EQ(rename(folder.c_str(), (folder + ".real").c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), folder.c_str()), 0);
    Error error;
    EXPECT_FALSE(FileManager::readFile(file, &error));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kIOError) << error.localizedDescription();
    EXPECT_EQ(error.localizedDescription(),
              file + ": a folder on its way is not a folder now (Too many levels of symbolic links)");
    EXPECT_FALSE(FileManager::writeFileAtomically(file, std::string("written"), &error));
    EXPECT_EQ(error.localizedDescription(),
              file + ": a folder on its way is not a folder now (Too many levels of symbolic links)");
    // One name at a time, the link on the way answers ENOTDIR: no answer about the file either.
    EXPECT_EQ(FileManager::readFailure(posixError(ENOTDIR, file)), ReadFailure::kIOError);
    EXPECT_EQ(FileManager::readFailure(posixError(ENOENT, file)), ReadFailure::kMissing);
    EXPECT_EQ(contents(outside.file("settings.plist")), "theirs");
    // A link at the file's own name is the file's damage.
    ASSERT_EQ(unlink(folder.c_str()), 0);
    ASSERT_EQ(rename((folder + ".real").c_str(), folder.c_str()), 0);
    ASSERT_EQ(rename(file.c_str(), (file + ".real").c_str()), 0);
    ASSERT_EQ(symlink((file + ".real").c_str(), file.c_str()), 0);
    EXPECT_FALSE(FileManager::readFile(file, &error));
    EXPECT_EQ(FileManager::readFailure(error), ReadFailure::kNotRegularFile) << error.localizedDescription();
    Sandbox::setHome("");
}
