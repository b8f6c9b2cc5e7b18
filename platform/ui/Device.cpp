#include "platform/ui/Device.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "platform/system/Sysctl.h"
#include "platform/ui/NotificationNames.h"

namespace platform::ui {

using foundation::FileManager;

namespace {

std::optional<std::string> readLine(const std::string& path) {
    auto text = FileManager::readFile(path);
    if (!text) return std::nullopt;
    std::string s = *text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

std::optional<double> readNumber(const std::string& path) {
    auto s = readLine(path);
    if (!s || s->empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s->c_str(), &end);
    if (end == s->c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

struct Cell {
    std::optional<double> energyNow, energyFull, chargeNow, chargeFull, capacity;
    std::string status;
};

std::vector<Cell> readCells(const std::string& root) {
    std::vector<Cell> cells;
    for (const std::string& name : FileManager::contentsOfDirectory(root)) {
        const std::string dir = FileManager::joinPath(root, name);
        if (readLine(FileManager::joinPath(dir, "type")).value_or("") != "Battery") continue;
        // Batteries of attached peripherals (mice, pens) are not the device's.
        if (readLine(FileManager::joinPath(dir, "scope")).value_or("") == "Device") continue;
        if (auto present = readNumber(FileManager::joinPath(dir, "present")); present && *present == 0) continue;
        Cell c;
        c.energyNow = readNumber(FileManager::joinPath(dir, "energy_now"));
        c.energyFull = readNumber(FileManager::joinPath(dir, "energy_full"));
        c.chargeNow = readNumber(FileManager::joinPath(dir, "charge_now"));
        c.chargeFull = readNumber(FileManager::joinPath(dir, "charge_full"));
        c.capacity = readNumber(FileManager::joinPath(dir, "capacity"));
        c.status = readLine(FileManager::joinPath(dir, "status")).value_or("");
        cells.push_back(c);
    }
    return cells;
}

bool usable(const std::optional<double>& now, const std::optional<double>& full) {
    return now && full && *full > 0 && *now >= 0;
}

// The cell's own fraction, from whichever files it has.
std::optional<double> fractionOf(const Cell& c) {
    if (usable(c.energyNow, c.energyFull)) return *c.energyNow / *c.energyFull;
    if (usable(c.chargeNow, c.chargeFull)) return *c.chargeNow / *c.chargeFull;
    if (c.capacity && *c.capacity >= 0) return *c.capacity / 100.0;
    return std::nullopt;
}

}  // namespace

SysfsBatterySource::SysfsBatterySource(std::string root) : root_(std::move(root)) {}

bool SysfsBatterySource::hasBattery() const { return !readCells(root_).empty(); }

BatteryReading SysfsBatterySource::read() {
    const std::vector<Cell> cells = readCells(root_);
    BatteryReading r;
    if (cells.empty()) return r;

    // Several batteries add up by energy when all report it, else by charge,
    // else their fractions are averaged.
    double level = -1;
    const bool allEnergy =
        std::all_of(cells.begin(), cells.end(), [](const Cell& c) { return usable(c.energyNow, c.energyFull); });
    const bool allCharge =
        std::all_of(cells.begin(), cells.end(), [](const Cell& c) { return usable(c.chargeNow, c.chargeFull); });
    if (allEnergy || allCharge) {
        double now = 0, full = 0;
        for (const Cell& c : cells) {
            now += allEnergy ? *c.energyNow : *c.chargeNow;
            full += allEnergy ? *c.energyFull : *c.chargeFull;
        }
        level = now / full;
    } else {
        double sum = 0;
        int n = 0;
        for (const Cell& c : cells)
            if (auto f = fractionOf(c)) {
                sum += *f;
                ++n;
            }
        if (n > 0) level = sum / n;
    }
    if (level >= 0) {
        level = std::clamp(level, 0.0, 1.0);  // a worn cell may report now > full
        r.level = float(level);
        // One battery's own capacity file is the exact figure the system shows.
        if (cells.size() == 1 && cells[0].capacity && *cells[0].capacity >= 0)
            r.percentage = int(std::clamp(*cells[0].capacity, 0.0, 100.0));
        else
            r.percentage = int(std::lround(level * 100));
    }

    // The platform's charging means "on external power and not yet full".
    bool anyCharging = false, anyDischarging = false, allFull = true, anyKnown = false;
    for (const Cell& c : cells) {
        const auto f = fractionOf(c);
        const bool atFull = f && std::lround(*f * 100) >= 100;
        bool full = false;
        if (c.status == "Charging") {
            anyCharging = true;
        } else if (c.status == "Discharging") {
            anyDischarging = true;
        } else if (c.status == "Full") {
            full = true;
        } else if (c.status == "Not charging") {
            (atFull ? full : anyCharging) = true;
        } else {
            allFull = false;
            continue;
        }
        anyKnown = true;
        allFull = allFull && full;
    }
    if (!anyKnown)
        r.state = BatteryState::Unknown;
    else if (anyDischarging)
        r.state = BatteryState::Unplugged;
    else if (anyCharging)
        r.state = BatteryState::Charging;
    else if (allFull)
        r.state = BatteryState::Full;
    else
        r.state = BatteryState::Unknown;
    return r;
}

void SimulatedBatterySource::set(float level, BatteryState state) {
    reading_.level = level < 0 ? -1.0f : std::min(level, 1.0f);
    reading_.state = state;
    reading_.percentage = level < 0 ? -1 : int(std::lround(reading_.level * 100));
}

std::string SimulatedBatterySource::description() const {
    return foundation::format("simulated battery at %d%% (%s)", reading_.percentage, batteryStateName(reading_.state));
}

const char* batteryStateName(BatteryState state) {
    switch (state) {
    case BatteryState::Unplugged: return "unplugged";
    case BatteryState::Charging: return "charging";
    case BatteryState::Full: return "full";
    default: return "unknown";
    }
}

std::unique_ptr<SimulatedBatterySource> parseBatterySpec(const std::string& spec, std::string* error) {
    const size_t colon = spec.find(':');
    const std::string levelText = spec.substr(0, colon);
    char* end = nullptr;
    const double level = std::strtod(levelText.c_str(), &end);
    if (levelText.empty() || *end != '\0' || !(level >= 0.0 && level <= 1.0)) {
        if (error) *error = "battery level must be a number from 0 to 1, not \"" + levelText + "\"";
        return nullptr;
    }
    BatteryState state = level >= 1.0 ? BatteryState::Full : BatteryState::Unplugged;
    if (colon != std::string::npos) {
        const std::string name = spec.substr(colon + 1);
        bool found = false;
        for (BatteryState s :
             {BatteryState::Unknown, BatteryState::Unplugged, BatteryState::Charging, BatteryState::Full})
            if (name == batteryStateName(s)) {
                state = s;
                found = true;
            }
        if (!found) {
            if (error) *error = "battery state must be unknown, unplugged, charging or full, not \"" + name + "\"";
            return nullptr;
        }
    }
    return std::make_unique<SimulatedBatterySource>(float(level), state);
}

std::string unameMachine() {
    struct utsname u {};
    if (uname(&u) != 0) return "";
    return u.machine;
}

namespace {
std::unique_ptr<Device> gCurrent;
}

Device& Device::current() {
    if (!gCurrent) gCurrent = std::make_unique<Device>();
    return *gCurrent;
}

void Device::resetCurrent() { gCurrent.reset(); }

Device::Device()
    : profile_(DeviceProfile::forIdentifier(unameMachine())), source_(std::make_shared<SysfsBatterySource>()) {}

Device::~Device() {
    if (pollTimer_) pollTimer_->invalidate();
}

void Device::setHardwareIdentifier(const std::string& identifier) {
    profile_ = DeviceProfile::forIdentifier(identifier);
    // The kernel's hardware names answer for the played device too.
    system::sysctl_set_played_device(profile_.identifier, profile_.model);
}

void Device::setBatterySource(std::shared_ptr<BatterySource> source) {
    source_ = std::move(source);
    if (monitoring_) updateBattery();
}

void Device::setBatteryMonitoringEnabled(bool enabled) {
    if (enabled == monitoring_) return;
    monitoring_ = enabled;
    if (enabled) {
        // The values are there at once; notifications tell of later changes.
        last_ = source_->read();
        pollTimer_ = foundation::Timer::scheduled(
            kBatteryPollInterval, true, [this](foundation::Timer&) { updateBattery(); }, &foundation::RunLoop::main());
    } else {
        if (pollTimer_) pollTimer_->invalidate();
        pollTimer_.reset();
        last_ = BatteryReading();
    }
}

float Device::batteryLevel() const { return monitoring_ ? last_.level : -1.0f; }

BatteryState Device::batteryState() const { return monitoring_ ? last_.state : BatteryState::Unknown; }

int Device::batteryPercentage() const {
    const int p = source_->read().percentage;
    return p >= 1 && p <= 100 ? p : -1;
}

void Device::updateBattery() {
    if (!monitoring_) return;
    const BatteryReading now = source_->read();
    const bool levelChanged = now.level != last_.level;
    const bool stateChanged = now.state != last_.state;
    last_ = now;
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (stateChanged) center.post(kDeviceBatteryStateDidChangeNotification, this);
    if (levelChanged) center.post(kDeviceBatteryLevelDidChangeNotification, this);
}

}  // namespace platform::ui
