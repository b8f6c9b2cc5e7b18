#include "platform/ui/TextView.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

// Draws the wrapped text and the caret; touches go on to the text view.
class TextView::Content : public View {
public:
    explicit Content(TextView* owner) : owner_(owner) {
        setOpaque(false);
        setBackgroundColor(std::nullopt);
    }
    void drawRect(Context& ctx, const Rect&) override {
        const TextView& v = *owner_;
        ctx.drawText(v.text(), Rect{kInsetX, kInsetY, v.wrapWidth(), INFINITY}, v.font_, v.textColor_, v.alignment_, 0,
                     graphics::LineBreakMode::WordWrap);
        if (v.isEditing()) {
            ctx.setFillColor(v.tintColor());
            Rect c = v.caretRect();
            ctx.fillRect({std::round(c.x()), c.y(), kCaretWidth, c.height()});
        }
    }

private:
    TextView* owner_;
};

TextView::TextView(const Rect& frame) : ScrollView(frame) {
    setBackgroundColor(Color::whiteColor());
    setShowsHorizontalScrollIndicator(false);
    content_ = std::make_shared<Content>(this);
    addSubview(content_);
    textChanged();
}

const InterfaceProperties& TextView::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<TextView>(ScrollView::interfaceProperties())
                                                 .add<std::string>("text", &TextView::setText)
                                                 .add<Font>("font", &TextView::setFont)
                                                 .add<Color>("textColor", &TextView::setTextColor)
                                                 .add<TextAlignment>("textAlignment", &TextView::setTextAlignment)
                                                 .add<bool>("editable", &TextView::setEditable);
    return table;
}

double TextView::wrapWidth() const { return std::max(1.0, bounds().width() - 2 * kInsetX); }

void TextView::setFrame(const Rect& r) {
    ScrollView::setFrame(r);
    textChanged();
}

void TextView::setText(const std::string& text) {
    text_.setText(text);
    textChanged();
}

void TextView::setFont(const Font& f) {
    font_ = f;
    textChanged();
}

void TextView::setTextColor(const Color& c) {
    textColor_ = c;
    content_->setNeedsDisplay();
}

void TextView::setTextAlignment(TextAlignment a) {
    alignment_ = a;
    content_->setNeedsDisplay();
}

void TextView::setEditable(bool e) {
    editable_ = e;
    if (!e) resignFirstResponder();
}

void TextView::setCaret(size_t index) {
    text_.setCaret(index);
    caretMoved();
}

Rect TextView::caretRect() const {
    Rect c = font_.caretRect(text_.text(), text_.caret(), wrapWidth(), alignment_);
    return {c.x() + kInsetX, c.y() + kInsetY, kCaretWidth, c.height()};
}

void TextView::textChanged() {
    const double width = bounds().width();
    const double textHeight =
        text_.text().empty() ? font_.lineHeight()
                             : font_.sizeOfText(text_.text(), wrapWidth(), 0, graphics::LineBreakMode::WordWrap).height;
    const Size size{width, std::ceil(textHeight + 2 * kInsetY)};
    setContentSize(size);
    content_->setFrame({0, 0, size.width, std::max(size.height, bounds().height())});
    content_->setNeedsDisplay();
    caretMoved();
}

void TextView::caretMoved() {
    content_->setNeedsDisplay();
    if (!isEditing()) return;
    // Scroll as little as needed for the caret's line to show.
    const Rect c = caretRect();
    Point offset = contentOffset();
    if (c.y() - kInsetY < offset.y)
        offset.y = c.y() - kInsetY;
    else if (c.y() + c.height() + kInsetY > offset.y + bounds().height())
        offset.y = c.y() + c.height() + kInsetY - bounds().height();
    setContentOffset(clampedOffset(offset));
}

bool TextView::willBecomeFirstResponder() { return !delegate_ || delegate_->textViewShouldBeginEditing(*this); }

void TextView::didBecomeFirstResponder() {
    caretMoved();
    if (delegate_) delegate_->textViewDidBeginEditing(*this);
}

void TextView::didResignFirstResponder() {
    content_->setNeedsDisplay();
    if (delegate_) delegate_->textViewDidEndEditing(*this);
}

void TextView::edit(TextRange range, const std::string& replacement) {
    if (delegate_ && !delegate_->shouldChangeTextInRange(*this, range, replacement)) return;
    text_.replace(range, replacement);
    textChanged();
    if (delegate_) delegate_->textViewDidChange(*this);
}

void TextView::insertText(const std::string& text) {
    if (editable_ && !text.empty()) edit(text_.insertionRange(), text);
}

void TextView::moveVertically(int lines) {
    const Rect c = font_.caretRect(text_.text(), text_.caret(), wrapWidth(), alignment_);
    const double y = c.y() + c.height() / 2 + lines * c.height();
    if (y < 0)
        text_.setCaret(0);
    else
        text_.setCaret(font_.indexAtPoint(text_.text(), {c.x(), y}, wrapWidth(), alignment_));
}

void TextView::pressKey(Key key) {
    if (!editable_) return;
    switch (key) {
    case Key::Backspace:
        if (auto r = text_.backwardDeletionRange()) edit(*r, "");
        return;
    case Key::Delete:
        if (auto r = text_.forwardDeletionRange()) edit(*r, "");
        return;
    case Key::Return: edit(text_.insertionRange(), "\n"); return;
    case Key::Left: text_.moveLeft(); break;
    case Key::Right: text_.moveRight(); break;
    case Key::Up: moveVertically(-1); break;
    case Key::Down: moveVertically(1); break;
    case Key::Home: text_.moveToLineStart(); break;
    case Key::End: text_.moveToLineEnd(); break;
    }
    caretMoved();
}

void TextView::touchesEnded(const TouchSet& touches, const Event* event) {
    if (touches.empty() || !editable_) return ScrollView::touchesEnded(touches, event);
    if (!isFirstResponder() && !becomeFirstResponder()) return;
    Point p = touches.front()->locationInView(content_.get());
    text_.setCaret(font_.indexAtPoint(text_.text(), {p.x - kInsetX, p.y - kInsetY}, wrapWidth(), alignment_));
    caretMoved();
}

}  // namespace platform::ui
