// The built application in a real window, with the maker's server on
// loopback: More apps lists the served entries with their icon, and shows
// them again after a relaunch without the server; About shows the logo and
// the page; Feedback's yes leads to the thanks, whose mail says none is set up.
#include "more_apps_support.h"
#include "tests/app/xvfb_window_support.h"

namespace {

const std::string kList =
    "APPLISTVERSION|5\n"
    "comtarnowickflashlight||flash.png|https://tarnowick.example/s/flash|Flashlight|A bright light when you need one.\n"
    "comtarnowicknotes|||http://notes.example/|Notes|Quick notes.\n";

const pg::Image::Pixel kMagenta{255, 255, 0, 255};

int count(const pg::Image& image, int x0, int y0, int x1, int y1, const std::function<bool(pg::Image::Pixel)>& test) {
    int n = 0;
    for (int y = y0; y < y1; y += 2)
        for (int x = x0; x < x1; x += 2) n += test(image.pixelAt(x, y));
    return n;
}

bool dark(pg::Image::Pixel p) { return p.r < 90 && p.g < 90 && p.b < 90; }

class XvfbInfoTabs : public XvfbWindowFixture {
protected:
    void TearDown() override {
        unsetenv(TWKOneApp::kMakerHostEnvironmentVariable);
        XvfbWindowFixture::TearDown();
    }
    // Starts the application and waits for its main screen; the window's id.
    std::string launch() {
        startApp({"--battery", "0.5", "--device", "iPhone7,2"});
        const std::string window = awaitWindow();
        if (!window.empty()) awaitMainScreen(window);
        return window;
    }
    void click(const std::string& window, int px, int py) {
        x({"xdotool", "mousemove", "--window", window, std::to_string(px), std::to_string(py), "click", "1"});
    }
    // Waits for a screenshot that passes `test`; it is kept beside the build's snapshots.
    std::shared_ptr<pg::Image> await(const std::string& window, const std::string& name,
                                     const std::function<bool(const pg::Image&)>& test) {
        std::shared_ptr<pg::Image> shot;
        within(kWindowBound, [&] {
            shot = screenshot(window, name);
            return shot && test(*shot);
        });
        if (shot) {
            fs::create_directories(std::string(QM_BUILD_DIR) + "/snapshots");
            shot->writePNG(std::string(QM_BUILD_DIR) + "/snapshots/window-" + name + ".png");
        }
        return shot;
    }
    // The information button, then the More-apps tab.
    std::shared_ptr<pg::Image> openMoreApps(const std::string& window, const std::string& name) {
        click(window, 694, 84);
        await(window, name + "-area", [](const pg::Image& s) {
            return s.pixelAt(375, 1245) == pg::Image::Pixel{255, 3, 169, 244};
        });
        click(window, 375, 1300);
        return await(window, name, [](const pg::Image& s) {
            return count(s, 0, 128, 200, 420, [](auto p) { return p == kMagenta; }) > 100 &&
                   count(s, 160, 128, 750, 420, dark) > 50;
        });
    }
    void close(const std::string& window) {
        run({"python3", peer_, "close", window}, qmtest::RunOptions().adding({"DISPLAY=" + display_}));
        EXPECT_EQ(waitApp(), 0) << readAll(log_);
    }
};

}  // namespace

TEST_F(XvfbInfoTabs, MoreAppsShowsTheServedListAndKeepsItForTheNextLaunch) {
    qmtest::HttpServerKit server;
    server.on("/applist_en", qmtest::HttpServerKit::Reply::text(kList).gzipped());
    server.on("/appicons/flash-2x.png",
              qmtest::HttpServerKit::Reply::bytes(infotest::solidPNG(114, 114, 255, 0, 255), "image/png"));
    setenv(TWKOneApp::kMakerHostEnvironmentVariable, ("127.0.0.1:" + std::to_string(server.port())).c_str(), 1);

    std::string window = launch();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    auto list = openMoreApps(window, "more-apps");
    ASSERT_TRUE(list && count(*list, 0, 128, 200, 420, [](auto p) { return p == kMagenta; }) > 100) << readAll(log_);
    // Two rows of text: the second row's text lies below the first row.
    EXPECT_GT(count(*list, 160, 128, 750, 270, dark), 50);
    EXPECT_GT(count(*list, 160, 290, 750, 420, dark), 50);
    auto lists = server.requests("/applist_en");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].params.at("hw"), "iPhone7,2");
    EXPECT_NE(lists[0].query.find("&hw=iPhone7%2C2&"), std::string::npos) << lists[0].query;
    EXPECT_EQ(server.requests("/appicons/flash-2x.png").size(), 1u);
    close(window);

    // Next launch, the server gone: the same rows and icon, from the stored list and the caches folder.
    const size_t before = server.requestCount();
    server.stop();
    window = launch();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    list = openMoreApps(window, "more-apps-relaunch");
    ASSERT_TRUE(list && count(*list, 0, 128, 200, 420, [](auto p) { return p == kMagenta; }) > 100) << readAll(log_);
    EXPECT_GT(count(*list, 160, 290, 750, 420, dark), 50);
    EXPECT_EQ(server.requestCount(), before);

    // About: the logo's gold arc on the tinted block, and the page below.
    click(window, 625, 1300);
    auto about = await(window, "about", [](const pg::Image& s) {
        return count(s, 0, 128, 300, 400, [](auto p) { return p.r > 240 && p.g > 150 && p.b < 90; }) > 20 &&
               count(s, 40, 600, 710, 1200, dark) > 100;
    });
    EXPECT_TRUE(about && count(*about, 40, 600, 710, 1200, dark) > 100) << readAll(log_);

    // Feedback: "yes" leads to the thanks screen; its mail button, with no account, to the alert.
    click(window, 125, 1300);
    await(window, "feedback", [](const pg::Image& s) {
        return s.pixelAt(375, 412) == pg::Image::Pixel{255, 3, 169, 244};
    });
    click(window, 375, 412);
    auto thanks = await(window, "thanks", [](const pg::Image& s) {
        return s.pixelAt(375, 720) == pg::Image::Pixel{255, 3, 169, 244};  // the mail button, in Weibo's place
    });
    ASSERT_TRUE(thanks) << readAll(log_);
    click(window, 375, 720);
    auto alert = await(window, "no-mail", [](const pg::Image& s) {
        return s.pixelAt(375, 560).r > 240 && s.pixelAt(20, 560).r < 200;  // the alert over the dimmed screen
    });
    EXPECT_TRUE(alert && alert->pixelAt(20, 560).r < 200) << readAll(log_);
    EXPECT_NE(readAll(log_).find("No mail configured!"), std::string::npos);
    close(window);
}
