// The charge fraction from the exact percentage or the platform level.
#include <gtest/gtest.h>

#include <memory>

#include "app/BatteryInfo.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

namespace ui = platform::ui;

namespace {

class ScriptedBattery : public ui::BatterySource {
public:
    ui::BatteryReading reading;
    ui::BatteryReading read() override { return reading; }
    std::string description() const override { return "scripted battery"; }
};

class BatteryInfoTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        battery_ = std::make_shared<ScriptedBattery>();
        ui::Device::current().setBatterySource(battery_);
    }
    void TearDown() override { ui::Device::resetCurrent(); }

    float multiplier(int percentage, float level, bool monitoring = true) {
        battery_->reading = {level, ui::BatteryState::Unplugged, percentage};
        auto& device = ui::Device::current();
        device.setBatteryMonitoringEnabled(monitoring);
        device.updateBattery();
        return BatteryInfo::sharedInstance()->getBatteryMultiplier();
    }

    std::shared_ptr<ScriptedBattery> battery_;
};

TEST_F(BatteryInfoTest, ExactPercentageWins) {
    EXPECT_FLOAT_EQ(multiplier(57, 0.20f), 0.57f);
    EXPECT_EQ(BatteryInfo::sharedInstance()->readSystemBattery(), 57);
    EXPECT_FLOAT_EQ(multiplier(100, 0.98f), 1.0f);
    EXPECT_FLOAT_EQ(multiplier(1, 0.5f), 0.01f);
}

TEST_F(BatteryInfoTest, UntrustedPercentageFallsBackToTheLevel) {
    EXPECT_FLOAT_EQ(multiplier(0, 0.42f), 0.42f);
    EXPECT_FLOAT_EQ(multiplier(101, 0.42f), 0.42f);
    EXPECT_FLOAT_EQ(multiplier(-1, 0.42f), 0.42f);
    EXPECT_EQ(BatteryInfo::sharedInstance()->readSystemBattery(), -1);
}

TEST_F(BatteryInfoTest, EmptyLevelCountsAsOnePercent) { EXPECT_FLOAT_EQ(multiplier(-1, 0.0f), 0.01f); }

TEST_F(BatteryInfoTest, NoLevelAnywhereIsNegative) {
    EXPECT_FLOAT_EQ(multiplier(-1, -1.0f), -1.0f);
    // With monitoring off the platform answers -1 whatever the battery holds.
    EXPECT_FLOAT_EQ(multiplier(-1, 0.6f, /*monitoring=*/false), -1.0f);
}

TEST_F(BatteryInfoTest, OneSharedInstance) {
    EXPECT_EQ(BatteryInfo::sharedInstance().get(), BatteryInfo::sharedInstance().get());
}

}  // namespace
