#include "platform/ui/Switch.h"

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

namespace {
constexpr double kWidth = 51, kHeight = 31;
}

Switch::Switch(const Rect& frame) : Control({frame.origin, {kWidth, kHeight}}) {}

const InterfaceProperties& Switch::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<Switch>(Control::interfaceProperties())
                                                 .add<bool>("on", [](Switch& s, bool on) { s.setOn(on); })
                                                 .add<Color>("onTintColor", &Switch::setOnTintColor);
    return table;
}

void Switch::setFrame(const Rect& r) { Control::setFrame({r.origin, {kWidth, kHeight}}); }

Size Switch::sizeThatFits(Size) const { return {kWidth, kHeight}; }

void Switch::setOn(bool on, bool) {
    if (on_ == on) return;
    on_ = on;
    setNeedsDisplay();
}

void Switch::setOnTintColor(std::optional<Color> c) {
    onTint_ = c;
    setNeedsDisplay();
}

void Switch::drawRect(Context& ctx, const Rect&) {
    Rect b = bounds();
    Rect track = b.insetBy(0.5, 0.5);
    double r = track.height() / 2;
    auto path = graphics::Path::roundedRect(track, r);
    if (on_) {
        ctx.setFillColor(onTint_ ? *onTint_ : Color::rgba(76 / 255.0, 217 / 255.0, 100 / 255.0));
        ctx.fill(path);
    } else {
        ctx.setFillColor(Color::whiteColor());
        ctx.fill(path);
        ctx.setStrokeColor(Color::white(0.9));
        ctx.setLineWidth(1.5);
        ctx.stroke(path);
    }
    double d = b.height() - 4;
    double x = on_ ? b.maxX() - 2 - d : b.minX() + 2;
    Rect thumb{x, b.minY() + 2, d, d};
    ctx.save();
    ctx.setShadow({0, 2}, 3, Color::white(0, 0.25));
    ctx.setFillColor(isHighlighted() ? Color::white(0.95) : Color::whiteColor());
    ctx.fillEllipseInRect(thumb);
    ctx.restore();
    if (!isEnabled()) {
        ctx.setFillColor(Color::white(1, 0.5));
        ctx.fill(path);
    }
}

void Switch::endTracking(const Touch* touch, const Event* event) {
    if (!touch || !isEnabled()) return;
    if (!bounds().insetBy(-touchSlop(), -touchSlop()).contains(touch->locationInView(this))) return;
    on_ = !on_;
    setNeedsDisplay();
    sendActionsForControlEvents(kControlEventValueChanged, event);
}

}  // namespace platform::ui
