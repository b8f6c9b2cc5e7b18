#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "analytics/TLY.h"
#include "framework/TWKApplicationDelegate.h"
#include "framework/TWKButtonDark.h"
#include "framework/TwkAnalytics.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Appearance.h"
#include "platform/ui/Application.h"
#include "platform/ui/Control.h"
#include "platform/ui/Window.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
namespace pg = platform::graphics;
namespace ui = platform::ui;

namespace {

const char* const kBody = "I really hope this did NOT get released publicly...";

class StandardInit : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QUENMIRA_COLLECT_URL", "http://127.0.0.1:9", 1);  // nothing leaves the machine
        setenv("QUENMIRA_CRASH_URL", "http://127.0.0.1:9", 1);
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        pf::Sandbox::setHome(home_);
        pf::UserDefaults::resetStandard();
        TLY::sharedInstance().reset();
        pf::setLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> g(logLock_);
            log_ += line + "\n";
        });
    }
    void TearDown() override {
        for (auto& a : ui::Alert::pending()) a->dismissWithClickedButtonIndex(0, false);
        pf::setLogSink(nullptr);
        TLY::sharedInstance().reset();
    }
    // The bundle's own Info.plist with `without` taken out.
    void infoWithout(std::initializer_list<const char*> without) {
        auto info = pf::Value::readPropertyListFile(std::string(QM_BUNDLE_DIR) + "/Info.plist");
        ASSERT_TRUE(info);
        for (const char* key : without) info->erase(key);
        const std::string path = home_ + "/Info.plist";
        ASSERT_TRUE(info->writeXMLPropertyListFile(path));
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR, path);
    }
    // Runs the standard initialisation and waits for its background part and its alerts.
    std::vector<std::string> initialiseAndCollectAlerts(TWKApplicationDelegate& delegate) {
        delegate.standardTarnowickInitialization();
        pf::dispatch::drainGlobalQueues();
        pf::RunLoop::main().runUntilIdle();
        std::vector<std::string> titles;
        for (auto& a : ui::Alert::pending()) {
            EXPECT_EQ(a->message(), kBody);
            titles.push_back(a->title());
        }
        return titles;
    }
    qmtest::TempDir homeDir_;
    const std::string home_ = homeDir_.path();
    qmtest::GlobalStateGuard guard_;  // puts the bundle, sandbox and defaults back before the home goes
    std::mutex logLock_;
    std::string log_;
};

TEST_F(StandardInit, AllKeysPresentNoAlertAndATrackerForTheKey) {
    TWKApplicationDelegate delegate;
    EXPECT_TRUE(initialiseAndCollectAlerts(delegate).empty());
    auto tracker = TLY::sharedInstance().defaultTracker();
    ASSERT_TRUE(tracker);
    EXPECT_EQ(tracker->get("&tid").value_or(""), "TL-48151623-1");
    EXPECT_FALSE(tracker->allowIDFACollection());
    EXPECT_EQ(log_.find("MISSING"), std::string::npos) << log_;
}

TEST_F(StandardInit, OnlyZendralMissingGivesExactlyThatAlert) {
    infoWithout({"ZendralKey"});
    TWKApplicationDelegate delegate;
    EXPECT_EQ(initialiseAndCollectAlerts(delegate), std::vector<std::string>{"ZENDRAL KEY MISSING"});
    EXPECT_TRUE(TLY::sharedInstance().defaultTracker());
}

TEST_F(StandardInit, TrackingKeyMissingAlertsAndMakesNoTracker) {
    infoWithout({"TLYKey"});
    TWKApplicationDelegate delegate;
    EXPECT_EQ(initialiseAndCollectAlerts(delegate), std::vector<std::string>{"TLYKey MISSING"});
    EXPECT_FALSE(TLY::sharedInstance().defaultTracker());
    EXPECT_TRUE(TLY::sharedInstance().trackers().empty());
}

TEST_F(StandardInit, EveryKeyMissingAlertsInOrderAndStartUpGoesOn) {
    infoWithout({"PelkorKey", "TLYKey", "ZendralKey"});
    TWKApplicationDelegate delegate;
    auto window = std::make_shared<ui::Window>(pg::Size{320, 480}, 1.0);
    delegate.setWindow(window);
    const auto titles = initialiseAndCollectAlerts(delegate);
    EXPECT_EQ(titles,
              (std::vector<std::string>{"LIVE PELKOR SDK KEY MISSING", "TLYKey MISSING", "ZENDRAL KEY MISSING"}));
    // The colours were still set after the first alert.
    EXPECT_EQ(window->tintColor(), TWKButtonDark::globalColorTint());
    EXPECT_NE(log_.find("Alert \"LIVE PELKOR SDK KEY MISSING\": I really hope this did NOT get released publicly..."),
              std::string::npos)
        << log_;
}

