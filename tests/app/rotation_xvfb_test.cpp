// A tablet in a real window turns with the keyboard, as a simulator's rotate
// commands turn it: Ctrl+Left brings the main screen to landscape and the
// window takes the landscape size.
#include "tests/app/xvfb_window_support.h"

namespace {

class XvfbRotation : public XvfbWindowFixture {};

TEST_F(XvfbRotation, CtrlLeftTurnsTheTabletsMainScreenToLandscape) {
    startApp({"--battery", "0.5", "--device", "iPad4,1"});
    const std::string window = awaitWindow();
    ASSERT_FALSE(window.empty()) << readAll(log_);
    std::shared_ptr<pg::Image> portrait;
    ASSERT_TRUE(within(60, [&] {
        portrait = screenshot(window, "portrait");
        return portrait && portrait->pixelHeight() > portrait->pixelWidth();
    })) << readAll(log_);

    // Pressed as a user presses it, into the window under the pointer.
    x({"xdotool", "mousemove", "--window", window, "10", "10"});
    x({"xdotool", "key", "ctrl+Left"});
    std::shared_ptr<pg::Image> landscape;
    EXPECT_TRUE(within(60,
                       [&] {
                           landscape = screenshot(window, "landscape");
                           // The whole picture is there: the 1024 x 768 screen at the window's zoom.
                           return landscape && landscape->pixelWidth() > landscape->pixelHeight() &&
                                  std::abs(landscape->pixelWidth() * 3 - landscape->pixelHeight() * 4) < 8;
                       }))
        << readAll(log_) << x({"xdotool", "getwindowgeometry", window})
        << (landscape ? std::to_string(landscape->pixelWidth()) + "x" + std::to_string(landscape->pixelHeight()) : "");
    // The battery's fill (half a charge) shows in the turned picture.
    bool coloured = false;
    for (int y = 0; landscape && y < landscape->pixelHeight() && !coloured; y += 8)
        for (int x = 0; x < landscape->pixelWidth() && !coloured; x += 8)
            coloured = saturated(landscape->pixelAt(x, y));
    EXPECT_TRUE(coloured);
    if (landscape)
        fs::copy_file(out_.file("landscape.png"), std::string(QM_BUILD_DIR) + "/xvfb-tablet-landscape.png",
                      fs::copy_options::overwrite_existing);
}

}  // namespace
