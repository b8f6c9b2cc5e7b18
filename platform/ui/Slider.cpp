#include "platform/ui/Slider.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

namespace {
constexpr double kThumb = 28, kTrack = 2, kHeight = 31;
}

Slider::Slider(const Rect& frame) : Control(frame) {}

const InterfaceProperties& Slider::interfaceProperties() const {
    static const InterfaceProperties table =
        InterfaceProperties::Of<Slider>(Control::interfaceProperties())
            // The range before the value, so that the value is not clamped to the default range.
            .add<double>("minimumValue", [](Slider& s, double v) { s.setMinimumValue(float(v)); })
            .add<double>("maximumValue", [](Slider& s, double v) { s.setMaximumValue(float(v)); })
            .add<double>("value", [](Slider& s, double v) { s.setValue(float(v)); })
            .add<bool>("continuous", &Slider::setContinuous)
            .add<Color>("minimumTrackTintColor", &Slider::setMinimumTrackTintColor)
            .add<Color>("maximumTrackTintColor", &Slider::setMaximumTrackTintColor);
    return table;
}

void Slider::setValue(float v, bool) {
    float clamped = std::clamp(v, std::min(min_, max_), std::max(min_, max_));
    if (clamped == value_) return;
    value_ = clamped;
    setNeedsDisplay();
}

void Slider::setMinimumValue(float v) {
    min_ = v;
    if (max_ < min_) max_ = min_;
    setValue(value_);
    setNeedsDisplay();
}

void Slider::setMaximumValue(float v) {
    max_ = v;
    if (min_ > max_) min_ = max_;
    setValue(value_);
    setNeedsDisplay();
}

void Slider::setMinimumTrackTintColor(std::optional<Color> c) {
    minTint_ = c;
    setNeedsDisplay();
}

void Slider::setMaximumTrackTintColor(std::optional<Color> c) {
    maxTint_ = c;
    setNeedsDisplay();
}

Rect Slider::thumbRect(float v) const {
    Rect b = bounds();
    double range = max_ - min_;
    double f = range > 0 ? (double(v) - min_) / range : 0;
    double x = b.minX() + f * std::max(0.0, b.width() - kThumb);
    return {x, b.midY() - kThumb / 2, kThumb, kThumb};
}

float Slider::valueForX(double x) const {
    Rect b = bounds();
    double span = std::max(1e-9, b.width() - kThumb);
    double f = std::clamp((x - b.minX() - kThumb / 2) / span, 0.0, 1.0);
    return float(min_ + f * (double(max_) - min_));
}

Size Slider::sizeThatFits(Size size) const { return {size.width > 0 ? size.width : 118, kHeight}; }

void Slider::drawRect(Context& ctx, const Rect&) {
    Rect b = bounds();
    Rect thumb = thumbRect(value_);
    double y = b.midY() - kTrack / 2;
    Rect left{b.minX() + kThumb / 2, y, std::max(0.0, thumb.midX() - b.minX() - kThumb / 2), kTrack};
    Rect right{thumb.midX(), y, std::max(0.0, b.maxX() - kThumb / 2 - thumb.midX()), kTrack};
    ctx.setFillColor(minTint_ ? *minTint_ : tintColor());
    ctx.fillRect(left);
    ctx.setFillColor(maxTint_ ? *maxTint_ : Color::white(0.72));
    ctx.fillRect(right);
    ctx.save();
    ctx.setShadow({0, 2}, 3, Color::white(0, 0.25));
    ctx.setFillColor(Color::whiteColor());
    ctx.fillEllipseInRect(thumb.insetBy(1, 1));
    ctx.restore();
    ctx.setStrokeColor(Color::white(0, 0.1));
    ctx.setLineWidth(0.5);
    ctx.strokeEllipseInRect(thumb.insetBy(1, 1));
}

bool Slider::beginTracking(const Touch& touch, const Event*) {
    Point p = touch.locationInView(this);
    Rect t = thumbRect(value_).insetBy(-10, -10);
    if (!t.contains(p)) return false;
    grabOffset_ = p.x - thumbRect(value_).midX();
    return true;
}

bool Slider::continueTracking(const Touch& touch, const Event* event) {
    float v = valueForX(touch.locationInView(this).x - grabOffset_);
    if (v != value_) {
        value_ = v;
        setNeedsDisplay();
        if (continuous_) sendActionsForControlEvents(kControlEventValueChanged, event);
    }
    return true;
}

void Slider::endTracking(const Touch* touch, const Event* event) {
    if (!continuous_ && touch) sendActionsForControlEvents(kControlEventValueChanged, event);
}

}  // namespace platform::ui
