// The built application in a real window on a virtual X display: the
// information button opens the information area and its Done closes it.
#include "tests/app/xvfb_window_support.h"

namespace {

class XvfbInfoWindow : public XvfbWindowFixture {};

}  // namespace

TEST_F(XvfbInfoWindow, TheInformationButtonOpensTheAreaAndDoneClosesIt) {
    startApp({"--battery", "0.5", "--device", "iPhone7,2"});
    std::string window;
    ASSERT_TRUE(within(kWindowBound, [&] {
        window = x("xdotool search --pid " + std::to_string(app_));
        window = window.substr(0, window.find('\n'));
        return !window.empty();
    })) << readAll(log_);
    std::shared_ptr<pg::Image> main;
    ASSERT_TRUE(within(kWindowBound, [&] {
        main = screenshot(window, "main");
        return main && main->pixelWidth() == 750 && saturated(main->pixelAt(375, 400));
    })) << readAll(log_);

    // The information button, 329..365 x 24..60 points at two pixels a point.
    const pg::Image::Pixel bar{255, 3, 169, 244}, selected{255, 3, 152, 220}, page{255, 225, 245, 254};
    x("xdotool mousemove --window " + window + " 694 84 click 1");
    std::shared_ptr<pg::Image> area;
    ASSERT_TRUE(within(kWindowBound, [&] {
        area = screenshot(window, "area");
        return area && area->pixelAt(10, 10) == bar && area->pixelAt(375, 1100) == page;
    })) << readAll(log_);
    EXPECT_EQ(area->pixelAt(125, 1245), selected) << "the first tab is selected";
    EXPECT_EQ(area->pixelAt(375, 1245), bar);

    // The middle of the tab bar: the More-apps tab, which carries Done.
    x("xdotool mousemove --window " + window + " 375 1300 click 1");
    std::shared_ptr<pg::Image> more;
    EXPECT_TRUE(within(kWindowBound, [&] {
        more = screenshot(window, "more");
        return more && more->pixelAt(375, 1245) == selected && more->pixelAt(125, 1245) == bar;
    })) << readAll(log_);

    // Done, at the left of the navigation bar, closes the whole area.
    x("xdotool mousemove --window " + window + " 74 84 click 1");
    std::shared_ptr<pg::Image> back;
    EXPECT_TRUE(within(kWindowBound, [&] {
        back = screenshot(window, "back");
        return back && back->pixelAt(10, 10) == (pg::Image::Pixel{255, 0, 0, 0}) && saturated(back->pixelAt(375, 400));
    })) << readAll(log_);
}
