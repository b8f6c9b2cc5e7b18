// What the built application prints about the sandbox it is given, started as
// a user starts it: a home that cannot serve ends the launch with one line;
// paths with control characters or bytes that are not UTF-8 are shown
// escaped, and no line can be forged; a socket where the time spent belongs
// is set aside like any other special file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/Unicode.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/MountNamespace.h"
#include "tests/support/OtherUser.h"
#include "tests/support/ShellTools.h"

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

class LaunchOutput : public ::testing::Test {
protected:
    // Runs the application headless with `args`; its exit status, with
    // everything it printed (standard output and error) in output_.
    int run(std::vector<std::string> args, const std::vector<std::string>& env = {},
            const std::vector<std::string>& prefix = {}) {
        args.insert(args.begin(), app_);
        if (otherUser_) args.insert(args.begin(), otherUserPrefix_.begin(), otherUserPrefix_.end());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        const std::string log = out_.file("log" + std::to_string(++runs_) + ".txt");
        const auto environment = qmtest::headlessEnvironment(env);
        const pid_t pid =
            qmtest::spawnLogged(args, otherUser_ ? otherUser_->environment(environment) : environment, log);
        const int status = pid > 0 ? qmtest::waitExit(pid, 90) : -1;
        output_ = qmtest::readAll(log);
        return status;
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // From now on run() starts a copy of the application of the other
    // user's, as that user; false when the tests cannot.
    bool runAsOtherUser() {
        if (!runACopy()) return false;
        otherUserPrefix_ = qmtest::OtherUser::prefix();
        return true;
    }
    // From now on run() starts a copy of the application's bundle, which the
    // test may change; false when it could not be made.
    bool runACopy() {
        if (!otherUser_) otherUser_ = std::make_unique<qmtest::OtherUser>();
        const std::string bundle = otherUser_->reachableCopy(QM_BUNDLE_DIR);
        if (bundle.empty()) return false;
        app_ = bundle + "/Quenmira";
        return true;
    }
    qmtest::TempDir out_, base_{qmtest::TempDir::kUnderTmp};
    std::unique_ptr<qmtest::OtherUser> otherUser_;
    std::string app_ = kApp;
    std::vector<std::string> otherUserPrefix_;
    std::string output_;
    int runs_ = 0;
};

// The permission bits of what stands at `path`, links not followed.
unsigned modeAt(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
}

// Every byte a terminal would act on rather than show: controls other than
// the line ends, and whatever is not valid UTF-8 or decodes to a C1 control.
std::string rawControlsIn(const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size();) {
        const auto c = pf::decodeUTF8At(text, i);
        const bool shown = c.valid && (c.codePoint == '\n' || (c.codePoint >= 0x20 && c.codePoint != 0x7f &&
                                                               !(c.codePoint >= 0x80 && c.codePoint <= 0x9f)));
        if (!shown) found += std::to_string(static_cast<unsigned char>(text[i])) + " at " + std::to_string(i) + "; ";
        i += c.length;
    }
    return found;
}

// A path made for a terminal: a title change (ESC ] ... BEL), a line break
// followed by what looks like a line of the application's own, a C1 CSI in
// UTF-8 and alone, a byte that is never UTF-8; and printable text that stays.
const std::string kHostileName =
    "h\x1b]0;owned\x07\nQuenmira: the sandbox is fine\xc2\x9b\x9b\xff-\xc3\xa9\xe9\x9b\xbb\xe6\xb1\xa0";
const std::string kHostileNameShown =
    "h\\x1b]0;owned\\x07\\nQuenmira: the sandbox is fine\\xc2\\x9b\\x9b\\xff-\xc3\xa9\xe9\x9b\xbb\xe6\xb1\xa0";

}  // namespace

