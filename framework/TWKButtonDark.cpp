#include "framework/TWKButtonDark.h"

using platform::graphics::Color;
using platform::graphics::Context;
using platform::graphics::Font;
using platform::graphics::Rect;
using platform::graphics::Size;
using platform::ui::kControlStateDisabled;
using platform::ui::kControlStateHighlighted;
using platform::ui::kControlStateNormal;
using platform::ui::View;

TWKButtonDark::TWKButtonDark(const Rect& frame) : Button(frame) { setup(); }

Color TWKButtonDark::globalColorTint() { return Color::rgba(3 / 255.0, 169 / 255.0, 244 / 255.0, 1.0); }
Color TWKButtonDark::globalColorBG() { return Color::rgba(225 / 255.0, 245 / 255.0, 254 / 255.0, 1.0); }
Color TWKButtonDark::globalColorText() { return Color::rgba(43 / 255.0, 43 / 255.0, 43 / 255.0, 1.0); }

void TWKButtonDark::defineColors() {
    colorBG_ = globalColorTint();
    colorBGHighlighted_ = globalColorTint().withAlpha(0.5);
}

void TWKButtonDark::setup() {
    defineColors();
    setTintColor(globalColorTint());
    setTitleColor(Color::whiteColor(), kControlStateNormal);
    setTitleColor(Color::white(1.0, 0.3), kControlStateHighlighted);
    setTitleColor(Color::gray(), kControlStateDisabled);
    titleLabel()->setFont(Font::boldSystemFont(13));
    layer()->setCornerRadius(3.5);
    layer()->setBackgroundColor(colorBG_);
    refreshBorderColor();
}

void TWKButtonDark::setTintColor(std::optional<Color> c) {
    Button::setTintColor(c);
    setTitleColor(Color::whiteColor(), kControlStateNormal);
    refreshBorderColor();
}

void TWKButtonDark::setEnabled(bool e) {
    Button::setEnabled(e);
    refreshBorderColor();
}

void TWKButtonDark::setHighlighted(bool h) {
    if (h == isHighlighted()) return;
    Button::setHighlighted(h);
    View::animate(0.25, [this, h] { layer()->setBackgroundColor(h ? colorBGHighlighted_ : colorBG_); });
    setNeedsDisplay();
}

void TWKButtonDark::setPlusIconVisible(bool visible) {
    plusIconVisible_ = visible;
    setNeedsDisplay();
}

Size TWKButtonDark::sizeThatFits(Size) const {
    Size s = Button::sizeThatFits(bounds().size);
    return {s.width + 20, s.height - 2};
}

Color TWKButtonDark::plusIconColor() const {
    if (isHighlighted()) return Color::whiteColor();
    return isEnabled() ? tintColor() : Color::gray();
}

void TWKButtonDark::drawRect(Context& ctx, const Rect&) {
    if (!plusIconVisible_) return;
    ctx.setFillColor(plusIconColor());
    ctx.fillRect(Rect(5, 3, 1, 5));
    ctx.fillRect(Rect(3, 5, 5, 1));
}
