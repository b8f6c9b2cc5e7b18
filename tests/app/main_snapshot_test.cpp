// Headless pictures of the main screen and the settings sheet on played
// devices, checked by regions: the battery's fill colour and height, the
// percentage, and which rows show. Each device plays in a process of its own:
// the Snapshots tests start the SnapshotTest scenarios.
#include <filesystem>

#include "app/BatteryFillView.h"
#include "app/SettingsController.h"
#include "framework/DeviceDetection.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/ui/HeadlessPresenter.h"
#include "tests/app/main_test_support.h"

using namespace qmtest;
using platform::graphics::Image;
using platform::graphics::Point;
using platform::graphics::Rect;

namespace {

std::string snapshotPath(const std::string& name) {
    std::filesystem::create_directories(std::string(QM_BUILD_DIR) + "/snapshots");
    return std::string(QM_BUILD_DIR) + "/snapshots/" + name + ".png";
}

struct Rgb {
    double r, g, b;
};

// The mean colour of a region given in points.
Rgb mean(const Image& img, const Rect& r) {
    const double k = img.scale();
    double sr = 0, sg = 0, sb = 0;
    int n = 0;
    for (int y = int(r.minY() * k); y < int(r.maxY() * k); ++y)
        for (int x = int(r.minX() * k); x < int(r.maxX() * k); ++x) {
            auto p = img.pixelAt(x, y);
            sr += p.r, sg += p.g, sb += p.b, ++n;
        }
    return n ? Rgb{sr / n / 255, sg / n / 255, sb / n / 255} : Rgb{0, 0, 0};
}

// Whether bright text is drawn in the region (some near-white pixels).
bool hasText(const Image& img, const Rect& r) {
    const double k = img.scale();
    for (int y = int(r.minY() * k); y < int(r.maxY() * k); ++y)
        for (int x = int(r.minX() * k); x < int(r.maxX() * k); ++x) {
            auto p = img.pixelAt(x, y);
            if (p.r > 200 && p.g > 200 && p.b > 200) return true;
        }
    return false;
}

// The view's frame in window points.
Rect inWindow(const std::shared_ptr<platform::ui::View>& v) { return v->convertRectTo(v->bounds(), nullptr); }

class SnapshotTest : public ScreenFixture {
protected:
    std::shared_ptr<Image> snapshot(const std::string& name) {
        auto presenter = std::make_shared<platform::ui::HeadlessPresenter>();
        window_->setPresenter(presenter);
        // A battery render shows on the pass after the one that asked for it.
        for (int i = 0; i < 3; ++i) {
            window_->composedImage();
            pf::RunLoop::main().runUntilIdle();
        }
        pf::Error error;
        EXPECT_TRUE(presenter->snapshot(snapshotPath(name), &error)) << error.localizedDescription();
        return window_->composedImage();
    }

