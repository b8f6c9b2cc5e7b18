#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Device.h"
#include "platform/ui/NotificationNames.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::ui;
namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

// A stand-in for /sys/class/power_supply.
class FakePowerSupply {
public:
    FakePowerSupply() {
        char tmpl[] = "/tmp/qm-power-XXXXXX";
        root_ = mkdtemp(tmpl);
    }
    ~FakePowerSupply() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }
    void set(const std::string& supply, const std::map<std::string, std::string>& files) {
        fs::create_directories(root_ / supply);
        for (const auto& [name, value] : files) std::ofstream(root_ / supply / name) << value << "\n";
    }
    void remove(const std::string& supply) { fs::remove_all(root_ / supply); }

private:
    fs::path root_;
};

BatteryReading readAt(const FakePowerSupply& fake) { return SysfsBatterySource(fake.root()).read(); }

}  // namespace

TEST(SysfsBattery, EveryFileLayout) {
    FakePowerSupply fake;
    fake.set("AC", {{"type", "Mains"}, {"online", "1"}});
    fake.set("BAT0",
             {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "28500000"}, {"energy_full", "50000000"}});
    BatteryReading r = readAt(fake);
    EXPECT_FLOAT_EQ(r.level, 0.57f);
    EXPECT_EQ(r.percentage, 57);
    EXPECT_EQ(r.state, BatteryState::Unplugged);

    fake.remove("BAT0");
    fake.set("BAT0",
             {{"type", "Battery"}, {"status", "Charging"}, {"charge_now", "1500000"}, {"charge_full", "4000000"}});
    r = readAt(fake);
    EXPECT_FLOAT_EQ(r.level, 0.375f);
    EXPECT_EQ(r.percentage, 38);
    EXPECT_EQ(r.state, BatteryState::Charging);

    fake.remove("BAT0");
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Full"}, {"capacity", "100"}});
    r = readAt(fake);
    EXPECT_FLOAT_EQ(r.level, 1.0f);
    EXPECT_EQ(r.percentage, 100);
    EXPECT_EQ(r.state, BatteryState::Full);
}

TEST(SysfsBattery, CapacityFileIsTheExactPercentage) {
    FakePowerSupply fake;
    // The kernel's capacity may round differently from energy; the percentage shown follows it.
    fake.set("BAT1", {{"type", "Battery"},
                      {"status", "Discharging"},
                      {"energy_now", "49400"},
                      {"energy_full", "100000"},
                      {"capacity", "50"}});
    BatteryReading r = readAt(fake);
    EXPECT_EQ(r.percentage, 50);
    EXPECT_FLOAT_EQ(r.level, 0.494f);
}

TEST(SysfsBattery, SeveralBatteriesAddUp) {
    FakePowerSupply fake;
    fake.set("BAT0",
             {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "10000"}, {"energy_full", "20000"}});
    fake.set("BAT1",
             {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "60000"}, {"energy_full", "60000"}});
    BatteryReading r = readAt(fake);
    EXPECT_FLOAT_EQ(r.level, 70000.0f / 80000.0f);  // by energy, not the mean of 50 % and 100 %
    EXPECT_EQ(r.percentage, 88);
    EXPECT_EQ(r.state, BatteryState::Unplugged);

    // One charging, one full: the device is on power and not yet full.
    fake.set("BAT0", {{"status", "Charging"}});
    fake.set("BAT1", {{"status", "Full"}});
    EXPECT_EQ(readAt(fake).state, BatteryState::Charging);
    fake.set("BAT0", {{"status", "Full"}, {"energy_now", "20000"}});
    EXPECT_EQ(readAt(fake).state, BatteryState::Full);

    // Mixed layouts fall back to the mean of each battery's fraction.
    fake.remove("BAT1");
    fake.set("BAT1", {{"type", "Battery"}, {"status", "Full"}, {"capacity", "60"}});
    EXPECT_FLOAT_EQ(readAt(fake).level, 0.8f);
}

