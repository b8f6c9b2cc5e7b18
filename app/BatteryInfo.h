#pragma once
// The battery charge as a fraction for the rest of the application: the exact
// percentage the status bar shows when it can be read, else the platform's
// battery level.
#include <cstdint>
#include <memory>

class BatteryInfo {
public:
    static std::shared_ptr<BatteryInfo> sharedInstance();

    // The status bar's percentage (1..100), or -1 when it cannot be read. The
    // device's own percentage reading stands in for the status-bar item.
    int32_t readSystemBattery();
    // The charge in (0, 1]; negative when no level is known at all. A status-bar
    // figure outside 1..100 is not trusted; a platform level of exactly 0 is 0.01.
    float getBatteryMultiplier();
    void animateTest(const void*) {}
};
