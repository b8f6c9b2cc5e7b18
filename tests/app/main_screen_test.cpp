// The main screen on the manual clock: timers, background, opacity, the
// settings round trip, always-on, the flashlight, and the figures of the
// refresh written into its labels.
#include <filesystem>
#include <fstream>

#include "app/BatteryFillView.h"
#include "app/MainContentView.h"
#include "app/SettingsController.h"
#include "framework/DeviceDetection.h"
#include "platform/ui/GradientLayer.h"
#include "tests/app/main_test_support.h"
#include "tests/support/ShellTools.h"
#include "tests/support/WaitUntil.h"

using namespace qmtest;
using platform::graphics::Color;
using platform::graphics::Point;
using platform::graphics::Rect;
using platform::ui::GradientLayer;

namespace {

class MainScreenTest : public ScreenFixture {};

size_t gradientCount(const MainViewController& vc) {
    size_t n = 0;
    for (const auto& l : vc.outlet<pu::ImageView>("bgImage")->layer()->sublayers())
        if (std::dynamic_pointer_cast<GradientLayer>(l)) ++n;
    return n;
}

}  // namespace

TEST_F(MainScreenTest, EveryMemberIsConnected) {
    auto vc = showMain();
    EXPECT_NE(vc->outlet<pu::ScrollView>("mainScrollView"), nullptr);
    EXPECT_NE(vc->outlet<MainContentView>("mainContentView"), nullptr);
    EXPECT_EQ(vc->outlet<MainContentView>("mainContentView")->viewScrollDownInfo(), vc->outlet("viewScrollDownInfo"));
    for (const auto& bubble : vc->bubbles()) EXPECT_NE(bubble, nullptr);
    for (const char* name :
         {"labelPercentage", "labelDevice", "labelStandby", "labelTimeMusic", "labelTimeVideo", "labelTimeNetWifi",
          "labelTimeNet3G", "labelTimeTalk", "labelTimeTalk3G", "labelTimeChargeTime", "labelTimeGames2D",
          "labelTimeReading", "labelTimeFlashlight", "labelScrollDown"})
        EXPECT_NE(vc->label(name), nullptr) << name;
    EXPECT_NE(vc->outlet<BatteryFillView>("viewBatteryFill")->batLayer(), nullptr);  // built by its awakeFromNib
    EXPECT_NE(vc->outlet<pu::Button>("buttonSettings"), nullptr);
    EXPECT_NE(vc->outlet<TWKReviewPopupButton>("buttonMoreApps"), nullptr);
    EXPECT_NE(vc->sound(), nullptr);
}

TEST_F(MainScreenTest, EveryRowHasATitleInBothInterfaceFiles) {
    for (const char* file : {"MainView", "MainView-iPad"}) {
        SCOPED_TRACE(file);
        auto vc = std::make_shared<MainViewController>(file);
        show(vc, 0.5);
        for (const char* name : {"labelTitleMusic", "labelTitleWeb", "labelTitleVideo", "labelTitleTalk",
                                 "labelChargeTime", "labelGames2D", "labelGames3D", "labelVideoChat", "labelTakePhotos",
                                 "labelVideoRecord", "labelGPSNavigation", "labelReading"}) {
            auto l = vc->label(name);
            ASSERT_NE(l, nullptr) << name;
            EXPECT_FALSE(l->text().empty()) << name;
        }
        // The one title that no string table fills.
        ASSERT_NE(vc->label("labelFlashlight"), nullptr);
        EXPECT_EQ(vc->label("labelFlashlight")->text(), "Flashlight");
    }
}

TEST_F(MainScreenTest, TimersAreCreatedOnceAndGoneAfterDisappearing) {
    auto vc = showMain();
    auto anim = vc->animTimer(), level = vc->levelTimer();
    ASSERT_NE(anim, nullptr);
    ASSERT_NE(level, nullptr);
    EXPECT_DOUBLE_EQ(anim->interval(), 1.5);
    EXPECT_DOUBLE_EQ(level->interval(), 5.0);
    EXPECT_TRUE(anim->repeats());

    vc->viewWillAppear(false);  // appearing again without a disappearance
    EXPECT_EQ(vc->animTimer(), anim);
    EXPECT_EQ(vc->levelTimer(), level);

    vc->viewDidDisappear(false);
    EXPECT_EQ(vc->animTimer(), nullptr);
    EXPECT_EQ(vc->levelTimer(), nullptr);
    EXPECT_FALSE(anim->isValid());
    EXPECT_FALSE(level->isValid());

    vc->viewWillAppear(false);
    ASSERT_NE(vc->animTimer(), nullptr);
    EXPECT_NE(vc->animTimer(), anim);
    EXPECT_TRUE(vc->animTimer()->isValid());
}

