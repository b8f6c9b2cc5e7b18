// What the README says of the application, held against the built one: its
// example makes the picture it shows, without writing over a file of the
// sources, and the line it quotes for a link that cannot be opened is the
// line the application prints.
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/xvfb_window_support.h"

namespace {

const std::string kReadme = std::string(QM_SOURCE_DIR) + "/README.md";

// The README's lines.
std::vector<std::string> readmeLines() {
    std::vector<std::string> lines;
    std::istringstream in(readAll(kReadme));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The words of the README's `make run ARGS="..."` example; none when it has none.
std::vector<std::string> exampleArgs() {
    static const std::string kStart = "make run ARGS=\"";
    for (const std::string& line : readmeLines()) {
        const size_t at = line.find(kStart);
        if (at == std::string::npos) continue;
        const size_t end = line.find('"', at + kStart.size());
        std::istringstream words(line.substr(at + kStart.size(), end - at - kStart.size()));
        std::vector<std::string> args;
        for (std::string word; words >> word;) args.push_back(word);
        return args;
    }
    return {};
}

// The example writes its snapshot into the build folder, which git ignores,
// and makes the picture the README shows (docs/screenshot.png): the same
// size and, but for the odd pixel of the animation's frame, the same pixels.
TEST(Readme, TheSnapshotExampleMakesThePictureShownAndWritesNoFileOfTheSources) {
    std::vector<std::string> args = exampleArgs();
    ASSERT_FALSE(args.empty()) << "no make run example in " << kReadme;
    size_t snapshot = 0;
    while (snapshot + 1 < args.size() && args[snapshot] != "--snapshot") ++snapshot;
    ASSERT_LT(snapshot + 1, args.size()) << "the example writes no snapshot";
    EXPECT_EQ(args[snapshot + 1].rfind("build/", 0), 0u) << args[snapshot + 1];

    qmtest::TempDir home, out;
    args[snapshot + 1] = out.file("example.png");
    args.insert(args.begin(), kApp);
    args.insert(args.end(), {"--home", home.path()});
    const std::string log = out.file("log.txt");
    const pid_t pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment(), log);
    ASSERT_EQ(qmtest::waitExit(pid, 90), 0) << readAll(log);
    const auto made = pg::Image::fromFile(out.file("example.png"), 1.0);
    const auto shown = pg::Image::fromFile(std::string(QM_SOURCE_DIR) + "/docs/screenshot.png", 1.0);
    ASSERT_TRUE(made && shown);
    ASSERT_EQ(made->pixelWidth(), shown->pixelWidth());
    ASSERT_EQ(made->pixelHeight(), shown->pixelHeight());
    int differing = 0;
    for (int y = 0; y < made->pixelHeight(); ++y)
        for (int x = 0; x < made->pixelWidth(); ++x) differing += !(made->pixelAt(x, y) == shown->pixelAt(x, y));
    EXPECT_LT(differing, made->pixelWidth() * made->pixelHeight() / 100);
}

class XvfbReadme : public XvfbWindowFixture {};

// Without xdg-open, the rating link (information button, "I like it", then
// the review button) cannot be opened: the application says so in the line
// the README quotes.
TEST_F(XvfbReadme, ALinkThatCannotBeOpenedIsSaidInTheLineItQuotes) {
    std::string quoted;
    for (const std::string& line : readmeLines())
        if (line.rfind("    Cannot open https://", 0) == 0) quoted = line.substr(4);
    ASSERT_NE(quoted, "") << "no such line in " << kReadme;

    // A PATH without xdg-open, and the locale the README's line is in.
    startApp({"--battery", "0.5", "--device", "iPhone7,2"},
             {"PATH=" + out_.file("no-programs"), "LC_ALL=", "LC_MESSAGES=", "LANG=en_US.UTF-8"});
    const std::string window = awaitWindow();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    ASSERT_TRUE(awaitMainScreen(window)) << readAll(log_);
    // The information button, 329..365 x 24..60 points at two pixels a point.
    x({"xdotool", "mousemove", "--window", window, "694", "84", "click", "1"});
    const pg::Image::Pixel page{255, 225, 245, 254};
    ASSERT_TRUE(within(kWindowBound, [&] {
        const auto area = screenshot(window, "area");
        return area && area->pixelAt(375, 1100) == page;
    })) << readAll(log_);
    // At 186 points down the Feedback tab has "I like it", and the screen
    // that brings the review button there: clicked until the link is tried.
    const auto said = [&] { return readAll(log_).find("Cannot open ") != std::string::npos; };
    EXPECT_TRUE(within(kWindowBound, [&] {
        if (!said()) x({"xdotool", "mousemove", "--window", window, "375", "372", "click", "1"});
        return within(1, said);
    })) << readAll(log_);
    const std::string log = readAll(log_);
    const size_t at = log.find("] Cannot open ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + 2, log.find('\n', at) - at - 2), quoted) << log;
}

}  // namespace
