#include "platform/ui/TextField.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

namespace {
// The platform's placeholder grey.
const Color kPlaceholderColor = Color::white(0.7);
}  // namespace

TextField::TextField(const Rect& frame) : Control(frame) {
    setOpaque(false);
    setBackgroundColor(std::nullopt);
    setClipsToBounds(true);
}

const InterfaceProperties& TextField::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<TextField>(Control::interfaceProperties())
                                                 .add<std::string>("text", &TextField::setText)
                                                 .add<std::string>("placeholder", &TextField::setPlaceholder)
                                                 .add<Font>("font", &TextField::setFont)
                                                 .add<Color>("textColor", &TextField::setTextColor)
                                                 .add<TextAlignment>("textAlignment", &TextField::setTextAlignment);
    return table;
}

void TextField::setText(const std::string& text) {
    text_.setText(text);
    setNeedsDisplay();
}

void TextField::setPlaceholder(const std::string& p) {
    placeholder_ = p;
    setNeedsDisplay();
}

void TextField::setFont(const Font& f) {
    font_ = f;
    setNeedsDisplay();
}

void TextField::setTextColor(const Color& c) {
    textColor_ = c;
    setNeedsDisplay();
}

void TextField::setTextAlignment(TextAlignment a) {
    alignment_ = a;
    setNeedsDisplay();
}

void TextField::setCaret(size_t index) {
    text_.setCaret(index);
    setNeedsDisplay();
}

bool TextField::willBecomeFirstResponder() { return !delegate_ || delegate_->textFieldShouldBeginEditing(*this); }

void TextField::didBecomeFirstResponder() {
    setNeedsDisplay();
    if (delegate_) delegate_->textFieldDidBeginEditing(*this);
    sendActionsForControlEvents(kControlEventEditingDidBegin);
}

void TextField::didResignFirstResponder() {
    setNeedsDisplay();
    if (delegate_) delegate_->textFieldDidEndEditing(*this);
    sendActionsForControlEvents(kControlEventEditingDidEnd);
}

void TextField::edit(TextRange range, const std::string& replacement) {
    if (delegate_ && !delegate_->shouldChangeCharactersInRange(*this, range, replacement)) return;
    text_.replace(range, replacement);
    setNeedsDisplay();
    sendActionsForControlEvents(kControlEventEditingChanged);
}

void TextField::insertText(const std::string& text) {
    // One line: a pasted or typed line break ends nothing and is not kept.
    std::string line = text;
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }), line.end());
    if (!line.empty()) edit(text_.insertionRange(), line);
}

void TextField::pressKey(Key key) {
    switch (key) {
    case Key::Backspace:
        if (auto r = text_.backwardDeletionRange()) edit(*r, "");
        return;
    case Key::Delete:
        if (auto r = text_.forwardDeletionRange()) edit(*r, "");
        return;
    case Key::Left: text_.moveLeft(); break;
    case Key::Right: text_.moveRight(); break;
    case Key::Home:
    case Key::Up: text_.setCaret(0); break;
    case Key::End:
    case Key::Down: text_.setCaret(text_.text().size()); break;
    case Key::Return:
        if (!delegate_ || delegate_->textFieldShouldReturn(*this)) {
            sendActionsForControlEvents(kControlEventEditingDidEndOnExit);
            resignFirstResponder();
        }
        return;
    }
    setNeedsDisplay();
}

void TextField::endTracking(const Touch* touch, const Event* event) {
    Control::endTracking(touch, event);
    if (!touch || !isTouchInside()) return;
    if (!isFirstResponder() && !becomeFirstResponder()) return;
    Point p = touch->locationInView(this);
    const double y = (bounds().height() - font_.lineHeight()) / 2;
    text_.setCaret(font_.indexAtPoint(text_.text(), {p.x - textOriginX(), p.y - y}));
    setNeedsDisplay();
}

double TextField::textOriginX() const {
    const double w = bounds().width();
    const double textWidth = font_.sizeOfText(text_.text(), INFINITY, 1, graphics::LineBreakMode::Clip).width;
    if (textWidth + kCaretWidth <= w) {
        if (alignment_ == TextAlignment::Center) return (w - textWidth) / 2;
        if (alignment_ == TextAlignment::Right) return w - textWidth - (isEditing() ? kCaretWidth : 0);
        return 0;
    }
    if (!isEditing()) return 0;
    // Too long to show whole: keep the caret just inside the right edge.
    const double caretX = font_.caretRect(text_.text(), text_.caret()).x();
    return std::min(0.0, w - kCaretWidth - caretX);
}

void TextField::drawRect(Context& ctx, const Rect&) {
    const Rect b = bounds();
    const double lineHeight = font_.lineHeight();
    const double y = (b.height() - lineHeight) / 2;
    const double x = textOriginX();
    if (text_.text().empty()) {
        if (!placeholder_.empty())
            ctx.drawText(placeholder_, Rect{0, y, b.width(), lineHeight}, font_, kPlaceholderColor, alignment_, 1,
                         graphics::LineBreakMode::TruncateTail);
    } else {
        ctx.drawText(text_.text(), Rect{x, y, INFINITY, lineHeight}, font_, isEnabled() ? textColor_ : Color::gray(),
                     TextAlignment::Left, 1, graphics::LineBreakMode::Clip);
    }
    if (isEditing()) {
        Rect caret = font_.caretRect(text_.text(), text_.caret());
        double cx = text_.text().empty() ? (alignment_ == TextAlignment::Center  ? b.width() / 2
                                            : alignment_ == TextAlignment::Right ? b.width() - kCaretWidth
                                                                                 : 0)
                                         : x + caret.x();
        ctx.setFillColor(tintColor());
        ctx.fillRect({std::round(cx), y + caret.y(), kCaretWidth, caret.height()});
    }
}

}  // namespace platform::ui
