#include "platform/graphics/Color.h"

#include <algorithm>

namespace platform::graphics {

namespace {
double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }
}  // namespace

Color Color::white(double w, double a) {
    Color c;
    c.space_ = Space::Grey;
    c.c_ = {clamp01(w), clamp01(a), 0, 0};
    return c;
}

Color Color::rgba(double r, double g, double b, double a) {
    Color c;
    c.space_ = Space::RGB;
    c.c_ = {clamp01(r), clamp01(g), clamp01(b), clamp01(a)};
    return c;
}

Color Color::rgb255(int r, int g, int b, double a) { return rgba(r / 255.0, g / 255.0, b / 255.0, a); }

Color Color::withAlpha(double a) const {
    Color c = *this;
    c.c_[space_ == Space::Grey ? 1 : 3] = clamp01(a);
    return c;
}

Color Color::interpolate(const Color& from, const Color& to, double t) {
    auto mix = [t](double a, double b) { return a + (b - a) * t; };
    if (from.space_ == Space::Grey && to.space_ == Space::Grey)
        return white(mix(from.c_[0], to.c_[0]), mix(from.alpha(), to.alpha()));
    return rgba(mix(from.redValue(), to.redValue()), mix(from.greenValue(), to.greenValue()),
                mix(from.blueValue(), to.blueValue()), mix(from.alpha(), to.alpha()));
}

}  // namespace platform::graphics