TEST(SysfsBattery, NotChargingAtFullCountsAsFull) {
    FakePowerSupply fake;
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Not charging"}, {"capacity", "100"}});
    EXPECT_EQ(readAt(fake).state, BatteryState::Full);
    // Held below full by a charge threshold: on power, not full.
    fake.set("BAT0", {{"capacity", "80"}});
    EXPECT_EQ(readAt(fake).state, BatteryState::Charging);
    fake.set("BAT0", {{"status", "Unknown"}});
    EXPECT_EQ(readAt(fake).state, BatteryState::Unknown);
}

TEST(SysfsBattery, NoBatteryMeansUnknown) {
    FakePowerSupply fake;
    EXPECT_FALSE(SysfsBatterySource(fake.root()).hasBattery());
    BatteryReading r = readAt(fake);
    EXPECT_EQ(r.level, -1.0f);
    EXPECT_EQ(r.state, BatteryState::Unknown);
    EXPECT_EQ(r.percentage, -1);
    // Mains only, a peripheral's battery, a battery that is not present.
    fake.set("AC", {{"type", "Mains"}, {"online", "1"}});
    fake.set("hidpp_battery_0",
             {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "90"}, {"status", "Discharging"}});
    fake.set("BAT0", {{"type", "Battery"}, {"present", "0"}});
    EXPECT_FALSE(SysfsBatterySource(fake.root()).hasBattery());
    EXPECT_EQ(readAt(fake).level, -1.0f);
    // A missing root folder too.
    EXPECT_EQ(SysfsBatterySource(fake.root() + "/nowhere").read().level, -1.0f);
}

TEST(SysfsBattery, OddFilesStayInRange) {
    FakePowerSupply fake;
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Charging"}, {"energy_now", "52000"}, {"energy_full", "50000"}});
    EXPECT_FLOAT_EQ(readAt(fake).level, 1.0f);
    EXPECT_EQ(readAt(fake).percentage, 100);
    fake.set("BAT0", {{"energy_full", "0"}, {"energy_now", "garbage"}, {"capacity", "42"}});
    EXPECT_FLOAT_EQ(readAt(fake).level, 0.42f);
}

TEST(BatterySpec, ParsesLevelAndState) {
    std::string error;
    auto s = parseBatterySpec("0.57", &error);
    ASSERT_TRUE(s);
    EXPECT_FLOAT_EQ(s->read().level, 0.57f);
    EXPECT_EQ(s->read().state, BatteryState::Unplugged);
    EXPECT_EQ(s->read().percentage, 57);
    EXPECT_EQ(parseBatterySpec("1", &error)->read().state, BatteryState::Full);
    EXPECT_EQ(parseBatterySpec("0.3:charging", &error)->read().state, BatteryState::Charging);
    EXPECT_EQ(parseBatterySpec("0:unknown", &error)->read().state, BatteryState::Unknown);
    for (const char* bad : {"", "57", "-0.1", "abc", "0.5:plugged", "0.5x", "nan"}) {
        error.clear();
        EXPECT_FALSE(parseBatterySpec(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

class DeviceBatteryTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        levelObs_ = pf::NotificationCenter::defaultCenter().addObserver(kDeviceBatteryLevelDidChangeNotification,
                                                                        &Device::current(),
                                                                        [this](const pf::Notification&) { ++levels_; });
        stateObs_ = pf::NotificationCenter::defaultCenter().addObserver(kDeviceBatteryStateDidChangeNotification,
                                                                        &Device::current(),
                                                                        [this](const pf::Notification&) { ++states_; });
    }
    void TearDown() override {
        levelObs_.reset();
        stateObs_.reset();
        pf::RunLoop::current().runUntilIdle();
    }
    std::shared_ptr<pf::ManualClock> clock_;
    pf::Observer levelObs_, stateObs_;
    int levels_ = 0, states_ = 0;
};

TEST_F(DeviceBatteryTest, MonitoringOffAnswersUnknown) {
    FakePowerSupply fake;
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "64"}});
    Device& d = Device::current();
    d.setBatterySource(std::make_shared<SysfsBatterySource>(fake.root()));
    EXPECT_EQ(d.batteryLevel(), -1.0f);
    EXPECT_EQ(d.batteryState(), BatteryState::Unknown);
    EXPECT_EQ(d.batteryPercentage(), 64);  // what the status bar shows does not need monitoring
    d.setBatteryMonitoringEnabled(true);
    EXPECT_FLOAT_EQ(d.batteryLevel(), 0.64f);
    EXPECT_EQ(d.batteryState(), BatteryState::Unplugged);
    EXPECT_EQ(levels_ + states_, 0);  // turning it on is not a change
    d.setBatteryMonitoringEnabled(false);
    EXPECT_EQ(d.batteryLevel(), -1.0f);
}