TEST_F(MainScreenTest, ANewChargeShowsWithinFiveSeconds) {
    auto vc = showMain();
    EXPECT_EQ(vc->label("labelPercentage")->text(), "75 %");
    battery_->set(0.74f, platform::ui::BatteryState::Charging);
    pf::RunLoop::main().runFor(5.0);
    EXPECT_EQ(vc->label("labelPercentage")->text(), "74 %");
}

TEST_F(MainScreenTest, OneGradientLayerAfterRepeatedAppearances) {
    auto vc = showMain();
    for (int i = 0; i < 3; ++i) {
        vc->viewWillAppear(false);
        vc->viewDidAppear(false);
    }
    pf::RunLoop::main().runFor(1.0);
    ASSERT_EQ(gradientCount(*vc), 1u);
    auto g = std::dynamic_pointer_cast<GradientLayer>(vc->outlet("bgImage")->layer()->sublayers().front());
    ASSERT_NE(g, nullptr);
    const Rect screen = vc->view()->bounds();
    const double s = std::max(screen.width(), screen.height());
    EXPECT_EQ(g->frame(), Rect(0, 0, s, 1.2 * s));
    EXPECT_EQ(g->locations(), (std::vector<double>{0.2, 0.5, 0.8, 1.0}));
    ASSERT_EQ(g->colors().size(), 4u);
    EXPECT_EQ(g->colors()[1], Color::white(0.12, 1.0));
    EXPECT_EQ(vc->outlet<pu::ImageView>("bgImage")->image(), nullptr);
}

TEST_F(MainScreenTest, FiguresOfTheRefreshReachTheLabels) {
    pf::UserDefaults::standard().setFloat("healthPercent", 100.0f);
    auto vc = showMain();
    BatteryEstimateInput in;
    in.deviceIndex = DeviceDetection::detectDevice();
    in.chargeFraction = 0.75f;
    in.healthPercent = 100.0f;
    in.brightness = 0.5;
    in.charging = true;
    const auto& profile = platform::ui::Device::current().profile();
    in.camera = profile.camera;
    in.frontCamera = profile.frontCamera;
    in.flash = profile.flash;
    in.carrier = profile.simulator || !profile.carrierName.empty();
    const BatteryEstimate e = BatteryEstimate::compute(in, BatteryWords::localized());
    EXPECT_EQ(vc->label("labelPercentage")->text(), "75 %");
    EXPECT_EQ(vc->label("labelTimeMusic")->text(), e.labelTimeMusic);
    EXPECT_EQ(vc->label("labelTimeVideo")->text(), e.labelTimeVideo);
    EXPECT_EQ(vc->label("labelTimeNetWifi")->text(), e.labelTimeNetWifi);
    EXPECT_EQ(vc->label("labelTimeTalk")->text(), e.labelTimeTalk);
    EXPECT_EQ(vc->label("labelStandby")->text(), e.labelStandby);
    EXPECT_EQ(vc->label("labelTimeChargeTime")->text(), e.labelTimeChargeTime);
    EXPECT_EQ(vc->label("labelTimeFlashlight")->text(), e.labelTimeFlashlight);
    EXPECT_FALSE(vc->outlet<pu::ImageView>("imageCharging")->isHidden());  // charging
    EXPECT_DOUBLE_EQ(vc->label("labelTimeChargeTime")->alpha(), 1.0);
    EXPECT_EQ(vc->label("labelTitleMusic")->text(), "Music");
    EXPECT_EQ(vc->label("labelDevice")->text(), DeviceDetection::name(false) + ". Firmware: 9.3");
    EXPECT_FLOAT_EQ(vc->outlet<BatteryFillView>("viewBatteryFill")->getLevel(), 0.75f);
}

TEST_F(MainScreenTest, TextsShowFromTheFirstFrameAndStayAfterTheIntro) {
    auto vc = showMain(0.0);
    EXPECT_FLOAT_EQ(vc->label("labelPercentage")->layer()->presentationLayer()->opacity(), 1.0f);
    EXPECT_FLOAT_EQ(vc->label("labelTimeMusic")->layer()->presentationLayer()->opacity(), 1.0f);
    pf::RunLoop::main().runFor(0.1);
    EXPECT_FLOAT_EQ(vc->label("labelPercentage")->layer()->presentationLayer()->opacity(), 1.0f);
    pf::RunLoop::main().runFor(2.0);
    EXPECT_DOUBLE_EQ(vc->label("labelPercentage")->alpha(), 1.0);
    EXPECT_FLOAT_EQ(vc->label("labelPercentage")->layer()->presentationLayer()->opacity(), 1.0f);
}