// A home the user keeps whose Library/, Documents/ or tmp/ the system may not
// write in ends the launch at once: one line naming the folder, status 1,
// nothing stored, and the folder's mode as the user left it. Root may write
// anywhere, so as root the application runs as another user who owns the home.
TEST_F(LaunchOutput, AHomeWhoseFolderCannotBeWrittenEndsTheLaunchWithOneLine) {
    if (geteuid() == 0) {
        if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_EQ(lchown(base_.path().c_str(), qmtest::OtherUser::kUid, qmtest::OtherUser::kUid), 0);
        ASSERT_TRUE(runAsOtherUser());
    }
    const std::string h = base_.path() + "/home";
    const std::string png = base_.path() + "/x.png";
    // A used home: everything a launch makes is there.
    ASSERT_EQ(run({"--battery", "0.5", "--snapshot", png, "--home", h}), 0) << output_;
    ASSERT_TRUE(fs::exists(h + "/Library/Preferences/org.quenmira.battery.plist")) << output_;
    for (const char* folder : {"Library", "Documents", "tmp"}) {
        SCOPED_TRACE(folder);
        const std::string path = h + "/" + folder;
        ASSERT_EQ(chmod(path.c_str(), 0500), 0);
        const std::string settings = qmtest::readAll(h + "/Library/Preferences/org.quenmira.battery.plist");
        const std::string timeSpent = qmtest::readAll(h + "/Library/PZSDKTimeSpent.json");
        EXPECT_EQ(run({"--battery", "0.5", "--snapshot", png, "--home", h}), 1) << output_;
        EXPECT_EQ(output_, "Quenmira: the sandbox " + h + " cannot be written (" + folder +
                               ": Permission denied); nothing could be saved\n");
        EXPECT_EQ(modeAt(path), 0500u);
        EXPECT_EQ(qmtest::readAll(h + "/Library/Preferences/org.quenmira.battery.plist"), settings);
        EXPECT_EQ(qmtest::readAll(h + "/Library/PZSDKTimeSpent.json"), timeSpent);
        ASSERT_EQ(chmod(path.c_str(), 0700), 0);
    }
}

