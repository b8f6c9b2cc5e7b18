#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/DeviceProfile.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/Screen.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::ui;
namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

class FakeBacklight {
public:
    FakeBacklight() {
        char tmpl[] = "/tmp/qm-backlight-XXXXXX";
        root_ = mkdtemp(tmpl);
    }
    ~FakeBacklight() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }
    void write(const std::string& dev, const std::string& file, const std::string& value) {
        fs::create_directories(root_ / dev);
        std::ofstream(root_ / dev / file) << value << "\n";
    }

private:
    fs::path root_;
};

}  // namespace

TEST(Backlight, ReadsFractionAndPrefersFirmware) {
    FakeBacklight fake;
    EXPECT_FALSE(BacklightReader(fake.root()).read());
    fake.write("acpi_video0", "type", "firmware");
    fake.write("acpi_video0", "max_brightness", "15");
    fake.write("acpi_video0", "brightness", "3");
    fake.write("a_raw", "type", "raw");
    fake.write("a_raw", "max_brightness", "1000");
    fake.write("a_raw", "brightness", "1000");
    EXPECT_DOUBLE_EQ(*BacklightReader(fake.root()).read(), 0.2);
    // The hardware's own value wins over the requested one.
    fake.write("acpi_video0", "actual_brightness", "6");
    EXPECT_DOUBLE_EQ(*BacklightReader(fake.root()).read(), 0.4);
    // A broken interface is skipped.
    fake.write("acpi_video0", "max_brightness", "0");
    EXPECT_DOUBLE_EQ(*BacklightReader(fake.root()).read(), 1.0);
}

class ScreenTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        Screen::main().setBacklightRoot(fake_.root());
        obs_ = pf::NotificationCenter::defaultCenter().addObserver(
            kScreenBrightnessDidChangeNotification, &Screen::main(), [this](const pf::Notification&) { ++posted_; });
    }
    void TearDown() override {
        obs_.reset();
        pf::RunLoop::current().runUntilIdle();
    }
    FakeBacklight fake_;
    std::shared_ptr<pf::ManualClock> clock_;
    pf::Observer obs_;
    int posted_ = 0;
};

TEST_F(ScreenTest, BrightnessNotificationOncePerChange) {
    Screen& s = Screen::main();
    EXPECT_EQ(s.brightness(), Screen::kDefaultBrightness);  // no backlight
    fake_.write("intel_backlight", "max_brightness", "200");
    fake_.write("intel_backlight", "brightness", "50");
    s.setMonitoring(true);
    pf::RunLoop::current().runFor(Screen::kBrightnessPollInterval);
    EXPECT_DOUBLE_EQ(s.brightness(), 0.25);
    EXPECT_EQ(posted_, 1);
    pf::RunLoop::current().runFor(20);
    EXPECT_EQ(posted_, 1);
    fake_.write("intel_backlight", "brightness", "200");
    pf::RunLoop::current().runFor(20);
    EXPECT_EQ(posted_, 2);
    EXPECT_DOUBLE_EQ(s.brightness(), 1.0);
    s.setMonitoring(false);
    fake_.write("intel_backlight", "brightness", "0");
    pf::RunLoop::current().runFor(20);
    EXPECT_EQ(posted_, 2);
}

TEST_F(ScreenTest, SimulatedBrightnessOverridesTheBacklight) {
    Screen& s = Screen::main();
    fake_.write("intel_backlight", "max_brightness", "100");
    fake_.write("intel_backlight", "brightness", "10");
    s.updateBrightness();
    EXPECT_EQ(posted_, 1);
    s.setSimulatedBrightness(0.75);
    EXPECT_EQ(s.brightness(), 0.75);
    EXPECT_EQ(posted_, 2);
    s.setSimulatedBrightness(0.75);
    EXPECT_EQ(posted_, 2);
    fake_.write("intel_backlight", "brightness", "90");
    s.updateBrightness();
    EXPECT_EQ(s.brightness(), 0.75);
    EXPECT_EQ(posted_, 2);
    s.setSimulatedBrightness(std::nullopt);
    EXPECT_DOUBLE_EQ(s.brightness(), 0.9);
}

TEST_F(ScreenTest, BoundsByDeviceAndRotationOnlyOnTablets) {
    Screen& s = Screen::main();
    s.configure(DeviceProfile::forIdentifier("iPhone7,1"));
    EXPECT_EQ(s.bounds(), platform::graphics::Rect(0, 0, 414, 736));
    EXPECT_EQ(s.scale(), 3);
    s.setOrientation(InterfaceOrientation::LandscapeLeft);
    EXPECT_EQ(s.bounds(), platform::graphics::Rect(0, 0, 414, 736));
    s.configure(DeviceProfile::forIdentifier("iPad3,4"));
    EXPECT_EQ(s.bounds(), platform::graphics::Rect(0, 0, 768, 1024));
    s.setOrientation(InterfaceOrientation::LandscapeRight);
    EXPECT_EQ(s.bounds(), platform::graphics::Rect(0, 0, 1024, 768));
    s.setOrientation(InterfaceOrientation::PortraitUpsideDown);
    EXPECT_EQ(s.bounds().width(), 768);
}