TEST_F(MainScreenTest, SettingsCloseRefreshesRerendersAndFadesTextsBackIn) {
    auto vc = showMain();
    vc->showSettings();
    pf::RunLoop::main().runFor(2.0);
    auto settings = std::dynamic_pointer_cast<SettingsController>(vc->presentedViewController());
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->delegate(), std::dynamic_pointer_cast<SettingsControllerDelegate>(vc));
    EXPECT_EQ(settings->modalTransitionStyle(), platform::ui::ModalTransitionStyle::FlipHorizontal);

    // A change made in the sheet shows at once on its close, within the debounce.
    pf::UserDefaults::standard().setFloat("healthPercent", 50.0f);
    const std::string before = vc->label("labelTimeMusic")->text();
    std::weak_ptr<SettingsController> weakSettings = settings;

    settings->done();
    EXPECT_NE(vc->label("labelTimeMusic")->text(), before);
    EXPECT_FLOAT_EQ(BatteryRefresh::lastMultiplier(), 0.75f);  // reset, then refreshed
    EXPECT_EQ(BatteryImage::sharedInstance().renderedImage(), nullptr);  // rendered afresh
    EXPECT_EQ(BatteryImage::sharedInstance().renderedKey(), "");
    EXPECT_DOUBLE_EQ(vc->label("labelPercentage")->alpha(), 0.0);
    EXPECT_FLOAT_EQ(vc->outlet<BatteryFillView>("viewBatteryFill")->batLayer()->opacity(), 0.0f);

    settings.reset();
    pf::RunLoop::main().runFor(3.0);
    EXPECT_EQ(vc->presentedViewController(), nullptr);
    EXPECT_TRUE(weakSettings.expired()) << "the closed sheet must not be kept alive";
    EXPECT_DOUBLE_EQ(vc->label("labelPercentage")->alpha(), 1.0);
    EXPECT_DOUBLE_EQ(vc->label("labelTimeMusic")->alpha(), 1.0);
}

TEST_F(MainScreenTest, AlwaysOnHoldsWhileTheApplicationIsInTheForeground) {
    auto& app = platform::ui::Application::shared();
    pf::UserDefaults::standard().setBool("alwayson", true);
    auto vc = showMain();
    EXPECT_TRUE(app.isScreenSaverHeldOff());

    // The settings sheet and the information area cover the screen; the setting still holds.
    vc->showSettings();
    pf::RunLoop::main().runFor(2.0);
    ASSERT_NE(std::dynamic_pointer_cast<SettingsController>(vc->presentedViewController()), nullptr);
    EXPECT_TRUE(app.isScreenSaverHeldOff());
    vc->dismissViewControllerAnimated(false);
    pf::RunLoop::main().runFor(2.0);
    vc->outlet<pu::Control>("buttonMoreApps")->sendActionsForControlEvents(platform::ui::kControlEventTouchUpInside);
    pf::RunLoop::main().runFor(2.0);
    ASSERT_NE(vc->presentedViewController(), nullptr);
    EXPECT_TRUE(app.isScreenSaverHeldOff());
    vc->dismissViewControllerAnimated(false);
    pf::RunLoop::main().runFor(2.0);

    app.enterBackground();
    EXPECT_FALSE(app.isScreenSaverHeldOff());
    app.enterForeground();
    EXPECT_TRUE(app.isScreenSaverHeldOff());

    // Turned off in the sheet, it is given back when the screen shows again.
    pf::UserDefaults::standard().setBool("alwayson", false);
    vc->viewWillAppear(false);
    pf::RunLoop::main().runFor(1.0);
    EXPECT_FALSE(app.isScreenSaverHeldOff());
}

TEST_F(MainScreenTest, MemoryWarningDropsTheScaledBatteryPicture) {
    auto vc = showMain();
    auto ctx = platform::graphics::Context::beginImageContext({4, 4});
    BatteryImage::sharedInstance().setCachedScaledImage(ctx->image());
    vc->didReceiveMemoryWarning();
    EXPECT_EQ(BatteryImage::sharedInstance().cachedScaledImage(), nullptr);
}