TEST_F(StandardInit, AnEmptyKeyCountsAsMissing) {
    auto info = pf::Value::readPropertyListFile(std::string(QM_BUNDLE_DIR) + "/Info.plist");
    ASSERT_TRUE(info);
    (*info)["TLYKey"] = pf::Value("");
    ASSERT_TRUE(info->writeXMLPropertyListFile(home_ + "/Info.plist"));
    pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR, home_ + "/Info.plist");
    TWKApplicationDelegate delegate;
    EXPECT_EQ(initialiseAndCollectAlerts(delegate), std::vector<std::string>{"TLYKey MISSING"});
    EXPECT_TRUE(TLY::sharedInstance().trackers().empty());
}

TEST_F(StandardInit, AppearanceTakesTheFrameworkColours) {
    using A = ui::Appearance;
    TWKApplicationDelegate delegate;
    delegate.setGlobalColorStuff();  // without a window: nothing to tint there
    const pg::Color tint = pg::Color::rgb255(3, 169, 244), white = pg::Color::whiteColor();
    EXPECT_EQ(A::forClass(A::kButton).tintColor(), tint);
    EXPECT_EQ(A::forClass(A::kSwitch).tintColor(), tint);
    EXPECT_EQ(A::forClass(A::kSwitch).onTintColor(), tint);
    EXPECT_EQ(A::forClass(A::kToolbar).tintColor(), white);
    EXPECT_EQ(A::forClass(A::kToolbar).barTintColor(), tint);
    EXPECT_EQ(A::forClass(A::kNavigationBar).tintColor(), white);
    EXPECT_EQ(A::forClass(A::kNavigationBar).barTintColor(), tint);
    for (const char* cls : {A::kBarItem, A::kBarButtonItem, A::kTabBarItem}) {
        auto normal = A::forClass(cls).titleTextAttributes(ui::kControlStateNormal);
        ASSERT_TRUE(normal) << cls;
        EXPECT_EQ(normal->foregroundColor, white) << cls;
    }
    auto selected = A::forClass(A::kTabBarItem).titleTextAttributes(ui::kControlStateSelected);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->foregroundColor, white);
    EXPECT_FALSE(A::forClass(A::kBarItem).titleTextAttributes(ui::kControlStateSelected));
    const A& tabBar = A::forClass(A::kTabBar);
    EXPECT_EQ(tabBar.barTintColor(), tint);
    EXPECT_EQ(tabBar.tintColor(), white);
    EXPECT_EQ(tabBar.selectedImageTintColor(), white);
    EXPECT_EQ(tabBar.backgroundColor(), pg::Color::black());
    ASSERT_TRUE(tabBar.shadowImage().has_value());
    EXPECT_EQ(*tabBar.shadowImage(), nullptr);  // set to none, not left to the bar
    ASSERT_TRUE(tabBar.selectionIndicatorImage().has_value());
    auto indicator = *tabBar.selectionIndicatorImage();
    ASSERT_TRUE(indicator);
    EXPECT_EQ(indicator->size().width, 64);
    EXPECT_EQ(indicator->size().height, 49);
}

TEST_F(StandardInit, ImageFromColorRoundsItsCorners) {
    auto image = TWKApplicationDelegate::imageFromColor(pg::Color::rgb255(255, 0, 0), {40, 20}, 8);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->scale(), 1.0);
    EXPECT_EQ(image->pixelWidth(), 40);
    EXPECT_EQ(image->pixelHeight(), 20);
    EXPECT_EQ(image->pixelAt(20, 10), (pg::Image::Pixel{255, 255, 0, 0}));  // the middle is filled
    EXPECT_EQ(image->pixelAt(20, 0).a, 255);                                // so is the straight edge
    EXPECT_EQ(image->pixelAt(0, 0).a, 0);                                   // the corners are cut away
    EXPECT_EQ(image->pixelAt(39, 19).a, 0);
    auto square = TWKApplicationDelegate::imageFromColor(pg::Color::white(0, 0.1), {64, 49}, 0);
    EXPECT_NEAR(square->pixelAt(0, 0).a, 26, 1);  // no rounding: the corner is filled too
    EXPECT_NEAR(square->pixelAt(63, 48).a, 26, 1);
}

TEST_F(StandardInit, OpenURLAnswersNoAndSetupOnlyComplains) {
    TWKApplicationDelegate delegate;
    ui::Application app;
    EXPECT_FALSE(delegate.openURL(app, "quenmira://x", "", pf::Value()));
    delegate.setupApplication();
    EXPECT_NE(log_.find("MUST override setupApplication in TWKApplicationDelegate if using PelkorApp crash delegate!"),
              std::string::npos);
    EXPECT_EQ(TwkAnalytics::sharedInstance(), TwkAnalytics::sharedInstance());
}

}  // namespace
