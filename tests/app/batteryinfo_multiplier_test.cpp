// The charge fraction from the exact percentage or the platform level, and
// the status bar's battery item read through its class's own members.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/BatteryInfo.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
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

// A battery item as the status bar could hold it, beneath a base class whose
// members are not the item's own.
class ItemBase : public pf::MemberOwner {
public:
    void declareMembers(pf::MemberTable& t) const override { t.member("_foregroundColor", std::string("white")); }
};

class ScriptedItem : public ItemBase {
public:
    int capacity = 0;
    std::optional<std::string> percentString;
    void declareMembers(pf::MemberTable& t) const override {
        t.member("_capacity", capacity);
        t.member("_percentString", percentString);
    }
};

class StatusBarWithItem : public BatteryInfo {
public:
    std::shared_ptr<ScriptedItem> item = std::make_shared<ScriptedItem>();

protected:
    std::shared_ptr<const pf::MemberOwner> batteryPercentItem() const override { return item; }
};

TEST_F(BatteryInfoTest, TheItemsOwnMembersAreReadByNameWithNilAsNull) {
    StatusBarWithItem info;
    info.item->capacity = 57;
    pf::Value expected = pf::Value::emptyDictionary();
    expected["_capacity"] = 57;
    expected["_percentString"] = pf::Value();
    EXPECT_EQ(info.dictionaryWithIvarsFromObject(*info.item), expected);
    EXPECT_TRUE(info.dictionaryWithIvarsFromObject(ItemBase()).contains("_foregroundColor"));
}

TEST_F(BatteryInfoTest, AnItemWithoutCapacityGivesTheLeadingDigitsOfItsText) {
    StatusBarWithItem info;
    battery_->reading = {0.3f, ui::BatteryState::Unplugged, 30};
    ui::Device::current().setBatteryMonitoringEnabled(true);
    ui::Device::current().updateBattery();

    info.item->capacity = 57;
    EXPECT_FLOAT_EQ(info.getBatteryMultiplier(), 0.57f);
    info.item->capacity = 0;
    info.item->percentString = "100\u00a0%";
    EXPECT_EQ(info.readSystemBattery(), 100);
    EXPECT_FLOAT_EQ(info.getBatteryMultiplier(), 1.0f);
    // No text, or digits past any percentage, leave the platform level.
    info.item->percentString.reset();
    EXPECT_EQ(info.readSystemBattery(), -1);
    EXPECT_FLOAT_EQ(info.getBatteryMultiplier(), 0.3f);
    info.item->percentString = "4294967353\u00a0%";
    EXPECT_FLOAT_EQ(info.getBatteryMultiplier(), 0.3f);
    info.item.reset();
    EXPECT_EQ(info.readSystemBattery(), -1);
}

TEST_F(BatteryInfoTest, OneSharedInstance) {
    EXPECT_EQ(BatteryInfo::sharedInstance().get(), BatteryInfo::sharedInstance().get());
}

}  // namespace