TEST_F(MainScreenTest, FlashlightTriesTheApplicationsInOrderThenTheWeb) {
    auto vc = showMain();
    auto& app = platform::ui::Application::shared();
    const auto& urls = MainViewController::flashlightAddresses();
    std::vector<std::string> opened;
    auto record = [&](const std::string& url) {
        opened.push_back(url);
        return true;
    };

    // The web link, when no application is there: a browser started with it.
    const std::string seen = scratch_.file("browser-url");
    const std::string browser = scratch_.write("browser.sh", "#!/bin/sh\nprintf '%s' \"$1\" > " + qmtest::shellQuoted(seen) + "\n");
    std::filesystem::permissions(browser, std::filesystem::perms::owner_all);
    app.setBrowserCommand(browser);
    vc->openFlashlight();
    std::string got;
    qmtest::waitUntil([&] {  // the browser runs as a process of its own
        std::ifstream(seen) >> got;
        return !got.empty();
    });
    EXPECT_EQ(got, urls[2]);
    EXPECT_EQ(std::string(urls[2]).rfind("https://", 0), 0u);

    // The free edition only.
    const std::string freeScheme = std::string(urls[1]).substr(0, std::string(urls[1]).find(':'));
    app.registerURLHandler(freeScheme, record);
    vc->openFlashlight();
    EXPECT_EQ(opened, std::vector<std::string>{urls[1]});

    // Both: the paid edition first.
    const std::string paidScheme = std::string(urls[0]).substr(0, std::string(urls[0]).find(':'));
    app.registerURLHandler(paidScheme, record);
    vc->openFlashlight();
    EXPECT_EQ(opened, (std::vector<std::string>{urls[1], urls[0]}));
}

TEST_F(MainScreenTest, ScrollHintShowsWhileTouchedAndFadesAfterTheLift) {
    auto vc = showMain();
    auto content = vc->outlet<MainContentView>("mainContentView");
    auto hint = vc->outlet("viewScrollDownInfo");
    EXPECT_EQ(vc->label("labelScrollDown")->text(), "Scroll down for more figures");
    EXPECT_DOUBLE_EQ(hint->alpha(), 0.0);
    EXPECT_EQ(hint->backgroundColor(), Color::white(0.0, 0.8));
    EXPECT_DOUBLE_EQ(hint->layer()->cornerRadius(), 6.0);

    auto touch = std::make_shared<platform::ui::Touch>(content, window_.get(), Point{100, 100}, 0);
    content->touchesBegan({touch}, nullptr);
    EXPECT_FALSE(content->hintWasVisible());
    EXPECT_EQ(hint->superview(), content);
    EXPECT_EQ(hint->center(), (Point{content->bounds().width() / 2, 350.0}));
    EXPECT_DOUBLE_EQ(hint->alpha(), 1.0);
    touch->update(platform::ui::TouchPhase::Ended, {100, 100}, 0.1);
    content->touchesEnded({touch}, nullptr);
    EXPECT_DOUBLE_EQ(hint->alpha(), 0.0);
    EXPECT_DOUBLE_EQ(hint->center().y, platform::ui::Screen::main().applicationFrame().height());
    pf::RunLoop::main().runFor(0.9);  // the fade waits a second
    EXPECT_GT(hint->layer()->presentationLayer()->opacity(), 0.9f);
    pf::RunLoop::main().runFor(1.0);
    EXPECT_LT(hint->layer()->presentationLayer()->opacity(), 0.01f);

    // A touch while the hint shows hides it at once, and the lift does nothing.
    content->touchesBegan({touch}, nullptr);
    pf::RunLoop::main().runFor(1.0);
    auto second = std::make_shared<platform::ui::Touch>(content, window_.get(), Point{100, 100}, 2);
    content->touchesBegan({second}, nullptr);
    EXPECT_TRUE(content->hintWasVisible());
    EXPECT_DOUBLE_EQ(hint->alpha(), 0.0);
    const Point at = hint->center();
    content->touchesEnded({second}, nullptr);
    EXPECT_EQ(hint->center(), at);
}

