#include "tests/support/GlobalStateGuard.h"

#include <gtest/gtest.h>

#include "analytics/TLYUsageTracker.h"
#include "framework/DeviceDetection.h"
#include "framework/TwkAnalytics.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Appearance.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"

namespace qmtest {

namespace pf = platform::foundation;

namespace {

// A test program ends as the application does: a screen a test showed, or
// the standard initialisation it ran, leaves "TLYThread" setting up its
// stores, which would make the default sandbox again inside the program's
// home while that home is being removed at exit.
class AnalyticsEndsWithTheProgram : public ::testing::Environment {
public:
    void TearDown() override { TwkAnalytics::finishAnalyticsStuff(); }
};

[[maybe_unused]] ::testing::Environment* const gAnalyticsEnd =
    ::testing::AddGlobalTestEnvironment(new AnalyticsEndsWithTheProgram);

}  // namespace

GlobalStateGuard::GlobalStateGuard()
    : bundlePath_(pf::Bundle::mainBundlePathSetting()), infoPlistPath_(pf::Bundle::mainInfoPlistPathSetting()),
      home_(pf::Sandbox::chosenHome()), clock_(pf::Clock::currentShared()),
      screenScale_(platform::graphics::Image::screenScale()) {
    // The device a test plays is detected afresh, whatever an earlier test played.
    DeviceDetection::forgetDetectedIndexForTests();
}

GlobalStateGuard::~GlobalStateGuard() {
    // The test's timers and queued work must not run in the next test.
    pf::RunLoop::main().reset();
    platform::ui::Application::resetShared();
    // A window that went with the application leaves its root controller in
    // the process-wide table until the next root is set; its screens' layers,
    // still animating, would keep the animation clock running.
    platform::ui::forgetClosedWindows();
    platform::ui::Device::resetCurrent();
    DeviceDetection::forgetDetectedIndexForTests();
    platform::ui::Screen::resetMain();
    pf::RunLoop::main().reset();  // and what their going away queued
    // Written to the test's own home before the home changes back.
    pf::UserDefaults::resetStandard();
    pf::Clock::setCurrent(clock_);
    pf::Bundle::setMainBundlePath(bundlePath_, infoPlistPath_);
    pf::Sandbox::setHome(home_);
    platform::graphics::Image::setScreenScale(screenScale_);
    platform::graphics::Image::clearNamedCache();
    platform::ui::Appearance::resetAll();
    // The analytics usage letters ride on the next hit, whoever sends it.
    TLYUsageTracker::getUsageSequence();
}

}  // namespace qmtest