// A folder inside Library on a read-only mount cannot serve either, whoever
// runs the application: one line naming it, status 1.
TEST_F(LaunchOutput, AReadOnlyFolderInLibraryEndsTheLaunchWithOneLine) {
    if (const std::string why = qmtest::MountNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
    const std::string h = base_.path() + "/home";
    ASSERT_EQ(run({"--battery", "0.5", "--snapshot", base_.file("x.png"), "--home", h}), 0) << output_;
    EXPECT_EQ(run({"--battery", "0.5", "--snapshot", base_.file("y.png"), "--home", h}, {},
                  qmtest::MountNamespace::command("mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"",
                                                  {h + "/Library/Caches"}, {})),
              1)
        << output_;
    EXPECT_EQ(output_, "Quenmira: the sandbox " + h +
                           " cannot be written (Library/Caches: Read-only file system); nothing could be saved\n");
    EXPECT_FALSE(fs::exists(base_.file("y.png")));
}

// A home, a snapshot path and a data home whose names carry control
// characters and bytes that are not UTF-8: every line that names them shows
// them escaped, so that nothing reaches the terminal raw and every line is
// one the application wrote.
TEST_F(LaunchOutput, PathsWithControlCharactersAreShownEscaped) {
    const std::string named = base_.path() + "/" + kHostileName;
    const std::string data = base_.path() + "/data-" + kHostileName;
    const std::string png = base_.path() + "/" + kHostileName + ".png";
    // Damage that the launch names, each in a line of its own: a FIFO at the
    // time spent, a link where a folder belongs, a settings file that is no
    // property list.
    for (const std::string& home : {named, data + "/quenmira"}) {
        ASSERT_TRUE(fs::create_directories(home + "/Library/Preferences"));
        ASSERT_EQ(mkfifo((home + "/Library/PZSDKTimeSpent.json").c_str(), 0600), 0);
        ASSERT_EQ(symlink(base_.path().c_str(), (home + "/Library/Caches").c_str()), 0);
        std::ofstream(home + "/Library/Preferences/org.quenmira.battery.plist") << "not a property list";
    }
    const std::regex ownLine(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Quenmira\[\d+:\d+\] .*|The main screen is in .*)");
    struct Launch {
        std::vector<std::string> args, env;
        std::string homeShown;
    };
    const std::string baseShown = base_.path() + "/";
    for (const Launch& launch :
         {Launch{{"--home", named}, {}, baseShown + kHostileNameShown},
          Launch{{}, {"XDG_DATA_HOME=" + data}, baseShown + "data-" + kHostileNameShown + "/quenmira"}}) {
        SCOPED_TRACE(launch.homeShown);
        std::vector<std::string> args = {"--battery", "0.5", "--snapshot", png};
        args.insert(args.end(), launch.args.begin(), launch.args.end());
        ASSERT_EQ(run(args, launch.env), 0) << output_;
        EXPECT_EQ(rawControlsIn(output_), "") << output_;
        for (const std::string& line : lines(output_)) EXPECT_TRUE(std::regex_match(line, ownLine)) << line;
        const std::string lib = launch.homeShown + "/Library";
        EXPECT_EQ(qmtest::occurrences(output_, "Cannot read the time spent in " + lib + "/PZSDKTimeSpent.json"), 1)
            << output_;
        EXPECT_EQ(qmtest::occurrences(output_, "moved it to " + lib + "/PZSDKTimeSpent.json.corrupt-1"), 1) << output_;
        EXPECT_EQ(qmtest::occurrences(output_, "A link stood where the folder " + lib +
                                                   "/Caches belongs; it was set aside as " + lib + "/Caches.corrupt-1"),
                  1)
            << output_;
        EXPECT_EQ(qmtest::occurrences(output_,
                                      "UserDefaults: cannot read " + lib + "/Preferences/org.quenmira.battery.plist"),
                  1)
            << output_;
        EXPECT_EQ(qmtest::occurrences(output_, "The main screen is in " + baseShown + kHostileNameShown + ".png\n"), 1)
            << output_;
        EXPECT_TRUE(fs::exists(png));
    }
}

// A socket where the time spent belongs is set aside as a FIFO or a link is,
// with one line; the time spent is written anew beside it.
TEST_F(LaunchOutput, ASocketAtTheTimeSpentIsSetAsideWithOneLine) {
    const std::string h = base_.path();
    const std::string path = h + "/Library/PZSDKTimeSpent.json";
    ASSERT_TRUE(fs::create_directories(h + "/Library"));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    ASSERT_EQ(listen(fd, 1), 0);
    const int status = run({"--battery", "0.5", "--snapshot", out_.file("x.png"), "--home", h});
    close(fd);
    ASSERT_EQ(status, 0) << output_;
    // One line for it, and the snapshot's.
    const auto said = lines(output_);
    ASSERT_EQ(said.size(), 2u) << output_;
    EXPECT_NE(said[0].find("] Cannot read the time spent in " + path + " ("), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("; moved it to " + path + ".corrupt-1"), std::string::npos) << said[0];
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(path + ".corrupt-1")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_NE(qmtest::readAll(path).find("\"numSessions\":1"), std::string::npos) << qmtest::readAll(path);
}

// The bundle's Info.plist that cannot be read says so, and why, in one line:
// not that it names no interface file. Root may read any file, so as root
// the application runs as another user.
TEST_F(LaunchOutput, AnInfoPlistThatCannotBeReadSaysWhy) {
    if (geteuid() == 0) {
        if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(runAsOtherUser());
        ASSERT_EQ(chmod(base_.path().c_str(), 0777), 0);
    } else {
        ASSERT_TRUE(runACopy());
    }
    const std::string plist = fs::path(app_).parent_path() / "Info.plist";
    std::ofstream(plist, std::ios::trunc) << "<plist><dict><key>NSMainNibFile";
    EXPECT_EQ(run({"--battery", "0.5", "--snapshot", base_.file("x.png"), "--home", base_.file("h1")}), 1);
    EXPECT_EQ(lines(output_).size(), 1u) << output_;
    EXPECT_EQ(output_.rfind("Quenmira: the Info.plist " + plist + " cannot be read (", 0), 0u) << output_;

    ASSERT_EQ(chmod(plist.c_str(), 0), 0);
    EXPECT_EQ(run({"--battery", "0.5", "--snapshot", base_.file("x.png"), "--home", base_.file("h2")}), 1);
    EXPECT_EQ(output_, "Quenmira: the Info.plist " + plist + " cannot be read (Permission denied)\n");
}

// An interface file the launch loads that is not JSON, or cannot be read,
// ends the launch as the Info.plist does: one line naming the file and why,
// status 1, and no crash reported. Root may read any file, so as root the
// application runs as another user.
TEST_F(LaunchOutput, AnInterfaceFileThatCannotBeReadSaysWhy) {
    if (geteuid() == 0) {
        if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(runAsOtherUser());
        ASSERT_EQ(chmod(base_.path().c_str(), 0777), 0);
    } else {
        ASSERT_TRUE(runACopy());
    }
    const fs::path bundle = fs::path(app_).parent_path();
    int homes = 0;
    for (const auto& [name, device] :
         {std::pair{"MainWindow.json", "iPhone7,1"}, std::pair{"MainView.json", "iPhone7,1"},
          std::pair{"MainView-iPad.json", "iPad4,1"}}) {
        SCOPED_TRACE(name);
        const std::string file = bundle / name, kept = qmtest::readAll(file);
        ASSERT_NE(kept, "");
        for (const bool unreadable : {false, true}) {
            if (unreadable) {
                ASSERT_EQ(chmod(file.c_str(), 0), 0);
            } else {
                std::ofstream(file, std::ios::trunc) << "{\"objects\": [";
            }
            const std::string home = base_.file("h" + std::to_string(++homes));
            EXPECT_EQ(run({"--device", device, "--battery", "0.5", "--snapshot", base_.file("x.png"), "--home", home}),
                      1);
            EXPECT_EQ(lines(output_).size(), 1u) << output_;
            const std::string said = "Quenmira: the interface file " + file + " cannot be read (";
            EXPECT_EQ(output_.rfind(said + (unreadable ? "Permission denied)\n" : ""), 0), 0u) << output_;
            for (const auto& e : fs::recursive_directory_iterator(home))
                EXPECT_EQ(e.path().string().find("ovcrash"), std::string::npos) << e.path();
        }
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
        std::ofstream(file, std::ios::trunc) << kept;
    }
}

// Without HOME the user's own home, from the password database, holds the
// sandbox; a relative XDG_DATA_HOME is ignored. A home that cannot serve
// gives one line, status 1, and nothing made under /tmp or the working
// folder, where anyone could have prepared a link. As root the application
// runs as the other user, whose home (/nonexistent) cannot be made; any
// other user runs it under a password database of the launch's own that
// gives it a home in a folder it may not write in.
TEST_F(LaunchOutput, WithoutHomeNothingIsMadeInAFolderEveryUserMayMake) {
    std::string home;
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        if (const std::string why = qmtest::OtherUser::unavailable(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(runAsOtherUser());
        const struct passwd* nobody = getpwuid(qmtest::OtherUser::kUid);
        if (!nobody || fs::exists(nobody->pw_dir)) GTEST_SKIP() << "the other user has a home of its own";
        home = nobody->pw_dir;
        ASSERT_EQ(chmod(base_.path().c_str(), 0777), 0);
    } else {
        if (const std::string why = qmtest::MountNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
        const std::string locked = base_.file("locked");
        ASSERT_TRUE(fs::create_directory(locked));
        ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
        home = locked + "/home";
        // The system's database with this user's entry naming that home.
        const std::string uid = std::to_string(geteuid());
        std::string database;
        std::istringstream system(qmtest::readAll("/etc/passwd"));
        for (std::string line; std::getline(system, line);) {
            std::istringstream fields(line);
            std::string name, password, id;
            std::getline(fields, name, ':');
            std::getline(fields, password, ':');
            std::getline(fields, id, ':');
            if (id != uid) database += line + "\n";
        }
        const struct passwd* me = getpwuid(geteuid());
        database += std::string(me ? me->pw_name : "quenmira-test") + ":x:" + uid + ":" + std::to_string(getegid()) +
                    "::" + home + ":/bin/sh\n";
        prefix = qmtest::MountNamespace::command("mount --bind \"$0\" /etc/passwd && exec \"$@\"",
                                                 {out_.write("passwd", database)}, {});
    }
    const bool tmpHadOne = fs::exists("/tmp/.local/share/quenmira");
    prefix.insert(prefix.end(), {"env", "-u", "HOME", "--chdir=" + base_.path()});
    EXPECT_EQ(run({"--battery", "0.5", "--snapshot", base_.file("x.png")}, {"XDG_DATA_HOME=relative"}, prefix), 1);
    EXPECT_EQ(lines(output_).size(), 1u) << output_;
    EXPECT_EQ(output_.rfind("Quenmira: the sandbox " + home + "/.local/share/quenmira ", 0), 0u) << output_;
    EXPECT_FALSE(fs::exists(base_.file("relative")));
    if (!tmpHadOne) {
        EXPECT_FALSE(fs::exists("/tmp/.local/share/quenmira"));
    }
}
