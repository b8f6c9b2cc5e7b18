#pragma once
// The main screen: its size in points and scale by the device being played,
// turned with the interface on a tablet, and its brightness from the machine's
// backlight (sysfs) or a fixed value (--brightness). The brightness is polled
// on the main run loop while monitoring runs, and the platform's notification
// is posted once per change. Main thread only.
#include <memory>
#include <optional>
#include <string>

#include "platform/graphics/Geometry.h"

namespace platform::foundation {
class Timer;
}

namespace platform::ui {

struct DeviceProfile;

enum class InterfaceOrientation { Portrait = 1, PortraitUpsideDown = 2, LandscapeLeft = 4, LandscapeRight = 3 };
inline bool isLandscape(InterfaceOrientation o) {
    return o == InterfaceOrientation::LandscapeLeft || o == InterfaceOrientation::LandscapeRight;
}

// Brightness of the first backlight under /sys/class/backlight (or another
// root): actual_brightness (else brightness) over max_brightness, firmware
// interfaces preferred over platform and raw ones.
class BacklightReader {
public:
    explicit BacklightReader(std::string root = "/sys/class/backlight") : root_(std::move(root)) {}
    std::optional<double> read() const;

private:
    std::string root_;
};

class Screen {
public:
    static Screen& main();
    static void resetMain();  // tests

    static constexpr double kBrightnessPollInterval = 2.0;
    // Where no backlight exists and none is given.
    static constexpr double kDefaultBrightness = 0.5;

    Screen();
    ~Screen();

    // Takes size and scale from the device's profile.
    void configure(const DeviceProfile& profile);
    // Bounds in points, following the interface orientation (turned only on a tablet).
    graphics::Rect bounds() const;
    graphics::Rect applicationFrame() const { return bounds(); }
    double scale() const { return scale_; }
    InterfaceOrientation orientation() const { return orientation_; }
    void setOrientation(InterfaceOrientation o) { orientation_ = o; }

    double brightness() const { return brightness_; }
    // A fixed brightness (--brightness, tests); null returns to the backlight.
    void setSimulatedBrightness(std::optional<double> value);
    void setBacklightRoot(const std::string& root);
    // Re-reads the brightness; posts the notification when it changed.
    void updateBrightness();
    void setMonitoring(bool on);

private:
    double read() const;
    double width_ = 375, height_ = 667, scale_ = 2;
    bool tablet_ = false;
    InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
    std::optional<double> simulated_;
    BacklightReader backlight_;
    double brightness_ = kDefaultBrightness;
    std::shared_ptr<foundation::Timer> pollTimer_;
};

}  // namespace platform::ui
