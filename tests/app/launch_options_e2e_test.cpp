// The built application started as a user starts it, with the options a new
// user tries: what its snapshot shows after simulated time, and what it leaves
// in its sandbox for other users to see.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/graphics/Image.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ShellTools.h"

namespace {

namespace fs = std::filesystem;
namespace pg = platform::graphics;

const std::string kApp = std::string(QM_BUNDLE_DIR) + "/Quenmira";

class LaunchOptions : public ::testing::Test {
protected:
    // Runs the application headless with `args` and its own home; its exit status.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), kApp);
        args.insert(args.end(), {"--home", home_.path()});
        const pid_t pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment(), out_.file("log.txt"));
        return pid > 0 ? qmtest::waitExit(pid, 90) : -1;
    }
    qmtest::TempDir home_, out_;
};

// The brightest pixel of a region given in pixels.
int brightest(const pg::Image& img, int x0, int y0, int x1, int y1) {
    int best = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const auto p = img.pixelAt(x, y);
            best = std::max(best, int(std::min({p.r, p.g, p.b})));
        }
    return best;
}

}  // namespace

// A phone charging at 60 %: the charging mark and the figures, an undimmed
// "Time to full charge" among them, from the first frame on; the liquid once
// it has faded in.
TEST_F(LaunchOptions, AfterShowsTheFillAndTheRealBatteryStateFromTheFirstFrame) {
    for (const char* after : {"0", "3"}) {
        SCOPED_TRACE(after);
        const std::string png = out_.file(std::string("after-") + after + ".png");
        ASSERT_EQ(run({"--device", "iPhone7,2", "--battery", "0.6:charging", "--snapshot", png, "--after", after}), 0);
        auto img = pg::Image::fromFile(png, 1.0);
        ASSERT_NE(img, nullptr);
        ASSERT_EQ(img->pixelWidth(), 750);
        // The battery spans 117.5..257.5 x 47..260 points; its liquid, blue at 60 %,
        // fills the lower part once it has faded in (in the first 2 s).
        if (std::string(after) != "0") {
            const auto liquid = img->pixelAt(300, 470);
            EXPECT_GT(int(liquid.b), int(liquid.r) + 100) << "no fill in the battery";
        }
        // The charging mark, white, centred at 224 points in the liquid.
        EXPECT_GT(brightest(*img, 340, 400, 410, 500), 200) << "no charging mark";
        // The "Time to full charge" figure at full opacity (dimmed it would be grey).
        EXPECT_GT(brightest(*img, 600, 1060, 740, 1110), 240) << "the charge time is dimmed";
        // The charge in per cent and the music time, white: the real figures.
        EXPECT_GT(brightest(*img, 280, 600, 470, 670), 240) << "no percentage";
        EXPECT_GT(brightest(*img, 64, 790, 300, 820), 240) << "no music time";
    }
}

// Folders only their owner may open, settings and stores only their owner may
// read, whatever the umask the user runs it with.
TEST_F(LaunchOptions, TheSandboxIsPrivate) {
    const mode_t old = umask(0);  // inherited by the child
    const int status = run({"--battery", "0.5", "--snapshot", out_.file("x.png"), "--after", "2"});
    umask(old);
    ASSERT_EQ(status, 0);
    const std::string h = home_.path();
    for (const char* dir :
         {"/Documents", "/Library", "/Library/Caches", "/Library/Preferences", "/Library/Keychains", "/tmp"})
        EXPECT_EQ(qmtest::modeOf(h + dir), 0700u) << dir;
    EXPECT_EQ(qmtest::modeOf(h + "/Library/Preferences/org.quenmira.battery.plist"), 0600u);
    for (const char* store : {"/Library/tallymark-v3.sql", "/Library/tallymark-v2.sql"})
        if (fs::exists(h + store)) {
            EXPECT_EQ(qmtest::modeOf(h + store), 0600u) << store;
        }
}

// Without a display: a missing value is named as missing, and a service
// address the environment gives that cannot be used is refused before launch.
TEST_F(LaunchOptions, MissingValuesAndUnusableAddressesAreRefusedBeforeTheLaunch) {
    struct Case {
        std::vector<std::string> args, env;
        std::string says;
    };
    const Case cases[] = {
        {{"--home"}, {}, "Quenmira: --home: 1 required DIR missing\n"},
        {{"--home", "--snapshot", out_.file("f.png")}, {}, "Quenmira: --home: 1 required DIR missing\n"},
        {{"--home", home_.path()},
         {"QUENMIRA_CRASH_URL=http://127.0.0.1:9/some/path?x=1"},
         "QUENMIRA_CRASH_URL: the crash-report service must be"},
        {{"--home", home_.path()}, {"QUENMIRA_COLLECT_URL=not a url"}, "QUENMIRA_COLLECT_URL: the analytics"},
        {{"--home", home_.path()}, {"QUENMIRA_MAKER_HOST=http://127.0.0.1:9"}, "QUENMIRA_MAKER_HOST: the maker's"},
        // A line break or carriage return in a value neither splits the line nor overwrites it.
        {{"--home", home_.path()},
         {"QUENMIRA_CRASH_URL=http://h/\nQuenmira: fine\r"},
         "not \"http://h/\\nQuenmira: fine\\r\""},
        {{"--battery", "0.5\r\n\x1b[2K"}, {}, "not \"0.5\\r\\n\\x1b[2K\""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), kApp);
        const std::string log = out_.file("refused.txt");
        const pid_t pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment(c.env), log);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(qmtest::waitExit(pid, 30), 2) << c.says;
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_NE(text.find("Run with --help for the options.\n"), std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    }
    EXPECT_FALSE(fs::exists(home_.path() + "/Library")) << "nothing was launched";
}

// A home the user names keeps what it has at its top: a shared tmp/ stays
// shared; a file where the sandbox needs a folder ends the launch with one
// line naming it, and stays.
TEST_F(LaunchOptions, AHomeThatExistsKeepsWhatItHas) {
    const std::string h = home_.path();
    ASSERT_EQ(mkdir((h + "/tmp").c_str(), 0700), 0);
    ASSERT_EQ(chmod((h + "/tmp").c_str(), 01777), 0);
    auto modeWithStickyBit = [](const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
    };
    ASSERT_EQ(run({"--battery", "0.5", "--snapshot", out_.file("x.png")}), 0) << qmtest::readAll(out_.file("log.txt"));
    EXPECT_EQ(modeWithStickyBit(h + "/tmp"), 01777u);
    EXPECT_EQ(modeWithStickyBit(h + "/Library"), 0700u);

    fs::remove_all(h + "/Library");
    home_.write("Library", "the user's");
    EXPECT_EQ(run({"--battery", "0.5", "--snapshot", out_.file("y.png")}), 1);
    const std::string log = qmtest::readAll(out_.file("log.txt"));
    EXPECT_EQ(log, "Quenmira: the sandbox " + h + " cannot be written (Library is a file, not a folder, and is left as it is); nothing could be saved\n");
    EXPECT_EQ(qmtest::readAll(h + "/Library"), "the user's");
    EXPECT_FALSE(fs::exists(h + "/Library.corrupt-1"));
    EXPECT_EQ(modeWithStickyBit(h + "/tmp"), 01777u);
}
