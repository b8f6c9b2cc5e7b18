#include "platform/ui/Label.h"

#include <cmath>
#include <limits>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

Label::Label(const Rect& frame) : View(frame) {
    setUserInteractionEnabled(false);
    setOpaque(false);
    setContentMode(ContentMode::Redraw);
}

const InterfaceProperties& Label::interfaceProperties() const {
    static const InterfaceProperties table =
        InterfaceProperties::Of<Label>(View::interfaceProperties())
            .add<std::string>("text", &Label::setText)
            .add<Font>("font", &Label::setFont)
            .add<Color>("textColor", &Label::setTextColor)
            .add<TextAlignment>("textAlignment", &Label::setTextAlignment)
            .add<double>("numberOfLines", [](Label& l, double n) { l.setNumberOfLines(int(n)); })
            .add<LineBreakMode>("lineBreakMode", &Label::setLineBreakMode)
            .add<bool>("enabled", &Label::setEnabled);
    return table;
}

namespace {
// A change of the text's size may change how a container lays it out.
void contentChanged(View& v) {
    v.setNeedsDisplay();
    if (auto* s = v.superviewPointer()) s->setNeedsLayout();
}
}  // namespace

void Label::setText(const std::string& text) {
    if (text == text_) return;
    text_ = text;
    contentChanged(*this);
}

void Label::setFont(const Font& font) {
    font_ = font;
    contentChanged(*this);
}

void Label::setTextColor(const Color& c) {
    textColor_ = c;
    setNeedsDisplay();
}

void Label::setTextAlignment(TextAlignment a) {
    alignment_ = a;
    setNeedsDisplay();
}

void Label::setNumberOfLines(int n) {
    lines_ = n;
    contentChanged(*this);
}

void Label::setLineBreakMode(LineBreakMode m) {
    lineBreak_ = m;
    setNeedsDisplay();
}

void Label::setEnabled(bool e) {
    enabled_ = e;
    setNeedsDisplay();
}

Rect Label::textRectForBounds(const Rect& b, int lines) const {
    Size s = font_.sizeOfText(text_, b.width(), lines, lineBreak_);
    return {b.x(), b.y(), std::min(s.width, b.width()), std::min(s.height, b.height())};
}

void Label::drawTextInRect(Context& ctx, const Rect& rect) {
    if (text_.empty()) return;
    // Vertically centred in `rect`, the way the platform's labels place text.
    Size s = font_.sizeOfText(text_, rect.width(), lines_, lineBreak_);
    double h = std::min(s.height, rect.height());
    double y = rect.y() + std::floor((rect.height() - h) / 2);
    Color c = enabled_ ? textColor_ : textColor_.withAlpha(textColor_.alpha() * 0.5);
    ctx.save();
    ctx.clipToRect(rect);
    ctx.drawText(text_, Rect{rect.x(), y, rect.width(), h}, font_, c, alignment_, lines_, lineBreak_);
    ctx.restore();
}

void Label::drawRect(Context& ctx, const Rect&) { drawTextInRect(ctx, bounds()); }

Size Label::sizeThatFits(Size size) const {
    double w = size.width > 0 ? size.width : std::numeric_limits<double>::infinity();
    if (lines_ == 1) w = std::numeric_limits<double>::infinity();
    return font_.sizeOfText(text_, w, lines_, lines_ == 1 ? LineBreakMode::Clip : lineBreak_);
}

}  // namespace platform::ui
