#pragma once
// The battery's pictures: the fill parts (greys that the fill layer multiplies
// with the battery colour), the glass body behind them, the shine over them,
// the charging mark and the rising bubbles.
#include <string>

namespace resgen {

struct BatteryGeometry {
    double width;  // of every part, in points
    double cap;    // height of the top and of the bottom fill cap
    // The stretchable middle's natural height, fixed by the fill layout.
    static constexpr double kMiddle = 185.0;
    // The middle picture itself is a short strip (its shading runs across
    // only), so the layout stretches it up instead of shrinking a tall one.
    static constexpr double kMiddleStrip = 8.0;
    double natural() const { return cap + kMiddle + cap; }
    // Room left and right of the liquid for the glass wall.
    double inset() const { return width * 0.05; }
};

// Each in the proportions of its interface file's battery view (phone 140 x 213,
// tablet 240 x 400 = 80/43 of 129 x 215), so the view scales every layer alike.
inline constexpr BatteryGeometry kPhoneBattery{140.0, 14.0};
inline constexpr BatteryGeometry kTabletBattery{129.0, 15.0};

// Writes the five battery parts for one device class ("" or "-ipad").
void writeBatteryParts(const std::string& dir, const BatteryGeometry& g, const std::string& suffix);
void writeChargingMark(const std::string& dir);
void writeBubble(const std::string& dir);

}  // namespace resgen
