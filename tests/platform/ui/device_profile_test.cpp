#include <gtest/gtest.h>

#include "platform/ui/Device.h"
#include "platform/ui/DeviceProfile.h"

using namespace platform::ui;

TEST(DeviceProfile, PhonesByGeneration) {
    auto p = DeviceProfile::forIdentifier("iPhone7,1");
    EXPECT_EQ(p.model, "iPhone");
    EXPECT_EQ(p.idiom, UserInterfaceIdiom::Phone);
    EXPECT_EQ(p.screenWidth, 414);
    EXPECT_EQ(p.screenHeight, 736);
    EXPECT_EQ(p.scale, 3);
    EXPECT_TRUE(p.camera && p.frontCamera && p.flash && p.gps);
    EXPECT_FALSE(p.carrierName.empty());

    p = DeviceProfile::forIdentifier("iPhone7,2");
    EXPECT_EQ(p.screenHeight, 667);
    p = DeviceProfile::forIdentifier("iPhone5,3");
    EXPECT_EQ(p.screenHeight, 568);
    p = DeviceProfile::forIdentifier("iPhone1,1");
    EXPECT_EQ(p.scale, 1);
    EXPECT_TRUE(p.camera);
    EXPECT_FALSE(p.frontCamera || p.flash || p.gps);
    // iPhone10,x and later: a known family but an unknown generation.
    EXPECT_EQ(DeviceProfile::forIdentifier("iPhone10,3").model, "iPhone");
}

TEST(DeviceProfile, PodsAndTablets) {
    auto pod = DeviceProfile::forIdentifier("iPod4,1");
    EXPECT_EQ(pod.model, "iPod touch");
    EXPECT_TRUE(pod.camera && pod.frontCamera);
    EXPECT_FALSE(pod.flash || pod.gps);
    EXPECT_TRUE(pod.carrierName.empty());
    EXPECT_FALSE(DeviceProfile::forIdentifier("iPod3,1").camera);

    auto pad = DeviceProfile::forIdentifier("iPad4,1");
    EXPECT_EQ(pad.model, "iPad");
    EXPECT_EQ(pad.idiom, UserInterfaceIdiom::Pad);
    EXPECT_EQ(pad.screenWidth, 768);
    EXPECT_EQ(pad.scale, 2);
    EXPECT_TRUE(pad.carrierName.empty());
    EXPECT_FALSE(pad.gps);
    auto cell = DeviceProfile::forIdentifier("iPad4,2");
    EXPECT_TRUE(cell.gps);
    EXPECT_FALSE(cell.carrierName.empty());
    EXPECT_FALSE(DeviceProfile::forIdentifier("iPad1,1").camera);
    EXPECT_EQ(DeviceProfile::forIdentifier("iPad6,8").screenHeight, 1366);
}

TEST(DeviceProfile, UnknownIdentifierIsTheSimulator) {
    for (const char* id : {"x86_64", "aarch64", "", "iPhone", "iPadX"}) {
        auto p = DeviceProfile::forIdentifier(id);
        EXPECT_TRUE(p.simulator) << id;
        EXPECT_EQ(p.model, "iPhone") << id;
        EXPECT_EQ(p.idiom, UserInterfaceIdiom::Phone);
        EXPECT_FALSE(p.camera || p.frontCamera || p.flash);
        EXPECT_TRUE(p.carrierName.empty());
    }
}

TEST(Device, IdentifierDefaultsToUnameAndCanBeChosen) {
    Device d;
    EXPECT_EQ(d.hardwareIdentifier(), unameMachine());
    EXPECT_FALSE(d.hardwareIdentifier().empty());
    d.setHardwareIdentifier("iPad2,5");
    EXPECT_EQ(d.model(), "iPad");
    EXPECT_EQ(d.userInterfaceIdiom(), UserInterfaceIdiom::Pad);
    EXPECT_EQ(d.profile().scale, 1);
    EXPECT_EQ(d.hardwareIdentifier(), "iPad2,5");
    // The major version is above 6: the system code takes the iOS 7 paths.
    EXPECT_GT(std::stoi(d.systemVersion()), 6);
}
