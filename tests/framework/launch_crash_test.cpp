// The crashed-on-launch placeholder: when a crash counts as one on launch,
// and how the placeholder hands the window back.
#include <gtest/gtest.h>

#include "crash/manager/PKRPelkorManager.h"
#include "framework/TWKApplicationDelegate.h"
#include "framework/TwkAnalytics.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;

TEST(LaunchCrash, OnlyAKnownCrashTimeUnderFiveSecondsCounts) {
    EXPECT_TRUE(TwkAnalytics::isCrashOnStartup(true, 0.0));
    EXPECT_TRUE(TwkAnalytics::isCrashOnStartup(true, 4.9));
    EXPECT_FALSE(TwkAnalytics::isCrashOnStartup(true, 5.0));
    // An app kill or a report without a start time: the time is unknown.
    EXPECT_FALSE(TwkAnalytics::isCrashOnStartup(true, -1.0));
    EXPECT_FALSE(TwkAnalytics::isCrashOnStartup(false, 1.0));
}

namespace {
struct CountingDelegate : TWKApplicationDelegate {
    int setups = 0;
    void setupApplication() override { ++setups; }
};
}  // namespace

TEST(LaunchCrash, RestoringWithoutASavedControllerDoesNothing) {
    CountingDelegate d;
    d.setWindow(std::make_shared<ui::Window>(platform::graphics::Size{320, 480}, 1.0));
    auto root = std::make_shared<ui::ViewController>();
    ui::setRootViewController(*d.window(), root);
    d.restoreAfterCrashView();
    EXPECT_EQ(0, d.setups);
    EXPECT_EQ(root, ui::rootViewController(*d.window()));
    // Without a crash on launch the application sets itself up at once.
    d.setupApplicationAfterCheckForLaunchCrash();
    EXPECT_EQ(1, d.setups);
    EXPECT_FALSE(d.backupViewController());
}

TEST(LaunchCrash, ADelegateThatGoesIsForgottenByTheCrashReporting) {
    auto& manager = PKRPelkorManager::sharedPelkorManager();
    {
        CountingDelegate d;
        manager.setDelegate(&d);
        EXPECT_EQ(&d, manager.delegate());
    }
    EXPECT_EQ(nullptr, manager.delegate());
}
