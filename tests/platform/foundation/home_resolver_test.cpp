// The home held by its descriptor: nothing inside it is reached through a
// link, at any name, while the folders above it are the user's and may be
// links.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/HomeResolver.h"
#include "platform/foundation/Sandbox.h"

using namespace platform::foundation;
namespace fs = std::filesystem;

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Everything under `folder`, by path.
std::vector<std::string> everything(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(folder)) found.push_back(e.path());
    return found;
}

// The text of the file `fd`, closed.
std::string textOf(int fd) {
    std::string text(64, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(n > 0 ? size_t(n) : 0);
    return text;
}

// The home set for one test, and the program's own home again after it.
class HeldHome : public ::testing::Test {
protected:
    void TearDown() override { Sandbox::setHome(before_); }
    const std::string before_ = Sandbox::chosenHome();
    foundation_test::TempDir dir_;
};

}  // namespace

TEST_F(HeldHome, ALinkAtAnyNameOnTheWayOrAtTheEndIsRefusedAndSoIsAStepUp) {
    const std::string home = dir_.file("home"), outside = dir_.file("outside");
    for (const std::string& top : {home, outside}) {
        fs::create_directories(top + "/Library/Caches");
        write(top + "/Library/Caches/file", top == home ? "inside" : "outside");
    }
    const int root = ::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    for (auto open : {&HomeResolver::openBeneath, &HomeResolver::openStepwise}) {
        SCOPED_TRACE(open == &HomeResolver::openBeneath ? "openat2" : "one name at a time");
        EXPECT_EQ(textOf(open(root, "Library/Caches/file", O_RDONLY, 0)), "inside");
        // Each name in turn made a link to the same name outside.
        for (const std::string name : {"Library", "Library/Caches", "Library/Caches/file"}) {
            SCOPED_TRACE(name);
            fs::rename(home + "/" + name, home + "/" + name + ".real");
            fs::create_symlink(outside + "/" + name, home + "/" + name);
            errno = 0;
            EXPECT_EQ(open(root, "Library/Caches/file", O_RDONLY, 0), -1);
            EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errno;
            EXPECT_EQ(open(root, "Library/Caches/file", O_RDWR | O_CREAT, 0600), -1);
            // A descriptor of the place itself (O_PATH) is no way round it.
            EXPECT_EQ(open(root, name, O_PATH, 0), -1);
            fs::remove(home + "/" + name);
            fs::rename(home + "/" + name + ".real", home + "/" + name);
        }
        // "..", even one that comes back down, and an absolute name.
        errno = 0;
        EXPECT_EQ(open(root, "Library/../Library/Caches/file", O_RDONLY, 0), -1);
        EXPECT_EQ(errno, EXDEV);
        EXPECT_EQ(open(root, "../outside/Library/Caches/file", O_RDONLY, 0), -1);
        EXPECT_EQ(open(root, outside + "/Library/Caches/file", O_RDONLY, 0), -1);
    }
    ::close(root);
    EXPECT_EQ(everything(outside), (std::vector<std::string>{outside + "/Library", outside + "/Library/Caches",
                                                             outside + "/Library/Caches/file"}));
}

TEST_F(HeldHome, AFolderOfTheHomeSwappedForALinkTakesNoFileOperationOutside) {
    // The home's own path runs through a link: that one is the user's.
    fs::create_directories(dir_.file("real"));
    fs::create_directory_symlink(dir_.file("real"), dir_.file("linked"));
    Error error;
    ASSERT_TRUE(Sandbox::setHome(dir_.file("linked") + "/home", &error)) << error.localizedDescription();
    const std::string caches = Sandbox::caches();
    ASSERT_TRUE(FileManager::writeFileAtomically(caches + "/mine", "mine", &error)) << error.localizedDescription();
    EXPECT_EQ(FileManager::readFile(caches + "/mine").value_or(""), "mine");
    ASSERT_TRUE(FileManager::createDirectory(caches + "/folder", true, 0700, &error)) << error.localizedDescription();

    // Caches swapped for a link to a folder of someone else's, as a rename
    // between a look and a use would leave it.
    const std::string outside = dir_.file("outside");
    fs::create_directories(outside + "/folder");
    write(outside + "/theirs", "theirs");
    write(outside + "/folder/kept", "kept");
    fs::rename(caches, caches + ".real");
    fs::create_directory_symlink(outside, caches);
    const std::vector<std::string> before = everything(outside);

    EXPECT_FALSE(FileManager::writeFileAtomically(caches + "/mine", "written"));
    EXPECT_FALSE(FileManager::writeFileAtomically(caches + "/theirs", "written"));
    EXPECT_FALSE(FileManager::readFile(caches + "/theirs"));
    EXPECT_FALSE(FileManager::exists(caches + "/theirs"));
    EXPECT_FALSE(FileManager::attributes(caches + "/theirs"));
    EXPECT_EQ(FileManager::contentsOfDirectory(caches), std::vector<std::string>{});
    EXPECT_FALSE(FileManager::createDirectory(caches + "/made", true, 0700));
    EXPECT_FALSE(FileManager::remove(caches + "/folder"));
    EXPECT_FALSE(FileManager::remove(caches + "/theirs"));
    EXPECT_FALSE(FileManager::preparePrivateFile(caches + "/private"));
    std::string unique = caches + "/probe-XXXXXX";
    EXPECT_LT(FileManager::makeUniqueFile(unique), 0);
    EXPECT_FALSE(FileManager::moveWithoutReplacing(caches + "/theirs", Sandbox::library() + "/taken"));
    EXPECT_FALSE(FileManager::move(Sandbox::library() + "/Preferences", caches + "/Preferences"));
    EXPECT_EQ(FileManager::moveAside(caches + "/theirs"), "");
    EXPECT_EQ(FileManager::openFile(caches + "/theirs", O_RDONLY), -1);
    EXPECT_EQ(everything(outside), before);
    EXPECT_EQ(FileManager::readFile(outside + "/theirs").value_or(""), "theirs");

    // Made again, the folder is a real one: the link is set aside, not followed.
    ASSERT_TRUE(Sandbox::prepare(&error)) << error.localizedDescription();
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(caches)));
    EXPECT_EQ(everything(outside), before);
    // And the home held is the one whose path above runs through the link.
    EXPECT_EQ(Sandbox::home(), dir_.file("real") + "/home");
    EXPECT_TRUE(FileManager::writeFileAtomically(caches + "/mine", "again"));
    EXPECT_EQ(FileManager::readFile(dir_.file("linked") + "/home/Library/Caches/mine").value_or(""), "again");
}
