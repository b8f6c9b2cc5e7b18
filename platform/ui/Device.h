#pragma once
// The current device: what it is (from its hardware identifier and profile) and
// its battery. The battery comes from a source: the machine's power supplies in
// sysfs, or a simulated battery (--battery, tests). While battery monitoring is
// on, the source is polled on the main run loop and the platform's level and
// state notifications are posted once per change. Main thread only.
#include <memory>
#include <string>

#include "platform/ui/DeviceProfile.h"

namespace platform::foundation {
class Timer;
}

namespace platform::ui {

enum class BatteryState { Unknown = 0, Unplugged = 1, Charging = 2, Full = 3 };

struct BatteryReading {
    float level = -1.0f;  // 0..1, -1 when unknown
    BatteryState state = BatteryState::Unknown;
    int percentage = -1;  // the exact percentage shown to the user, -1 when unknown
    bool operator==(const BatteryReading&) const = default;
};

class BatterySource {
public:
    virtual ~BatterySource() = default;
    virtual BatteryReading read() = 0;
    virtual std::string description() const = 0;
};

// The batteries under /sys/class/power_supply (or another root, for tests):
// level from energy_now/energy_full, charge_now/charge_full or capacity; several
// batteries are added up; "Not charging" at full counts as full.
class SysfsBatterySource : public BatterySource {
public:
    explicit SysfsBatterySource(std::string root = "/sys/class/power_supply");
    BatteryReading read() override;
    std::string description() const override { return "battery in " + root_; }
    // True when the root holds at least one battery.
    bool hasBattery() const;

private:
    std::string root_;
};

class SimulatedBatterySource : public BatterySource {
public:
    SimulatedBatterySource(float level, BatteryState state) { set(level, state); }
    void set(float level, BatteryState state);
    BatteryReading read() override { return reading_; }
    std::string description() const override;

private:
    BatteryReading reading_;
};

// Parses "LEVEL[:STATE]" (level 0..1; state unknown, unplugged, charging or
// full; default unplugged, or full at level 1). Null with `error` filled when bad.
std::unique_ptr<SimulatedBatterySource> parseBatterySpec(const std::string& spec, std::string* error);
const char* batteryStateName(BatteryState state);

class Device {
public:
    static Device& current();
    // A fresh current device (tests; applicationMain before configuring it).
    static void resetCurrent();

    // Seconds between two reads of the battery source while monitoring.
    static constexpr double kBatteryPollInterval = 2.0;

    Device();
    ~Device();

    // --device: the hardware identifier to play; default the uname machine field.
    void setHardwareIdentifier(const std::string& identifier);
    const std::string& hardwareIdentifier() const { return profile_.identifier; }
    const DeviceProfile& profile() const { return profile_; }
    void setBatterySource(std::shared_ptr<BatterySource> source);
    BatterySource& batterySource() const { return *source_; }

    std::string name() const { return "Quenmira " + profile_.model; }
    const std::string& model() const { return profile_.model; }
    const std::string& localizedModel() const { return profile_.model; }
    std::string systemName() const { return "iOS"; }
    std::string systemVersion() const { return "9.3"; }
    UserInterfaceIdiom userInterfaceIdiom() const { return profile_.idiom; }
    bool isMultitaskingSupported() const { return true; }

    bool isBatteryMonitoringEnabled() const { return monitoring_; }
    void setBatteryMonitoringEnabled(bool enabled);
    // As the platform answers them: -1.0 and unknown while monitoring is off.
    float batteryLevel() const;
    BatteryState batteryState() const;
    // The percentage the status bar shows (1..100), or -1; read afresh.
    int batteryPercentage() const;
    // Reads the source and posts a notification for the level and for the
    // state when each changed. Called by the poll timer; tests call it directly.
    void updateBattery();

private:
    DeviceProfile profile_;
    std::shared_ptr<BatterySource> source_;
    bool monitoring_ = false;
    BatteryReading last_;
    std::shared_ptr<foundation::Timer> pollTimer_;
};

// The machine field of uname.
std::string unameMachine();

}  // namespace platform::ui
