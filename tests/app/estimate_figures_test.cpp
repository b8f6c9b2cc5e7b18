// Remaining-time texts against figures worked out independently: a few by hand
// here, and the whole table from estimate_golden.py.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "app/BatteryEstimate.h"

namespace {

const BatteryWords kWords = BatteryWords::keys();

std::string shortTime(float h) { return BatteryEstimate::getFormattedTime(h, true, kWords); }
std::string longTime(float h) { return BatteryEstimate::getFormattedTime(h, false, kWords); }

BatteryEstimateInput input(int32_t index, float m, float health, double brightness, bool tablet = false) {
    BatteryEstimateInput in;
    in.deviceIndex = index;
    in.chargeFraction = m;
    in.healthPercent = health;
    in.brightness = brightness;
    in.tablet = tablet;
    in.camera = in.frontCamera = in.flash = true;
    in.carrier = true;
    return in;
}

TEST(EstimateFormat, ShortAndLongForms) {
    EXPECT_EQ(shortTime(10.5f), "10:30");
    EXPECT_EQ(shortTime(0.99f), "0:59");        // 0.99f * 60 = 59.4
    EXPECT_EQ(longTime(1.0f), "1 hour 0 min");  // 1 or less takes the singular
    EXPECT_EQ(longTime(0.5f), "0 hour 30 min");
    EXPECT_EQ(longTime(192.0f), "192 hours 0 min");
    EXPECT_EQ(longTime(2.0f), "2 hours 0 min");
    EXPECT_EQ(longTime(1.1f), "1 hour 6 min");
    EXPECT_EQ(shortTime(0.1f), "0:06");  // 0.1f * 60 rounds up to exactly 6 in single precision
    EXPECT_EQ(shortTime(0.0f), "0:00");
}

TEST(EstimateFormat, MinutesAreFlooredInSinglePrecision) {
    // 2.8f is 2.79999995..., (2.8f - 2) * 60 = 47.9999971 -> 47.
    EXPECT_EQ(shortTime(2.8f), "2:47");
    // 3.5999999f (4 x 0.9f): 0.5999999 * 60 = 35.99999428, a tie that rounds
    // to 35.99999237 in single precision -> 35.
    EXPECT_EQ(shortTime(3.5999999046325684f), "3:35");
    EXPECT_EQ(longTime(3.5999999046325684f), "3 hours 35 min");
}

TEST(EstimateFormat, PaddingOnlyInTheShortForm) {
    EXPECT_EQ(shortTime(9.05f), "9:03");
    EXPECT_EQ(longTime(9.05f), "9 hours 3 min");
}

TEST(EstimateFormat, LocalizedWords) {
    BatteryWords words{"Stunde", "Stunden", "Min.", "Mobil", "Standby"};
    EXPECT_EQ(BatteryEstimate::getFormattedTime(2.5f, false, words), "2 Stunden 30 Min.");
    EXPECT_EQ(BatteryEstimate::getFormattedTime(0.25f, false, words), "0 Stunde 15 Min.");
    EXPECT_EQ(BatteryEstimate::getFormattedTime(2.5f, true, words), "2:30");
}

// iPhone 6 Plus at half charge, health 100, brightness 0.5 (B = 1.0).
TEST(EstimateFigures, HalfChargedSixPlus) {
    auto e = BatteryEstimate::compute(input(16, 0.5f, 100.0f, 0.5), kWords);
    EXPECT_EQ(e.labelTimeGames2D, "2:47");  // 0.4 x 14 = 5.6f; x 0.5 = 2.8f
    EXPECT_EQ(e.labelTimeVideoRecording, "2:47");
    EXPECT_EQ(e.labelTimeGames3D, "1:45");  // 0.25 x 14 x 0.5 = 1.75
    EXPECT_EQ(e.labelTimeVideo, "7 hours 0 min");
    EXPECT_EQ(e.labelTimeMusic, "40 hours 0 min");
    EXPECT_EQ(e.labelTimeFlashlight, "1:45");  // 14 / 4 x 0.5
    EXPECT_EQ(e.labelTimeChargeTime, "1:04");  // 0.5 x 2.16f = 1.08000004
    EXPECT_EQ(e.labelTimeTalk, "2G: 12:00");
    EXPECT_EQ(e.labelTimeTalk3G, "3G: 12:00");
    EXPECT_EQ(e.labelStandby, "standby: 192 hours 0 min");
    EXPECT_EQ(e.labelPercentage, "50 %");
    EXPECT_EQ(e.labelTimeReading, "9:00");  // 1.5 x 12 x 0.5
    EXPECT_EQ(e.labelTimeNetWifi, "WiFi: 6:00");
    EXPECT_EQ(e.labelTimeNet3G, "mobile: 6:00");
}

TEST(EstimateFigures, DefaultRowAtFullChargeAndFullBrightness) {
    // B = 0.9f; 0.4 x 10 = 4; 4 x 0.9f = 3.5999999 -> 3:35.
    for (int32_t index : {-1, 40, 33, INT32_MIN}) {
        auto e = BatteryEstimate::compute(input(index, 1.0f, 100.0f, 1.0), kWords);
        EXPECT_EQ(e.labelTimeGames2D, "3:35") << index;
        EXPECT_EQ(e.labelTimeChargeTime, "0:00") << index;
        EXPECT_EQ(e.labelStandby, "standby: 300 hours 0 min") << index;
        EXPECT_EQ(e.labelTimeTalk, "2G: 12:00") << index;
        EXPECT_EQ(e.labelTimeTalk3G, "3G:   5:00") << index;
        EXPECT_EQ(e.labelPercentage, "100 %") << index;
    }
}

TEST(EstimateFigures, HealthScalesEverythingButTheChargeTime) {
    // Index 10 at full charge, brightness 0.5: video 10 h, standby 300 h.
    auto full = BatteryEstimate::compute(input(10, 1.0f, 100.0f, 0.5), kWords);
    auto worn = BatteryEstimate::compute(input(10, 1.0f, 80.0f, 0.5), kWords);
    EXPECT_EQ(full.labelTimeVideo, "10 hours 0 min");
    EXPECT_EQ(worn.labelTimeVideo, "8 hours 0 min");
    EXPECT_EQ(full.labelStandby, "standby: 300 hours 0 min");
    EXPECT_EQ(worn.labelStandby, "standby: 240 hours 0 min");
    EXPECT_EQ(worn.labelTimeMusic, "32 hours 0 min");
    EXPECT_EQ(worn.labelTimeTalk, "2G: 11:11");  // 14 x 0.8f = 11.1999998f; 0.1999998 x 60 = 11.99999
    EXPECT_EQ(full.labelTimeChargeTime, worn.labelTimeChargeTime);

    // An absent (0) setting counts as 100 %.
    auto absent = BatteryEstimate::compute(input(10, 1.0f, 0.0f, 0.5), kWords);
    EXPECT_EQ(absent.labelTimeVideo, full.labelTimeVideo);
    EXPECT_EQ(absent.labelStandby, full.labelStandby);
}

TEST(EstimateFigures, BrightnessTouchesOnlyScreenBoundFigures) {
    auto dark = BatteryEstimate::compute(input(10, 1.0f, 100.0f, 0.0), kWords);    // B = 1.1
    auto bright = BatteryEstimate::compute(input(10, 1.0f, 100.0f, 1.0), kWords);  // B = 0.9
    EXPECT_EQ(dark.labelTimeVideo, "11 hours 0 min");
    EXPECT_EQ(bright.labelTimeVideo, "9 hours 0 min");
    EXPECT_EQ(dark.labelTimeMusic, bright.labelTimeMusic);
    EXPECT_EQ(dark.labelTimeFlashlight, bright.labelTimeFlashlight);
    EXPECT_EQ(dark.labelTimeTalk, bright.labelTimeTalk);
    EXPECT_EQ(dark.labelStandby, bright.labelStandby);

    // No brightness on the screen: B = 1.0, as at brightness 0.5.
    BatteryEstimateInput none = input(10, 1.0f, 100.0f, 0.5);
    none.brightness.reset();
    EXPECT_EQ(BatteryEstimate::compute(none, kWords).labelTimeVideo, "10 hours 0 min");
}

TEST(EstimateFigures, FlashlightDivisorByDeviceClass) {
    // V = 10 at full charge: 10 / 4 = 2.5 h on a phone, 10 / 2.5 = 4 h on a tablet.
    EXPECT_EQ(BatteryEstimate::compute(input(9, 1.0f, 100.0f, 0.5), kWords).labelTimeFlashlight, "2:30");
    EXPECT_EQ(BatteryEstimate::compute(input(9, 1.0f, 100.0f, 0.5, true), kWords).labelTimeFlashlight, "4:00");
}

TEST(EstimateFigures, PercentageRounding) {
    EXPECT_EQ(BatteryEstimate::compute(input(10, 0.57f, 100.0f, 0.5), kWords).labelPercentage, "57 %");
    EXPECT_EQ(BatteryEstimate::compute(input(10, 0.01f, 100.0f, 0.5), kWords).labelPercentage, "1 %");
}

TEST(EstimateFigures, TableRows) {
    EXPECT_FLOAT_EQ(BatteryEstimate::rowForDevice(21).charge, 6.0f);
    EXPECT_FLOAT_EQ(BatteryEstimate::rowForDevice(16).standby, 384.0f);
    EXPECT_FLOAT_EQ(BatteryEstimate::rowForDevice(-1).standby, 300.0f);
    EXPECT_FLOAT_EQ(BatteryEstimate::rowForDevice(33).talk2G, 12.0f);
}

struct GoldenCase {
    int32_t index;
    float level, health;
    double brightness;
    bool tablet;
    std::array<const char*, 16> texts;
};

const GoldenCase kGolden[] = {
#include "estimate_golden.inc"
};

TEST(EstimateGolden, EveryRowAtLowHalfAndFullCharge) {
    ASSERT_EQ(std::size(kGolden), 35u * 3u * 2u * 2u);
    for (const auto& g : kGolden) {
        auto e = BatteryEstimate::compute(input(g.index, g.level, g.health, g.brightness, g.tablet), kWords);
        const std::array<std::string, 16> got = {
            e.labelTimeChargeTime,   e.labelTimeGames2D, e.labelTimeGames3D,       e.labelTimeVideoChat,
            e.labelTimeTakingPhotos, e.labelTimeReading, e.labelTimeGPSNavigation, e.labelTimeFlashlight,
            e.labelTimeMusic,        e.labelTimeVideo,   e.labelTimeNetWifi,       e.labelTimeNet3G,
            e.labelTimeTalk,         e.labelTimeTalk3G,  e.labelStandby,           e.labelPercentage};
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i], g.texts[i]) << "index " << g.index << " level " << g.level << " brightness "
                                          << g.brightness << (g.tablet ? " tablet" : " phone") << " field " << i;
        }
        EXPECT_EQ(e.labelTimeVideoRecording, e.labelTimeGames2D);
    }
}

}  // namespace
