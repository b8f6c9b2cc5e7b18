// The idle timer and the display's screen saver: held off only while the
// application asks for it, whether it asks before or after the video starts;
// the key window and the status bar.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/sdl/SdlLibrary.h"
#include "platform/ui/Application.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"

using platform::ui::Application;

namespace {

class IdleTimerTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("SDL_VIDEODRIVER", "dummy", 1); }
    void TearDown() override {
        Application::resetShared();  // before the video subsystem goes
        if (sdl() && sdl()->WasInit(SDL_INIT_VIDEO)) sdl()->QuitSubSystem(SDL_INIT_VIDEO);
        unsetenv("SDL_VIDEODRIVER");
    }
    qmtest::GlobalStateGuard guard_;
    static const platform::sdl::SdlLibrary* sdl() { return platform::sdl::SdlLibrary::loaded(); }
    // Opens SDL only now, as a window would.
    static bool startVideo() {
        auto* lib = platform::sdl::SdlLibrary::shared();
        return lib && lib->InitSubSystem(SDL_INIT_VIDEO) == 0;
    }
};

}  // namespace

TEST_F(IdleTimerTest, ScreenSaverRunsUnlessTheIdleTimerIsDisabled) {
    Application& app = Application::shared();
    ASSERT_TRUE(startVideo()) << (sdl() ? sdl()->GetError() : "no SDL");
    EXPECT_TRUE(sdl()->IsScreenSaverEnabled());
    app.setIdleTimerDisabled(true);
    EXPECT_FALSE(sdl()->IsScreenSaverEnabled());
    app.setIdleTimerDisabled(false);
    EXPECT_TRUE(sdl()->IsScreenSaverEnabled());
}

TEST_F(IdleTimerTest, ADisabledIdleTimerHoldsOffAScreenSaverStartedLater) {
    Application& app = Application::shared();
    app.setIdleTimerDisabled(true);
    ASSERT_TRUE(startVideo()) << (sdl() ? sdl()->GetError() : "no SDL");
    EXPECT_FALSE(sdl()->IsScreenSaverEnabled());
    // The application going away gives the screen saver back.
    Application::resetShared();
    EXPECT_TRUE(sdl()->IsScreenSaverEnabled());
}

TEST(ApplicationWindows, KeyWindowFollowsTheLastMadeKeyAndForgetsADestroyedOne) {
    Application::resetShared();
    Application& app = Application::shared();
    EXPECT_EQ(app.keyWindow(), nullptr);
    auto first = std::make_shared<platform::ui::Window>(platform::ui::Size{320, 480}, 2);
    auto second = std::make_shared<platform::ui::Window>(platform::ui::Size{320, 480}, 2);
    first->makeKeyAndVisible();
    EXPECT_EQ(app.keyWindow(), first.get());
    EXPECT_TRUE(first->isKeyWindow());
    second->makeKeyAndVisible();
    EXPECT_EQ(app.keyWindow(), second.get());
    EXPECT_FALSE(first->isKeyWindow());
    second.reset();
    EXPECT_EQ(app.keyWindow(), nullptr);  // never a dangling window
    first.reset();
    Application::resetShared();
}

TEST(ApplicationWindows, StatusBarStyleAndVisibility) {
    Application::resetShared();
    Application& app = Application::shared();
    EXPECT_EQ(app.statusBarStyle(), platform::ui::StatusBarStyle::Default);
    EXPECT_FALSE(app.isStatusBarHidden());
    app.setStatusBarStyle(platform::ui::StatusBarStyle::LightContent, true);
    app.setStatusBarHidden(true);
    EXPECT_EQ(app.statusBarStyle(), platform::ui::StatusBarStyle::LightContent);
    EXPECT_TRUE(app.isStatusBarHidden());
    Application::resetShared();
    EXPECT_EQ(Application::shared().statusBarStyle(), platform::ui::StatusBarStyle::Default);
    Application::resetShared();
}
