#pragma once
// The battery charge as a fraction for the rest of the application: the exact
// percentage the status bar shows when it can be read, else the platform's
// battery level.
#include <cstdint>
#include <memory>

#include "platform/foundation/MemberTable.h"
#include "platform/foundation/Value.h"

class BatteryInfo {
public:
    static std::shared_ptr<BatteryInfo> sharedInstance();
    virtual ~BatteryInfo() = default;

    // The status bar's percentage (1..100), or -1 when it cannot be read: the
    // battery item's "_capacity", or when that is 0 the leading integer of its
    // "_percentString".
    int32_t readSystemBattery();
    // Each member the object's own class declares, by name; nil is the null value.
    platform::foundation::Value dictionaryWithIvarsFromObject(const platform::foundation::MemberOwner& object) const;
    // The charge in (0, 1]; negative when no level is known at all. A status-bar
    // figure outside 1..100 is not trusted; a platform level of exactly 0 is 0.01.
    float getBatteryMultiplier();
    void animateTest(const void*) {}

protected:
    // The status bar's battery-percentage item, or null when there is none. The
    // device's own percentage reading stands in for the platform's item.
    virtual std::shared_ptr<const platform::foundation::MemberOwner> batteryPercentItem() const;
};