    // The main screen of `identifier` at `level`; checks what every screen shows.
    void mainScreen(const std::string& identifier, float level, pu::BatteryState state, const std::string& name,
                    const std::function<void(MainViewController&, const Image&)>& more) {
        {
            play(identifier, level, state);
            auto vc = showMain(3.0);
            vc->stopUpdateTimer();  // no bubble mid-rise in the picture
            for (auto& b : vc->bubbles()) {
                b->layer()->removeAllAnimations();
                b->setAlpha(0);
            }
            pf::RunLoop::main().runFor(2.0);
            auto img = snapshot(name);
            ASSERT_NE(img, nullptr);
            EXPECT_EQ(img->pixelWidth(), int(window_->bounds().width() * window_->scale()));

            // The battery: filled in the band colour up to the level, empty above.
            auto fill = vc->outlet<BatteryFillView>("viewBatteryFill");
            const Rect battery = inWindow(fill);
            const auto expected = SettingsController::colorForChargeFraction(level);
            const double fillTop = battery.maxY() - fill->bounds().height() * level * 0.8;
            Rgb in = mean(*img, Rect(battery.midX() - 10, (fillTop + battery.maxY()) / 2 - 5, 20, 10));
            const bool greenBand =
                expected.greenValue() > expected.redValue() && expected.greenValue() > expected.blueValue();
            const bool redBand = expected.redValue() > 0.5;
            if (redBand) {
                EXPECT_GT(in.r, in.g + 0.15) << "the fill should be red or orange";
                EXPECT_GT(in.r, in.b + 0.15);
            } else if (greenBand) {
                EXPECT_GT(in.g, in.r + 0.15) << "the fill should be green";
            } else {
                EXPECT_GT(in.b, in.r + 0.15) << "the fill should be blue";
            }
            Rgb above = mean(*img, Rect(battery.midX() - 10, battery.minY() + 30, 20, 10));
            EXPECT_LT(std::abs(above.r - above.b) + std::abs(above.g - above.b), 0.25) << "above the fill: no tint";

            EXPECT_EQ(vc->label("labelPercentage")->text(), platform::foundation::format("%.0f %%", level * 100.0));
            EXPECT_TRUE(hasText(*img, inWindow(vc->label("labelPercentage"))));
            EXPECT_TRUE(hasText(*img, inWindow(vc->label("labelTimeMusic"))));
            EXPECT_EQ(vc->outlet<pu::ImageView>("imageCharging")->isHidden(), state == pu::BatteryState::Unplugged);
            more(*vc, *img);
        }
    }
};

}  // namespace

TEST_F(SnapshotTest, PhoneChargingAtThreeQuarters) {
    mainScreen("iPhone7,2", 0.75f, pu::BatteryState::Charging, "main-iphone-75-charging",
               [](MainViewController& vc, const Image& img) {
                   EXPECT_EQ(DeviceDetection::detectDevice(), 15);
                   EXPECT_FALSE(vc.label("labelTimeTalk")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeNet3G")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeFlashlight")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeGPSNavigation")->isHidden());
                   EXPECT_TRUE(hasText(img, inWindow(vc.label("labelTimeTalk"))));
                   EXPECT_TRUE(hasText(img, inWindow(vc.label("labelTimeNet3G"))));
                   // The charging mark sits low, in the liquid, above half charge.
                   EXPECT_DOUBLE_EQ(vc.outlet<pu::ImageView>("imageCharging")->center().y, 224.0);
               });
}

TEST_F(SnapshotTest, PhoneOnBatteryAtFifteen) {
    mainScreen("iPhone7,2", 0.15f, pu::BatteryState::Unplugged, "main-iphone-15-battery",
               [](MainViewController& vc, const Image&) {
                   EXPECT_NEAR(vc.label("labelTimeChargeTime")->alpha(), 0.7, 1e-6);
                   EXPECT_DOUBLE_EQ(vc.outlet<pu::ImageView>("imageCharging")->center().y, 110.0);
               });
}

