// Which rows a device shows, and where the screen moves them.
#include <gtest/gtest.h>

#include "app/BatteryEstimate.h"

namespace {

const BatteryWords kWords = BatteryWords::keys();

BatteryEstimateInput phone(int32_t index, float m = 0.5f) {
    BatteryEstimateInput in;
    in.deviceIndex = index;
    in.chargeFraction = m;
    in.healthPercent = 100.0f;
    in.brightness = 0.5;
    in.camera = in.frontCamera = in.flash = true;
    in.carrier = true;
    return in;
}

BatteryEstimateInput tablet(int32_t index, bool carrier) {
    BatteryEstimateInput in = phone(index);
    in.tablet = true;
    in.carrier = carrier;
    return in;
}

TEST(EstimateRows, FirstPhoneHasEdgeAndOnlyTwoG) {
    auto e = BatteryEstimate::compute(phone(7), kWords);
    EXPECT_EQ(e.labelTimeNet3G, "Edge: 3:00");  // M = 6 at half charge
    EXPECT_TRUE(e.hideVideoRecordingRow);
    EXPECT_TRUE(e.hideGPSRow);
    EXPECT_TRUE(e.talkRowToVideoRow);
    EXPECT_EQ(e.labelTimeTalk, "");
    EXPECT_EQ(e.labelTimeTalk3G, "6 hours 0 min");  // G2 = 12, long form, no prefix
    EXPECT_FALSE(e.talkRowsHidden);
    EXPECT_FALSE(e.noTalkRows);
}

TEST(EstimateRows, RecordingNotOfferedOnThreeModels) {
    for (int32_t index : {7, 8}) EXPECT_TRUE(BatteryEstimate::compute(phone(index), kWords).hideVideoRecordingRow);
    EXPECT_TRUE(BatteryEstimate::compute(tablet(21, true), kWords).hideVideoRecordingRow);
    for (int32_t index : {0, 6, 9, 16, 22, 30, 32, -1})
        EXPECT_FALSE(BatteryEstimate::compute(phone(index), kWords).hideVideoRecordingRow) << index;
}

TEST(EstimateRows, IPodsWithoutTalkOrMobileWeb) {
    for (int32_t index : {1, 2, 3, 4, 5, 31}) {
        auto e = BatteryEstimate::compute(phone(index), kWords);
        EXPECT_TRUE(e.talkRowsHidden) << index;
        EXPECT_TRUE(e.noTalkRows) << index;
        EXPECT_FALSE(e.talkRowToVideoRow) << index;
        EXPECT_FALSE(e.webRowsHidden) << index;  // W = 9
        EXPECT_TRUE(e.net3GHidden) << index;     // M = 0
        EXPECT_TRUE(e.hideGPSRow) << index;
        EXPECT_EQ(e.labelTimeNet3G, "mobile: 0:00") << index;
    }
}

TEST(EstimateRows, GPSCapability) {
    for (int32_t index = -3; index <= 40; ++index) {
        const bool capable = !(index >= 1 && index <= 5) && index != 7 && index != 31;
        EXPECT_EQ(BatteryEstimate::compute(phone(index), kWords).hideGPSRow, !capable) << index;
    }
    // Without a carrier name even a capable device hides the row.
    auto noCarrier = phone(16);
    noCarrier.carrier = false;
    auto e = BatteryEstimate::compute(noCarrier, kWords);
    EXPECT_TRUE(e.hideGPSRow);
    EXPECT_FALSE(e.net3GHidden);  // only a tablet drops the mobile figure
    EXPECT_EQ(e.labelTimeNet3G, "mobile: 6:00");
}

TEST(EstimateRows, TabletWithoutCarrierDropsMobileWeb) {
    auto e = BatteryEstimate::compute(tablet(19, false), kWords);
    EXPECT_TRUE(e.hideGPSRow);
    EXPECT_TRUE(e.net3GHidden);
    EXPECT_EQ(e.labelTimeNet3G, "mobile: 0:00");
    EXPECT_FALSE(e.webRowsHidden);
    EXPECT_EQ(e.labelTimeNetWifi, "WiFi: 5:00");

    auto withCarrier = BatteryEstimate::compute(tablet(19, true), kWords);
    EXPECT_FALSE(withCarrier.hideGPSRow);
    EXPECT_FALSE(withCarrier.net3GHidden);
    EXPECT_EQ(withCarrier.labelTimeNet3G, "mobile: 4:30");
}

TEST(EstimateRows, TabletsKeepTheirTalkLayout) {
    // Tablets have no talk figures: rows hidden, but never the 2G-only switch.
    auto e = BatteryEstimate::compute(tablet(20, true), kWords);
    EXPECT_TRUE(e.talkRowsHidden);
    EXPECT_FALSE(e.talkRowToVideoRow);
    EXPECT_EQ(e.labelTimeTalk, "2G:   0:00");
    EXPECT_FALSE(e.chargingMarkCenterY.has_value());
}

TEST(EstimateRows, CameraInputs) {
    auto in = phone(16);
    in.camera = false;
    in.frontCamera = false;
    in.flash = false;
    auto e = BatteryEstimate::compute(in, kWords);
    EXPECT_TRUE(e.hidePhotosRow);
    EXPECT_TRUE(e.hideVideoRecordingRow);
    EXPECT_TRUE(e.hideVideoChatRow);
    EXPECT_TRUE(e.flashlightRowHidden);

    auto all = BatteryEstimate::compute(phone(16), kWords);
    EXPECT_FALSE(all.hidePhotosRow);
    EXPECT_FALSE(all.hideVideoRecordingRow);
    EXPECT_FALSE(all.hideVideoChatRow);
    EXPECT_FALSE(all.flashlightRowHidden);
}

TEST(EstimateRows, ChargingMarkAndAlpha) {
    auto low = phone(10, 0.49f);
    low.charging = true;
    auto e = BatteryEstimate::compute(low, kWords);
    EXPECT_EQ(e.chargingMarkCenterY, 110.0);
    EXPECT_FALSE(e.imageChargingHidden);
    EXPECT_DOUBLE_EQ(e.chargeAlpha, 1.0);

    auto high = BatteryEstimate::compute(phone(10, 0.5f), kWords);
    EXPECT_EQ(high.chargingMarkCenterY, 224.0);
    EXPECT_TRUE(high.imageChargingHidden);
    EXPECT_DOUBLE_EQ(high.chargeAlpha, 0.7);
}

TEST(EstimateRows, TalkPadding) {
    // 2:00 is shorter than five characters and gets three blanks; 12:00 one.
    auto e = BatteryEstimate::compute(phone(16, 0.5f), kWords);
    EXPECT_EQ(e.labelTimeTalk, "2G: 12:00");
    auto small = BatteryEstimate::compute(phone(16, 0.25f), kWords);
    EXPECT_EQ(small.labelTimeTalk, "2G:   6:00");
}

}  // namespace
