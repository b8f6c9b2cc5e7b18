#pragma once
// Shared set-up of the view, layer, animation and window tests: a manual
// clock, screen scale 1, and helpers to read composed pixels.
#include <gtest/gtest.h>

#include <memory>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"

namespace viewtest {

using namespace platform::ui;
using platform::graphics::Image;

class OnManualClock : public ::testing::Test {
protected:
    void SetUp() override {
        platform::foundation::Clock::setCurrent(clock_);
        Image::setScreenScale(1);
    }
    void TearDown() override { platform::foundation::RunLoop::current().runUntilIdle(); }
    // Advances the clock without running the loop (presentation values only).
    void advance(double s) { clock_->advance(s); }
    // Advances the clock and runs what comes due (frames, completions).
    void runFor(double s) { platform::foundation::RunLoop::current().runFor(s); }
    void runUntilIdle() { platform::foundation::RunLoop::current().runUntilIdle(); }
    std::shared_ptr<Window> makeWindow(double w, double h, double scale = 1) {
        auto win = std::make_shared<Window>(Size{w, h}, scale);
        win->setBackgroundColor(Color::whiteColor());
        return win;
    }

    qmtest::GlobalStateGuard guard_;
    std::shared_ptr<platform::foundation::ManualClock> clock_ = std::make_shared<platform::foundation::ManualClock>();
};

inline Image::Pixel pixel(Window& w, int x, int y) { return w.composedImage()->pixelAt(x, y); }

}  // namespace viewtest
