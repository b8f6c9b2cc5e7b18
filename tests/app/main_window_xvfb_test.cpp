// The built application in a real window on a virtual X display: it shows the
// main screen, a click on the settings button flips to the settings sheet, the
// information button opens the information area and its Done closes it, and
// closing the window or Ctrl-C ends it as the platform ends an application.
#include "tests/app/xvfb_window_support.h"

namespace {

class XvfbWindow : public XvfbWindowFixture {};

TEST_F(XvfbWindow, ShowsTheMainScreenFlipsToSettingsAndClosesLikeTheApplicationEnds) {
    startApp({"--battery", "0.5", "--device", "iPhone7,2"});
    const std::string window = awaitWindow();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    const std::string geometry = x({"xdotool", "getwindowgeometry", window});
    EXPECT_NE(geometry.find("Geometry: 750x1334"), std::string::npos) << geometry;

    // The main screen: black around the battery, whose fill shows half a charge.
    const std::shared_ptr<pg::Image> main = awaitMainScreen(window);
    ASSERT_TRUE(main) << readAll(log_);
    EXPECT_EQ(main->pixelAt(10, 10), (pg::Image::Pixel{255, 0, 0, 0}));
    EXPECT_FALSE(saturated(main->pixelAt(375, 200)));  // above half the battery: empty
    fs::copy_file(out_.file("main.png"), std::string(QM_BUILD_DIR) + "/xvfb-main-screen.png",
                  fs::copy_options::overwrite_existing);

    // The settings button, 10..46 x 24..60 points at two pixels a point.
    x({"xdotool", "mousemove", "--window", window, "56", "84", "click", "1"});
    const pg::Image::Pixel sheet{255, 0x15, 0x19, 0x1f};
    std::shared_ptr<pg::Image> settings;
    EXPECT_TRUE(within(kWindowBound, [&] {
        settings = screenshot(window, "settings");
        return settings && settings->pixelAt(10, 10) == sheet && settings->pixelAt(375, 400) == sheet;
    })) << readAll(log_);
    if (settings)
        fs::copy_file(out_.file("settings.png"), std::string(QM_BUILD_DIR) + "/xvfb-settings-sheet.png",
                      fs::copy_options::overwrite_existing);

    // Closing the window resigns, enters the background (the time spent is
    // written) and terminates (the defaults are saved).
    run({"python3", peer_, "close", window}, qmtest::RunOptions().adding({"DISPLAY=" + display_}));
    EXPECT_EQ(waitApp(), 0) << readAll(log_);
    EXPECT_EQ(run({"python3", "-c",
                   "import json, plistlib, sys; h = sys.argv[1]; "
                   "t = json.load(open(h + '/Library/PZSDKTimeSpent.json')); "
                   "d = plistlib.load(open(h + '/Library/Preferences/org.quenmira.battery.plist', 'rb')); "
                   "print(t['numSessions'], d['healthPercent'])",
                   home_.path()},
                  qmtest::RunOptions().mergingErrors())
                  .out,
              "1 100.0\n");
}

TEST_F(XvfbWindow, TheInformationButtonOpensTheAreaAndDoneClosesIt) {
    startApp({"--battery", "0.5", "--device", "iPhone7,2"});
    const std::string window = awaitWindow();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    ASSERT_TRUE(awaitMainScreen(window)) << readAll(log_);

    // The information button, 329..365 x 24..60 points at two pixels a point.
    const pg::Image::Pixel bar{255, 3, 169, 244}, selected{255, 3, 152, 220}, page{255, 225, 245, 254};
    x({"xdotool", "mousemove", "--window", window, "694", "84", "click", "1"});
    std::shared_ptr<pg::Image> area;
    ASSERT_TRUE(within(kWindowBound, [&] {
        area = screenshot(window, "area");
        return area && area->pixelAt(10, 10) == bar && area->pixelAt(375, 1100) == page;
    })) << readAll(log_);
    EXPECT_EQ(area->pixelAt(125, 1245), selected) << "the first tab is selected";
    EXPECT_EQ(area->pixelAt(375, 1245), bar);

    // The middle of the tab bar: the More-apps tab, which carries Done.
    x({"xdotool", "mousemove", "--window", window, "375", "1300", "click", "1"});
    std::shared_ptr<pg::Image> more;
    EXPECT_TRUE(within(kWindowBound, [&] {
        more = screenshot(window, "more");
        return more && more->pixelAt(375, 1245) == selected && more->pixelAt(125, 1245) == bar;
    })) << readAll(log_);

    // Done, at the left of the navigation bar, closes the whole area.
    x({"xdotool", "mousemove", "--window", window, "74", "84", "click", "1"});
    std::shared_ptr<pg::Image> back;
    EXPECT_TRUE(within(kWindowBound, [&] {
        back = screenshot(window, "back");
        return back && back->pixelAt(10, 10) == (pg::Image::Pixel{255, 0, 0, 0}) && saturated(back->pixelAt(375, 400));
    })) << readAll(log_);
}

// Ctrl-C in the terminal ends the application as SIGTERM does: resigning,
// entering the background and terminating.
TEST(SignalEnd, SigintEndsCleanly) {
    qmtest::TempDir home, out;
    const std::string log = out.file("app.log");
    const pid_t app = qmtest::spawnLogged({kApp, "--headless", "--battery", "0.5", "--home", home.path()},
                                          qmtest::headlessEnvironment(), log);
    ASSERT_GT(app, 0);
    // Up once the launch is under way and has written its settings; a signal
    // is handled on the main loop, after activation.
    EXPECT_TRUE(within(kWindowBound, [&] {
        return fs::exists(home.path() + "/Library/Preferences/org.quenmira.battery.plist") &&
               qmtest::launchIsUnderWay(app);
    })) << readAll(log);
    ASSERT_EQ(kill(app, SIGINT), 0);
    int status = 0;
    const bool ended = within(kWindowBound, [&] { return waitpid(app, &status, WNOHANG) == app; });
    if (!ended) {
        kill(app, SIGKILL);
        waitpid(app, nullptr, 0);
    }
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readAll(log);
    EXPECT_NE(readAll(log).find("Received SIGINT, terminating"), std::string::npos) << readAll(log);
    EXPECT_EQ(run({"python3", "-c",
                   "import json, plistlib, sys; h = sys.argv[1]; "
                   "t = json.load(open(h + '/Library/PZSDKTimeSpent.json')); "
                   "d = plistlib.load(open(h + '/Library/Preferences/org.quenmira.battery.plist', 'rb')); "
                   "print(t['numSessions'], d['healthPercent'])",
                   home.path()},
                  qmtest::RunOptions().mergingErrors())
                  .out,
              "1 100.0\n");
}

}  // namespace
