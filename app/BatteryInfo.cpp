#include "app/BatteryInfo.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Format.h"
#include "platform/ui/Device.h"

namespace pf = platform::foundation;

namespace {

// What the status bar's item holds: the percentage, and the text it shows
// (digits, a no-break space, a percent sign).
class BatteryPercentItem : public pf::MemberOwner {
public:
    explicit BatteryPercentItem(int percent) : capacity_(percent), percentString_(pf::format("%d\u00a0%%", percent)) {}
    void declareMembers(pf::MemberTable& table) const override {
        table.member("_capacity", capacity_);
        table.member("_percentString", percentString_);
    }

private:
    int capacity_;
    std::optional<std::string> percentString_;
};

// The integer value of a number or the leading integer of a text, saturated
// to 32 bits as the platform's integer value is.
int32_t intValue(const pf::Value& v) {
    return int32_t(std::clamp<int64_t>(v.intValue(), INT32_MIN, INT32_MAX));
}

}  // namespace

std::shared_ptr<BatteryInfo> BatteryInfo::sharedInstance() {
    static std::mutex mutex;
    static std::shared_ptr<BatteryInfo> instance;
    std::lock_guard<std::mutex> lock(mutex);
    if (!instance) instance = std::make_shared<BatteryInfo>();
    return instance;
}

std::shared_ptr<const pf::MemberOwner> BatteryInfo::batteryPercentItem() const {
    const int percent = platform::ui::Device::current().batteryPercentage();
    if (percent < 0) return nullptr;
    return std::make_shared<BatteryPercentItem>(percent);
}

pf::Value BatteryInfo::dictionaryWithIvarsFromObject(const pf::MemberOwner& object) const {
    pf::MemberTable table;
    object.declareMembers(table);
    pf::Value ivars = pf::Value::emptyDictionary();
    for (const auto& [name, value] : table.members()) ivars[name] = value;
    return ivars;
}

int32_t BatteryInfo::readSystemBattery() {
    const auto item = batteryPercentItem();
    if (!item) return -1;
    const pf::Value ivars = dictionaryWithIvarsFromObject(*item);
    int32_t percent = intValue(ivars["_capacity"]);
    if (percent == 0) percent = intValue(ivars["_percentString"]);
    return percent >= 1 && percent <= 100 ? percent : -1;
}

float BatteryInfo::getBatteryMultiplier() {
    const int32_t r = readSystemBattery();
    if (r >= 1 && r <= 100) return static_cast<float>(r / 100.0);
    const float level = platform::ui::Device::current().batteryLevel();
    return level == 0.0f ? 0.01f : level;
}
