#include "framework/DeviceDetection.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <initializer_list>

#include "framework/TwkUtils.h"
#include "platform/ui/Device.h"

namespace {

// Detected once for the process: the hardware does not change under it.
int32_t gDetectedIndex = DeviceDetection::kNotDetected;

bool containsIgnoringCase(const std::string& text, const std::string& needle) {
    auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

bool beginsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool isOneOf(const std::string& text, std::initializer_list<const char*> candidates) {
    return std::any_of(candidates.begin(), candidates.end(), [&](const char* c) { return text == c; });
}

int32_t detectIPod(const std::string& hw) {
    if (hw == "iPod1,1") return 1;
    if (hw == "iPod2,1") return 2;
    if (hw == "iPod3,1") return 3;
    if (hw == "iPod4,1") return 4;
    if (hw == "iPod5,1") return 5;
    if (hw == "iPod7,1") return 6;
    return 31;
}

int32_t detectIPad(const std::string& hw) {
    if (beginsWith(hw, "iPad1,")) return 21;
    if (beginsWith(hw, "iPad2,")) return isOneOf(hw, {"iPad2,5", "iPad2,6", "iPad2,7"}) ? 25 : 22;
    if (beginsWith(hw, "iPad3,")) return isOneOf(hw, {"iPad3,1", "iPad3,2", "iPad3,3"}) ? 23 : 24;
    if (beginsWith(hw, "iPad4,")) {
        if (isOneOf(hw, {"iPad4,4", "iPad4,5", "iPad4,6"})) return 26;
        if (isOneOf(hw, {"iPad4,7", "iPad4,8", "iPad4,9"})) return 27;
        return 19;
    }
    if (beginsWith(hw, "iPad5,")) return isOneOf(hw, {"iPad5,1", "iPad5,2"}) ? 28 : 20;
    if (beginsWith(hw, "iPad6,")) return 29;
    return 32;
}

int32_t detectPhone(const std::string& hw) {
    if (hw == "iPhone1,1") return 7;
    if (hw == "iPhone1,2") return 8;
    if (hw == "iPhone2,1") return 9;
    if (isOneOf(hw, {"iPhone3,1", "iPhone3,2", "iPhone3,3"})) return 10;
    if (beginsWith(hw, "iPhone4,")) return 11;
    if (isOneOf(hw, {"iPhone5,1", "iPhone5,2"})) return 12;
    if (beginsWith(hw, "iPhone5,")) return 13;
    if (beginsWith(hw, "iPhone6,")) return 14;
    if (beginsWith(hw, "iPhone7,")) return hw == "iPhone7,1" ? 16 : 15;
    if (hw == "iPhone8,1") return 17;
    if (hw == "iPhone8,2") return 18;
    return 30;
}

constexpr std::array<const char*, 33> kNames = {
    "iPhone Simulator",
    "iPod Touch (1st gen)",
    "iPod Touch (2nd gen)",
    "iPod Touch (3rd gen)",
    "iPod Touch (4th gen)",
    "iPod Touch (5th gen)",
    "iPod Touch (6th gen)",
    "iPhone (1st gen)",
    "iPhone 3G",
    "iPhone 3GS",
    "iPhone 4",
    "iPhone 4S",
    "iPhone 5",
    "iPhone 5C",
    "iPhone 5S",
    "iPhone 6",
    "iPhone 6 Plus",
    "iPhone 6S",
    "iPhone 6S Plus",
    "iPad Air",
    "iPad Air 2",
    "iPad",
    "iPad 2",
    "iPad 3",
    "iPad 4",
    "iPad Mini",
    "iPad Mini 2",
    "iPad Mini 3",
    "iPad Mini 4",
    "iPad Pro",
    "iPhone (new)",
    "iPod (new)",
    "iPad (new)",
};

}  // namespace

int32_t DeviceDetection::detect(const std::string& modelString, const std::string& hardwareIdentifier) {
    std::string hw = hardwareIdentifier;
    hw.erase(std::remove(hw.begin(), hw.end(), '*'), hw.end());
    if (containsIgnoringCase(modelString, "iPod")) return detectIPod(hw);
    if (containsIgnoringCase(modelString, "iPad")) return detectIPad(hw);
    return detectPhone(hw);
}

std::string DeviceDetection::nameForIndex(int32_t index, bool flag) {
    if (index == 0 && flag) return "iPhone 3G";
    if (index < 0 || index >= static_cast<int32_t>(kNames.size())) return "Unknown (New device ?)";
    return kNames[static_cast<size_t>(index)];
}

int32_t DeviceDetection::detectDevice() {
    if (gDetectedIndex == kNotDetected)
        gDetectedIndex = detect(platform::ui::Device::current().model(), TwkUtils::getHardwareModel());
    return gDetectedIndex;
}

void DeviceDetection::forgetDetectedIndexForTests() { gDetectedIndex = kNotDetected; }

std::string DeviceDetection::name(bool flag) { return nameForIndex(detectDevice(), flag); }

std::string DeviceDetection::model() { return name(true); }
