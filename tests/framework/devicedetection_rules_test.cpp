// Hardware identifiers to device indexes and names.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/DeviceDetection.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

namespace {

struct Case {
    const char* model;
    const char* hardware;
    int32_t index;
};

TEST(DeviceDetectionRules, EveryIdentifierInTheTables) {
    const std::vector<Case> cases = {
        {"iPod touch", "iPod1,1", 1},  {"iPod touch", "iPod2,1", 2},  {"iPod touch", "iPod3,1", 3},
        {"iPod touch", "iPod4,1", 4},  {"iPod touch", "iPod5,1", 5},  {"iPod touch", "iPod7,1", 6},
        {"iPod touch", "iPod6,1", 31}, {"iPod touch", "iPod9,1", 31},

        {"iPad", "iPad1,1", 21},       {"iPad", "iPad1,2", 21},       {"iPad", "iPad2,1", 22},
        {"iPad", "iPad2,4", 22},       {"iPad", "iPad2,5", 25},       {"iPad", "iPad2,6", 25},
        {"iPad", "iPad2,7", 25},       {"iPad", "iPad3,1", 23},       {"iPad", "iPad3,2", 23},
        {"iPad", "iPad3,3", 23},       {"iPad", "iPad3,4", 24},       {"iPad", "iPad3,6", 24},
        {"iPad", "iPad4,1", 19},       {"iPad", "iPad4,2", 19},       {"iPad", "iPad4,3", 19},
        {"iPad", "iPad4,4", 26},       {"iPad", "iPad4,5", 26},       {"iPad", "iPad4,6", 26},
        {"iPad", "iPad4,7", 27},       {"iPad", "iPad4,8", 27},       {"iPad", "iPad4,9", 27},
        {"iPad", "iPad5,1", 28},       {"iPad", "iPad5,2", 28},       {"iPad", "iPad5,3", 20},
        {"iPad", "iPad5,4", 20},       {"iPad", "iPad6,3", 29},       {"iPad", "iPad6,8", 29},
        {"iPad", "iPad7,1", 32},       {"iPad", "iPad", 32},

        {"iPhone", "iPhone1,1", 7},    {"iPhone", "iPhone1,2", 8},    {"iPhone", "iPhone2,1", 9},
        {"iPhone", "iPhone3,1", 10},   {"iPhone", "iPhone3,2", 10},   {"iPhone", "iPhone3,3", 10},
        {"iPhone", "iPhone4,1", 11},   {"iPhone", "iPhone4,9", 11},   {"iPhone", "iPhone5,1", 12},
        {"iPhone", "iPhone5,2", 12},   {"iPhone", "iPhone5,3", 13},   {"iPhone", "iPhone5,4", 13},
        {"iPhone", "iPhone6,1", 14},   {"iPhone", "iPhone6,2", 14},   {"iPhone", "iPhone7,1", 16},
        {"iPhone", "iPhone7,2", 15},   {"iPhone", "iPhone8,1", 17},   {"iPhone", "iPhone8,2", 18},
        {"iPhone", "iPhone8,4", 30},   {"iPhone", "iPhone9,1", 30},   {"iPhone", "iPhone3,4", 30},
    };
    for (const auto& c : cases) EXPECT_EQ(DeviceDetection::detect(c.model, c.hardware), c.index) << c.hardware;
}

TEST(DeviceDetectionRules, SimulatorAndUnknownIdentifiers) {
    EXPECT_EQ(DeviceDetection::detect("iPhone", "x86_64"), 30);
    EXPECT_EQ(DeviceDetection::detect("iPhone Simulator", "x86_64"), 30);
    EXPECT_EQ(DeviceDetection::detect("", ""), 30);
    EXPECT_EQ(DeviceDetection::detect("Apple TV", "AppleTV5,3"), 30);  // anything else takes the phone rules
    EXPECT_EQ(DeviceDetection::nameForIndex(30, false), "iPhone (new)");
}

TEST(DeviceDetectionRules, FamilyByModelStringIgnoringCase) {
    EXPECT_EQ(DeviceDetection::detect("IPOD TOUCH", "iPod7,1"), 6);
    EXPECT_EQ(DeviceDetection::detect("ipad", "iPad6,8"), 29);
    // The model string picks the family, whatever the identifier says.
    EXPECT_EQ(DeviceDetection::detect("iPad", "iPhone7,1"), 32);
    EXPECT_EQ(DeviceDetection::detect("iPod touch", "iPad2,5"), 31);
}

TEST(DeviceDetectionRules, AsterisksAreRemoved) {
    EXPECT_EQ(DeviceDetection::detect("iPhone", "iPhone7,1*"), 16);
    EXPECT_EQ(DeviceDetection::detect("iPad", "*iPad2,6"), 25);
}

TEST(DeviceDetectionRules, NameTable) {
    const std::vector<std::pair<int32_t, std::string>> names = {
        {1, "iPod Touch (1st gen)"},
        {2, "iPod Touch (2nd gen)"},
        {3, "iPod Touch (3rd gen)"},
        {4, "iPod Touch (4th gen)"},
        {5, "iPod Touch (5th gen)"},
        {6, "iPod Touch (6th gen)"},
        {7, "iPhone (1st gen)"},
        {8, "iPhone 3G"},
        {9, "iPhone 3GS"},
        {10, "iPhone 4"},
        {11, "iPhone 4S"},
        {12, "iPhone 5"},
        {13, "iPhone 5C"},
        {14, "iPhone 5S"},
        {15, "iPhone 6"},
        {16, "iPhone 6 Plus"},
        {17, "iPhone 6S"},
        {18, "iPhone 6S Plus"},
        {19, "iPad Air"},
        {20, "iPad Air 2"},
        {21, "iPad"},
        {22, "iPad 2"},
        {23, "iPad 3"},
        {24, "iPad 4"},
        {25, "iPad Mini"},
        {26, "iPad Mini 2"},
        {27, "iPad Mini 3"},
        {28, "iPad Mini 4"},
        {29, "iPad Pro"},
        {30, "iPhone (new)"},
        {31, "iPod (new)"},
        {32, "iPad (new)"},
    };
    for (const auto& [index, name] : names) {
        EXPECT_EQ(DeviceDetection::nameForIndex(index, false), name) << index;
        EXPECT_EQ(DeviceDetection::nameForIndex(index, true), name) << index;
    }
    EXPECT_EQ(DeviceDetection::nameForIndex(0, false), "iPhone Simulator");
    EXPECT_EQ(DeviceDetection::nameForIndex(0, true), "iPhone 3G");
    for (int32_t index : {-1, 33, 1000, DeviceDetection::kNotDetected})
        EXPECT_EQ(DeviceDetection::nameForIndex(index, false), "Unknown (New device ?)") << index;
}

TEST(DeviceDetectionCache, DetectsOnceAndKeepsTheIndex) {
    qmtest::GlobalStateGuard guard;
    auto& device = platform::ui::Device::current();
    device.setHardwareIdentifier("iPad2,6");
    EXPECT_EQ(DeviceDetection::detectDevice(), 25);
    EXPECT_EQ(DeviceDetection::name(false), "iPad Mini");
    // A second call reads neither the model string nor the identifier.
    device.setHardwareIdentifier("iPhone7,1");
    EXPECT_EQ(DeviceDetection::detectDevice(), 25);
    platform::ui::Device::resetCurrent();
    platform::ui::Device::current().setHardwareIdentifier("iPod7,1");
    EXPECT_EQ(DeviceDetection::model(), "iPad Mini");
}

TEST(DeviceDetectionCache, TheTestGuardStartsEachTestUndetected) {
    {
        qmtest::GlobalStateGuard guard;
        platform::ui::Device::current().setHardwareIdentifier("iPhone7,1");
        EXPECT_EQ(DeviceDetection::detectDevice(), 16);
    }
    qmtest::GlobalStateGuard guard;
    platform::ui::Device::current().setHardwareIdentifier("iPod7,1");
    EXPECT_EQ(DeviceDetection::detectDevice(), 6);
}

}  // namespace
