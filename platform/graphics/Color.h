#pragma once
// A colour in one of two spaces, as callers read it back: grey (white, alpha:
// two components) or RGB (red, green, blue, alpha: four components).
// Components are doubles from 0 to 1, not premultiplied.
#include <array>
#include <cstddef>

namespace platform::graphics {

class Color {
public:
    enum class Space { Grey, RGB };

    Color() = default;  // clear: grey 0, alpha 0
    static Color white(double white, double alpha = 1.0);
    static Color rgba(double red, double green, double blue, double alpha = 1.0);
    // Components out of 255, alpha 0..1.
    static Color rgb255(int red, int green, int blue, double alpha = 1.0);

    // The platform's named colours; the grey ones are in the grey space.
    static Color clear() { return white(0, 0); }
    static Color black() { return white(0); }
    static Color whiteColor() { return white(1); }
    static Color gray() { return white(0.5); }
    static Color darkGray() { return white(1.0 / 3); }
    static Color lightGray() { return white(2.0 / 3); }
    static Color red() { return rgba(1, 0, 0); }
    static Color green() { return rgba(0, 1, 0); }
    static Color blue() { return rgba(0, 0, 1); }
    static Color yellow() { return rgba(1, 1, 0); }
    static Color orange() { return rgba(1, 0.5, 0); }

    Space space() const { return space_; }
    size_t numberOfComponents() const { return space_ == Space::Grey ? 2 : 4; }
    // Components in their space's order (grey: white, alpha).
    const double* components() const { return c_.data(); }
    double component(size_t i) const { return c_.at(i); }

    // RGB view of the colour (grey w reads as w, w, w).
    double redValue() const { return c_[0]; }
    double greenValue() const { return space_ == Space::Grey ? c_[0] : c_[1]; }
    double blueValue() const { return space_ == Space::Grey ? c_[0] : c_[2]; }
    double alpha() const { return space_ == Space::Grey ? c_[1] : c_[3]; }

    Color withAlpha(double alpha) const;
    bool isClear() const { return alpha() == 0; }
    bool operator==(const Color&) const = default;

    // Component-wise blend from `from` (t = 0) to `to` (t = 1); stays grey when
    // both are grey.
    static Color interpolate(const Color& from, const Color& to, double t);

private:
    Space space_ = Space::Grey;
    std::array<double, 4> c_{0, 0, 0, 0};
};

}  // namespace platform::graphics
