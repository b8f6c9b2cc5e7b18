// The refresh's decisions on the manual clock: debounce, full-battery sound, row shift.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/BatteryEstimate.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;

namespace {

class EstimateRefresh : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        BatteryRefresh::resetProcessState();
        pf::setLogSink([this](const std::string& line) { log_.push_back(line); });
    }
    void TearDown() override {
        pf::setLogSink(nullptr);
        BatteryRefresh::resetProcessState();
    }

    BatteryEstimateInput at(float m, bool charging = true, int32_t index = 16, bool tablet = false) {
        BatteryEstimateInput in;
        in.deviceIndex = index;
        in.chargeFraction = m;
        in.healthPercent = 100.0f;
        in.brightness = 0.5;
        in.charging = charging;
        in.tablet = tablet;
        return in;
    }

    std::optional<BatteryRefresh::Outcome> run(const BatteryEstimateInput& in, bool alertOn = true,
                                               bool soundAvailable = true) {
        return refresh_.refresh(in, BatteryWords::keys(), alertOn, soundAvailable);
    }

    int soundLogLines() const {
        int n = 0;
        for (const auto& l : log_) n += l.find("Playing fully charged sound!") != std::string::npos;
        return n;
    }

    std::shared_ptr<pf::ManualClock> clock_;
    BatteryRefresh refresh_;
    std::vector<std::string> log_;
};

TEST_F(EstimateRefresh, NoLevelChangesNothing) {
    EXPECT_FALSE(run(at(-1.0f)).has_value());
    EXPECT_FLOAT_EQ(BatteryRefresh::lastMultiplier(), -1.0f);
    EXPECT_TRUE(run(at(0.5f)).has_value());
}

TEST_F(EstimateRefresh, SameFractionWithinThreeSecondsIsSkipped) {
    ASSERT_TRUE(run(at(0.5f)).has_value());
    clock_->advance(2.9);
    EXPECT_FALSE(run(at(0.5f)).has_value());
    clock_->advance(0.1);  // 3.0 s after the last full refresh
    EXPECT_TRUE(run(at(0.5f)).has_value());
    // A different fraction always passes.
    EXPECT_TRUE(run(at(0.49f)).has_value());
    EXPECT_FLOAT_EQ(BatteryRefresh::lastMultiplier(), 0.49f);
}

TEST_F(EstimateRefresh, ASkippedRefreshDoesNotPostponeTheNext) {
    ASSERT_TRUE(run(at(0.5f)).has_value());
    clock_->advance(2.0);
    EXPECT_FALSE(run(at(0.5f)).has_value());
    clock_->advance(1.0);
    EXPECT_TRUE(run(at(0.5f)).has_value());
}

TEST_F(EstimateRefresh, WallClockSetBackDoesNotFreezeTheScreen) {
    ASSERT_TRUE(run(at(0.5f)).has_value());
    clock_->setNow(clock_->now() - 86400.0);
    clock_->advance(3.0);
    EXPECT_TRUE(run(at(0.5f)).has_value());
}

TEST_F(EstimateRefresh, SettingsCloseForcesTheNextRefresh) {
    ASSERT_TRUE(run(at(0.5f)).has_value());
    BatteryRefresh::setLastMultiplier(-1.0f);
    EXPECT_TRUE(run(at(0.5f)).has_value());
}

TEST_F(EstimateRefresh, FullBatterySoundOncePerFullCharge) {
    auto first = run(at(1.0f));
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->playSound);
    EXPECT_TRUE(refresh_.soundAlreadyPlayed());
    EXPECT_EQ(soundLogLines(), 1);
    EXPECT_EQ(first->estimate.labelTimeChargeTime, "0:00");

    clock_->advance(3.0);
    auto second = run(at(1.0f));
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(second->playSound);

    auto dropped = run(at(0.99f));  // re-arms
    ASSERT_TRUE(dropped.has_value());
    EXPECT_FALSE(dropped->playSound);
    EXPECT_FALSE(refresh_.soundAlreadyPlayed());

    auto again = run(at(1.0f));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->playSound);
    EXPECT_EQ(soundLogLines(), 2);
}

TEST_F(EstimateRefresh, FullChargeOnBatteryPlaysTheSoundToo) {
    auto unplugged = run(at(1.0f, /*charging=*/false));
    ASSERT_TRUE(unplugged.has_value());
    EXPECT_TRUE(unplugged->playSound);
    EXPECT_TRUE(refresh_.soundAlreadyPlayed());
    // Plugged in while still full: the state change passes the debounce, but
    // this full charge has had its sound.
    auto plugged = run(at(1.0f, /*charging=*/true));
    ASSERT_TRUE(plugged.has_value());
    EXPECT_FALSE(plugged->estimate.imageChargingHidden);
    EXPECT_FALSE(plugged->playSound);
    EXPECT_EQ(soundLogLines(), 1);
}

TEST_F(EstimateRefresh, NoSoundWhenSwitchedOffOrMissing) {
    auto off = run(at(1.0f), /*alertOn=*/false);
    ASSERT_TRUE(off.has_value());
    EXPECT_FALSE(off->playSound);
    EXPECT_FALSE(refresh_.soundAlreadyPlayed());

    clock_->advance(3.0);
    auto missing = run(at(1.0f), true, /*soundAvailable=*/false);
    ASSERT_TRUE(missing.has_value());
    EXPECT_FALSE(missing->playSound);
    EXPECT_FALSE(refresh_.soundAlreadyPlayed());
    EXPECT_EQ(soundLogLines(), 0);
}

TEST_F(EstimateRefresh, ANewScreenStartsReArmed) {
    ASSERT_TRUE(run(at(1.0f))->playSound);
    BatteryRefresh otherScreen;
    BatteryRefresh::setLastMultiplier(-1.0f);
    auto out = otherScreen.refresh(at(1.0f), BatteryWords::keys(), true, true);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->playSound);
}

TEST_F(EstimateRefresh, RowShiftDecidedOncePerScreen) {
    auto first = run(at(0.5f, true, /*index=*/3));
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->shiftRows);
    EXPECT_TRUE(refresh_.internetBrowsingYFixed());
    auto second = run(at(0.4f, true, 3));
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(second->shiftRows);
}

TEST_F(EstimateRefresh, RowShiftOnlyForPhonesWithoutTalk) {
    auto withTalk = run(at(0.5f, true, 10));
    ASSERT_TRUE(withTalk.has_value());
    EXPECT_FALSE(withTalk->shiftRows);
    EXPECT_TRUE(refresh_.internetBrowsingYFixed());  // decided, nothing to move

    BatteryRefresh tabletScreen;
    auto tablet = tabletScreen.refresh(at(0.4f, true, 19, /*tablet=*/true), BatteryWords::keys(), false, true);
    ASSERT_TRUE(tablet.has_value());
    EXPECT_FALSE(tablet->shiftRows);
    EXPECT_FALSE(tabletScreen.internetBrowsingYFixed());
}

}  // namespace
