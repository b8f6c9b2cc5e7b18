// The idle timer and the display's screen saver: held off only while the
// application asks for it, whether it asks before or after the video starts.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ui/Application.h"

using platform::ui::Application;

namespace {

class IdleTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        Application::resetShared();
    }
    void TearDown() override {
        Application::resetShared();
        if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_QuitSubSystem(SDL_INIT_VIDEO);
        unsetenv("SDL_VIDEODRIVER");
    }
    static bool startVideo() { return SDL_InitSubSystem(SDL_INIT_VIDEO) == 0; }
};

}  // namespace

TEST_F(IdleTimerTest, ScreenSaverRunsUnlessTheIdleTimerIsDisabled) {
    Application& app = Application::shared();
    ASSERT_TRUE(startVideo()) << SDL_GetError();
    EXPECT_TRUE(SDL_IsScreenSaverEnabled());
    app.setIdleTimerDisabled(true);
    EXPECT_FALSE(SDL_IsScreenSaverEnabled());
    app.setIdleTimerDisabled(false);
    EXPECT_TRUE(SDL_IsScreenSaverEnabled());
}

TEST_F(IdleTimerTest, ADisabledIdleTimerHoldsOffAScreenSaverStartedLater) {
    Application& app = Application::shared();
    app.setIdleTimerDisabled(true);
    ASSERT_TRUE(startVideo()) << SDL_GetError();
    EXPECT_FALSE(SDL_IsScreenSaverEnabled());
    // The application going away gives the screen saver back.
    Application::resetShared();
    EXPECT_TRUE(SDL_IsScreenSaverEnabled());
}