TEST_F(DeviceBatteryTest, NotificationsOncePerChangeWhileMonitoring) {
    FakePowerSupply fake;
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "50"}});
    Device& d = Device::current();
    d.setBatterySource(std::make_shared<SysfsBatterySource>(fake.root()));
    d.setBatteryMonitoringEnabled(true);

    pf::RunLoop::current().runFor(30);  // nothing changes: nothing is posted
    EXPECT_EQ(levels_, 0);
    EXPECT_EQ(states_, 0);

    fake.set("BAT0", {{"capacity", "49"}});
    pf::RunLoop::current().runFor(30);
    EXPECT_EQ(levels_, 1);
    EXPECT_EQ(states_, 0);
    EXPECT_FLOAT_EQ(d.batteryLevel(), 0.49f);

    fake.set("BAT0", {{"status", "Charging"}});
    pf::RunLoop::current().runFor(Device::kBatteryPollInterval);
    EXPECT_EQ(levels_, 1);
    EXPECT_EQ(states_, 1);
    EXPECT_EQ(d.batteryState(), BatteryState::Charging);

    fake.set("BAT0", {{"status", "Full"}, {"capacity", "100"}});
    d.updateBattery();
    EXPECT_EQ(levels_, 2);
    EXPECT_EQ(states_, 2);

    // Off: changes go unseen and unannounced.
    d.setBatteryMonitoringEnabled(false);
    fake.set("BAT0", {{"status", "Discharging"}, {"capacity", "20"}});
    pf::RunLoop::current().runFor(30);
    EXPECT_EQ(levels_, 2);
    EXPECT_EQ(states_, 2);
}

TEST_F(DeviceBatteryTest, BatteryDisappearingIsAChange) {
    FakePowerSupply fake;
    fake.set("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "50"}});
    Device& d = Device::current();
    d.setBatterySource(std::make_shared<SysfsBatterySource>(fake.root()));
    d.setBatteryMonitoringEnabled(true);
    fake.remove("BAT0");
    d.updateBattery();
    EXPECT_EQ(levels_, 1);
    EXPECT_EQ(states_, 1);
    EXPECT_EQ(d.batteryLevel(), -1.0f);
    EXPECT_EQ(d.batteryState(), BatteryState::Unknown);
    EXPECT_EQ(d.batteryPercentage(), -1);
}

TEST_F(DeviceBatteryTest, SimulatedBattery) {
    auto sim = std::make_shared<SimulatedBatterySource>(0.8f, BatteryState::Charging);
    Device& d = Device::current();
    d.setBatterySource(sim);
    d.setBatteryMonitoringEnabled(true);
    EXPECT_FLOAT_EQ(d.batteryLevel(), 0.8f);
    sim->set(0.8f, BatteryState::Full);
    d.updateBattery();
    EXPECT_EQ(states_, 1);
    EXPECT_EQ(levels_, 0);
    sim->set(0.0f, BatteryState::Unplugged);
    EXPECT_EQ(d.batteryPercentage(), -1);  // 0 % is no figure the status bar would give
}
