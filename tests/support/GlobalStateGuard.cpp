#include "tests/support/GlobalStateGuard.h"

#include "framework/DeviceDetection.h"
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

namespace qmtest {

namespace pf = platform::foundation;

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
}

}  // namespace qmtest
