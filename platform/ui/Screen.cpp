#include "platform/ui/Screen.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "platform/ui/DeviceProfile.h"
#include "platform/ui/NotificationNames.h"

namespace platform::ui {

using foundation::FileManager;

namespace {

std::optional<double> readNumber(const std::string& path) {
    auto text = FileManager::readFile(path);
    if (!text) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text->c_str(), &end);
    if (end == text->c_str() || !std::isfinite(v)) return std::nullopt;
    return v;
}

int typeRank(const std::string& dir) {
    auto text = FileManager::readFile(FileManager::joinPath(dir, "type")).value_or("");
    if (text.compare(0, 8, "firmware") == 0) return 0;
    if (text.compare(0, 8, "platform") == 0) return 1;
    return 2;
}

std::unique_ptr<Screen> gMain;

}  // namespace

std::optional<double> BacklightReader::read() const {
    std::vector<std::pair<int, std::string>> candidates;
    for (const std::string& name : FileManager::contentsOfDirectory(root_)) {
        const std::string dir = FileManager::joinPath(root_, name);
        candidates.emplace_back(typeRank(dir), dir);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [rank, dir] : candidates) {
        const auto max = readNumber(FileManager::joinPath(dir, "max_brightness"));
        auto value = readNumber(FileManager::joinPath(dir, "actual_brightness"));
        if (!value) value = readNumber(FileManager::joinPath(dir, "brightness"));
        if (max && *max > 0 && value) return std::clamp(*value / *max, 0.0, 1.0);
    }
    return std::nullopt;
}

Screen& Screen::main() {
    if (!gMain) gMain = std::make_unique<Screen>();
    return *gMain;
}

void Screen::resetMain() { gMain.reset(); }

Screen::Screen() { brightness_ = read(); }

Screen::~Screen() {
    if (pollTimer_) pollTimer_->invalidate();
}

void Screen::configure(const DeviceProfile& profile) {
    width_ = profile.screenWidth;
    height_ = profile.screenHeight;
    scale_ = profile.scale;
    tablet_ = profile.idiom == UserInterfaceIdiom::Pad;
    orientation_ = InterfaceOrientation::Portrait;
}

graphics::Rect Screen::bounds() const {
    if (tablet_ && isLandscape(orientation_)) return {0, 0, height_, width_};
    return {0, 0, width_, height_};
}

double Screen::read() const {
    if (simulated_) return std::clamp(*simulated_, 0.0, 1.0);
    return backlight_.read().value_or(kDefaultBrightness);
}

void Screen::setSimulatedBrightness(std::optional<double> value) {
    simulated_ = value;
    updateBrightness();
}

void Screen::setBacklightRoot(const std::string& root) {
    backlight_ = BacklightReader(root);
    updateBrightness();
}

void Screen::updateBrightness() {
    const double now = read();
    if (now == brightness_) return;
    brightness_ = now;
    foundation::NotificationCenter::defaultCenter().post(kScreenBrightnessDidChangeNotification, this);
}

void Screen::setMonitoring(bool on) {
    if (on == bool(pollTimer_)) return;
    if (on) {
        pollTimer_ = foundation::Timer::scheduled(
            kBrightnessPollInterval, true, [this](foundation::Timer&) { updateBrightness(); },
            &foundation::RunLoop::main());
    } else {
        pollTimer_->invalidate();
        pollTimer_.reset();
    }
}

}  // namespace platform::ui