TEST_F(SnapshotTest, TabletChargingAtThreeQuarters) {
    mainScreen("iPad4,1", 0.75f, pu::BatteryState::Charging, "main-ipad-75-charging",
               [](MainViewController& vc, const Image& img) {
                   EXPECT_EQ(DeviceDetection::detectDevice(), 19);
                   EXPECT_EQ(vc.outlet<pu::ScrollView>("mainScrollView"), nullptr);
                   EXPECT_EQ(vc.outlet("detailView")->center(), (Point{222.0, 730.0}));
                   // A Wi-Fi tablet: no talk, no GPS, no mobile web.
                   EXPECT_TRUE(vc.label("labelTimeTalk")->isHidden());
                   EXPECT_TRUE(vc.label("labelTimeGPSNavigation")->isHidden());
                   EXPECT_TRUE(vc.label("labelTimeNet3G")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeNetWifi")->isHidden());
                   EXPECT_TRUE(hasText(img, inWindow(vc.label("labelTimeNetWifi"))));
                   EXPECT_FALSE(hasText(img, inWindow(vc.label("labelTimeTalk"))));
                   // The Wi-Fi figure beside its title; a mobile one, where shown, below it.
                   auto midY = [&](const char* label) { return inWindow(vc.label(label)).midY(); };
                   EXPECT_NEAR(midY("labelTimeNetWifi"), midY("labelTitleWeb"), 1.0);
                   EXPECT_GT(midY("labelTimeNet3G"), midY("labelTimeNetWifi") + 15);
                   EXPECT_LT(midY("labelTimeNet3G"), midY("labelTitleVideo") - 15);
               });
}

// The glass (back layer) and its shine (top layer) are drawn for each other:
// the shine's rim light runs along the top of the glass outline, and its
// streaks reach down to near the glass's bottom edge.
TEST_F(SnapshotTest, TabletShineLiesOnTheGlass) {
    play("iPad4,1", 0.5f, pu::BatteryState::Unplugged);
    auto vc = showMain(3.0);
    vc->stopUpdateTimer();
    auto fill = vc->outlet<BatteryFillView>("viewBatteryFill");
    const Rect battery = inWindow(fill);
    const std::shared_ptr<pu::Layer> layers[] = {fill->backLayer(), fill->batLayer(), fill->shineLayer()};
    // Composes the screen with only layers[keep] of the battery shown (-1: none).
    auto only = [&](int keep) {
        for (int i = 0; i < 3; ++i) layers[i]->setHidden(i != keep);
        return snapshot(keep == 0 ? "ipad-glass" : keep == 2 ? "ipad-shine" : "ipad-no-battery");
    };
    auto none = only(-1), glass = only(0), shine = only(2);
    for (auto& l : layers) l->setHidden(false);
    snapshot("ipad-battery");

    // Rows (in points, window space) of column x where `img` is clearly brighter than without the battery.
    const double k = none->scale();
    auto lit = [&](const Image& img, double x) {
        std::vector<double> rows;
        for (int y = int(battery.minY() * k); y < int((battery.minY() + battery.height() * 1.17) * k); ++y) {
            const auto a = img.pixelAt(int(x * k), y), b = none->pixelAt(int(x * k), y);
            if (a.r + a.g + a.b > b.r + b.g + b.b + 3 * 40) rows.push_back(y / k);
        }
        return rows;
    };
    // Left of the middle, clear of the terminal, the corners and the streaks.
    const auto glassRows = lit(*glass, battery.minX() + battery.width() * 0.27);
    const auto rimRows = lit(*shine, battery.minX() + battery.width() * 0.27);
    ASSERT_FALSE(glassRows.empty());
    ASSERT_FALSE(rimRows.empty());
    const double glassTop = glassRows.front(), glassBottom = glassRows.back();
    EXPECT_NEAR(rimRows.front(), glassTop, 2.0) << "the rim light must sit on the glass's top edge";

    // The bright streak, a seventh of the way in.
    const auto streak = lit(*shine, battery.minX() + battery.width() * 0.15);
    ASSERT_FALSE(streak.empty());
    EXPECT_GT(streak.front(), glassTop);
    EXPECT_LT(streak.back(), glassBottom);
    EXPECT_GT(streak.back(), glassBottom - 0.1 * (glassBottom - glassTop))
        << "the shine must cover the glass down to its foot";
}

TEST_F(SnapshotTest, TabletOnBatteryAtFifteen) {
    mainScreen("iPad4,1", 0.15f, pu::BatteryState::Unplugged, "main-ipad-15-battery",
               [](MainViewController& vc, const Image&) { EXPECT_TRUE(vc.label("labelTimeTalk")->isHidden()); });
}

TEST_F(SnapshotTest, TabletTurnsToLandscape) {
    {
        play("iPad4,1", 0.75f, pu::BatteryState::Charging);
        auto vc = showMain(3.0);
        vc->stopUpdateTimer();
        ASSERT_TRUE(pu::Application::shared().rotateTo(pu::InterfaceOrientation::LandscapeLeft));
        pf::RunLoop::main().runFor(0.2);
        EXPECT_LT(vc->outlet("detailView")->layer()->presentationLayer()->opacity(), 1.0f);
        pf::RunLoop::main().runFor(3.0);
        EXPECT_EQ(vc->outlet("detailView")->center(), (Point{530.0, 408.0}));
        EXPECT_DOUBLE_EQ(vc->outlet("detailView")->alpha(), 1.0);
        auto img = snapshot("main-ipad-75-landscape");
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(img->size().width, 1024);
        EXPECT_TRUE(hasText(*img, inWindow(vc->label("labelTimeMusic"))));
    }
}

TEST_F(SnapshotTest, SimulatorShowsEveryRowButTheCameraOnes) {
    mainScreen("x86_64", 0.75f, pu::BatteryState::Charging, "main-simulator-75-charging",
               [](MainViewController& vc, const Image&) {
                   EXPECT_EQ(DeviceDetection::detectDevice(), 30);  // a phone the rules do not list
                   EXPECT_TRUE(vc.label("labelTakePhotos")->isHidden());
                   EXPECT_TRUE(vc.label("labelVideoRecord")->isHidden());
                   EXPECT_TRUE(vc.label("labelVideoChat")->isHidden());
                   EXPECT_TRUE(vc.label("labelTimeFlashlight")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeGPSNavigation")->isHidden());
                   EXPECT_FALSE(vc.label("labelTimeTalk")->isHidden());
               });
}

TEST_F(SnapshotTest, PodMovesItsRowsOnceAndItsMusicIconBackToTheInsetOnAppearing) {
    {
        play("iPod5,1", 0.75f, pu::BatteryState::Unplugged);
        auto vc = showMain(3.0);
        EXPECT_TRUE(vc->label("labelTimeTalk")->isHidden());
        const double titleX = vc->label("labelTitleMusic")->center().x;
        EXPECT_DOUBLE_EQ(vc->outlet("imageMusic")->center().x, 20.0 + 78.0);  // moved with its row
        vc->viewDidDisappear(false);
        vc->viewWillAppear(false);
        pf::RunLoop::main().runFor(2.0);
        EXPECT_DOUBLE_EQ(vc->outlet("imageMusic")->center().x, 20.0);  // the inset, as for every phone
        EXPECT_DOUBLE_EQ(vc->label("labelTitleMusic")->center().x, titleX);  // the shift is not repeated
        vc->stopUpdateTimer();
        snapshot("main-ipod-75-battery");
    }
}

TEST_F(SnapshotTest, SettingsSheet) {
    {
        play("iPhone7,2", 0.75f, pu::BatteryState::Charging);
        pf::UserDefaults::standard().setFloat("healthPercent", 85.0f);
        auto vc = std::make_shared<SettingsController>();
        show(vc, 3.0);
        auto img = snapshot("settings-iphone");
        ASSERT_NE(img, nullptr);
        EXPECT_TRUE(hasText(*img, inWindow(vc->labelHealth())));
        EXPECT_TRUE(hasText(*img, inWindow(vc->labelAlwaysOn())));
        // The colour picture shows, dimmed while the custom colour is off.
        Rgb picker = mean(*img, inWindow(vc->viewColorPicker()));
        EXPECT_GT(picker.r + picker.g + picker.b, 0.2);
        // The preview battery: three quarters in the blue band colour of 0.75 charge.
        const Rect battery = inWindow(vc->viewBatteryFill());
        Rgb fill = mean(*img, Rect(battery.midX() - 5, battery.maxY() - 30, 10, 10));
        EXPECT_GT(fill.b, fill.r + 0.05);
    }
}