TEST_F(MainScreenTest, ScrollHintStaysAfterADragUntilTheNextTouchHidesIt) {
    auto vc = showMain();
    window_->layoutIfNeeded();
    auto content = vc->outlet<MainContentView>("mainContentView");
    auto hint = vc->outlet("viewScrollDownInfo");
    window_->sendPointer(pu::PointerPhase::Down, {100, 500});
    EXPECT_DOUBLE_EQ(hint->alpha(), 1.0);
    // The finger moves on: the scroll view takes the touch over, and only a lift fades the hint.
    window_->sendPointer(pu::PointerPhase::Move, {100, 480});
    window_->sendPointer(pu::PointerPhase::Move, {100, 420});
    window_->sendPointer(pu::PointerPhase::Up, {100, 420});
    EXPECT_GT(vc->outlet<pu::ScrollView>("mainScrollView")->contentOffset().y, 0.0);
    pf::RunLoop::main().runFor(2.0);
    EXPECT_DOUBLE_EQ(hint->alpha(), 1.0);
    EXPECT_GT(hint->layer()->presentationLayer()->opacity(), 0.99f);

    // The next touch finds it showing: it goes at once, and the lift does nothing.
    window_->sendPointer(pu::PointerPhase::Down, {100, 500});
    EXPECT_TRUE(content->hintWasVisible());
    EXPECT_DOUBLE_EQ(hint->alpha(), 0.0);
    const Point at = hint->center();
    window_->sendPointer(pu::PointerPhase::Up, {100, 500});
    EXPECT_EQ(hint->center(), at);
}

TEST_F(MainScreenTest, NarrowPhoneContentScrollsOnlyDownwards) {
    play("iPod5,1", 0.75f, pu::BatteryState::Charging);  // 320 points wide, the interface file 375
    auto vc = showMain();
    vc->stopUpdateTimer();
    window_->layoutIfNeeded();
    auto scroll = vc->outlet<pu::ScrollView>("mainScrollView");
    EXPECT_DOUBLE_EQ(scroll->bounds().width(), 320.0);
    EXPECT_DOUBLE_EQ(scroll->contentSize().width, 320.0);
    EXPECT_FALSE(scroll->canScrollHorizontally());
    EXPECT_TRUE(scroll->canScrollVertically());

    // A sideways drag leaves the content in place.
    window_->sendPointer(pu::PointerPhase::Down, {200, 300});
    window_->sendPointer(pu::PointerPhase::Move, {140, 300});
    window_->sendPointer(pu::PointerPhase::Move, {60, 300});
    window_->sendPointer(pu::PointerPhase::Up, {60, 300});
    EXPECT_DOUBLE_EQ(scroll->contentOffset().x, 0.0);
}

TEST_F(MainScreenTest, FirstPhoneTalkSitsBesideTheVideoRow) {
    play("iPhone1,1", 0.5f, pu::BatteryState::Unplugged);  // 2G talk only, Edge web
    pf::UserDefaults::standard().setFloat("healthPercent", 100.0f);
    auto vc = showMain();
    // Only the vertical centres move: the talk labels stay in their column, the one labelTimeTalk marks.
    const double column = vc->label("labelTimeTalk")->center().x;
    ASSERT_EQ(DeviceDetection::detectDevice(), 7);
    EXPECT_EQ(vc->label("labelTitleTalk")->center(), (Point{column, vc->label("labelTitleVideo")->center().y}));
    EXPECT_EQ(vc->label("labelTimeTalk3G")->center(), (Point{column, vc->label("labelTimeVideo")->center().y}));
    EXPECT_EQ(vc->label("labelTimeTalk")->text(), "");
    EXPECT_EQ(vc->label("labelTimeTalk3G")->text(), "6 hours 0 min");  // G2 12 at half charge, no prefix
    EXPECT_FALSE(vc->label("labelTimeTalk3G")->isHidden());
    EXPECT_EQ(vc->label("labelTimeNet3G")->text(), "Edge: 3:00");
    EXPECT_TRUE(vc->label("labelVideoRecord")->isHidden());
    EXPECT_TRUE(vc->label("labelTimeVideoRecording")->isHidden());
    EXPECT_TRUE(vc->label("labelTimeGPSNavigation")->isHidden());
    EXPECT_TRUE(vc->label("labelGPSNavigation")->isHidden());
    EXPECT_TRUE(vc->outlet<pu::ImageView>("imageCharging")->isHidden());

    // Later refreshes leave them there.
    battery_->set(0.4f, pu::BatteryState::Unplugged);
    pf::RunLoop::main().runFor(5.0);
    EXPECT_EQ(vc->label("labelTimeTalk3G")->text(), "4 hours 48 min");
    EXPECT_EQ(vc->label("labelTitleTalk")->center(), (Point{column, vc->label("labelTitleVideo")->center().y}));
}
