#pragma once
// A label: text in one font and colour, aligned in its bounds and centred
// vertically, on at most numberOfLines lines (0: any). Does not take touches
// by default.
#include <string>

#include "platform/graphics/Font.h"
#include "platform/ui/View.h"

namespace platform::ui {

using graphics::Font;
using graphics::LineBreakMode;
using graphics::TextAlignment;

class Label : public View {
public:
    explicit Label(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    const std::string& text() const { return text_; }
    virtual void setText(const std::string& text);
    const Font& font() const { return font_; }
    virtual void setFont(const Font& font);
    Color textColor() const { return textColor_; }
    virtual void setTextColor(const Color& c);
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment a);
    int numberOfLines() const { return lines_; }
    void setNumberOfLines(int n);
    LineBreakMode lineBreakMode() const { return lineBreak_; }
    void setLineBreakMode(LineBreakMode m);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e);

    // The text's rectangle within `bounds` for at most `lines` lines.
    virtual Rect textRectForBounds(const Rect& bounds, int lines) const;
    // Draws the text in `rect` (vertically centred there); subclasses move it.
    virtual void drawTextInRect(Context& ctx, const Rect& rect);
    void drawRect(Context& ctx, const Rect& rect) override;
    Size sizeThatFits(Size size) const override;

private:
    std::string text_;
    Font font_ = Font::systemFont(17);
    Color textColor_ = Color::black();
    TextAlignment alignment_ = TextAlignment::Left;
    int lines_ = 1;
    LineBreakMode lineBreak_ = LineBreakMode::TruncateTail;
    bool enabled_ = true;
};

}  // namespace platform::ui
