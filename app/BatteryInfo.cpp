#include "app/BatteryInfo.h"

#include <mutex>

#include "platform/ui/Device.h"

std::shared_ptr<BatteryInfo> BatteryInfo::sharedInstance() {
    static std::mutex mutex;
    static std::shared_ptr<BatteryInfo> instance;
    std::lock_guard<std::mutex> lock(mutex);
    if (!instance) instance = std::make_shared<BatteryInfo>();
    return instance;
}

int32_t BatteryInfo::readSystemBattery() {
    const int percent = platform::ui::Device::current().batteryPercentage();
    return percent >= 1 && percent <= 100 ? percent : -1;
}

float BatteryInfo::getBatteryMultiplier() {
    const int32_t r = readSystemBattery();
    if (r >= 1 && r <= 100) return static_cast<float>(r / 100.0);
    const float level = platform::ui::Device::current().batteryLevel();
    return level == 0.0f ? 0.01f : level;
}
