#pragma once
// What a device model is and has, keyed by its hardware identifier ("iPhone7,1",
// "iPad4,2", ...). An identifier no rule knows (a desktop's "x86_64") gets the
// simulator's answers.
#include <string>

namespace platform::ui {

enum class UserInterfaceIdiom { Unspecified = -1, Phone = 0, Pad = 1 };

struct DeviceProfile {
    std::string identifier;
    std::string model;  // "iPhone", "iPod touch", "iPad"
    UserInterfaceIdiom idiom = UserInterfaceIdiom::Phone;
    // Portrait screen size in points, and points to pixels.
    double screenWidth = 375, screenHeight = 667, scale = 2;
    bool camera = false;  // a rear camera as an image source
    bool frontCamera = false;
    bool flash = false;  // the rear camera's flash
    bool gps = false;
    std::string carrierName;  // empty without a cellular provider
    bool simulator = false;

    static DeviceProfile forIdentifier(const std::string& identifier);
};

}  // namespace platform::ui
