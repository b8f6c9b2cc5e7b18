#pragma once
// A one-line text field: its text or a placeholder, edited from the keyboard
// while it is the window's first responder (a tap gives it focus and puts the
// caret where it landed; Return or a tap elsewhere ends editing). Its
// delegate may refuse to begin, refuse each change and hear the rest.
#include <string>

#include "platform/graphics/Font.h"
#include "platform/ui/Control.h"
#include "platform/ui/EditableText.h"

namespace platform::ui {

using graphics::Font;
using graphics::TextAlignment;

class TextField;

class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
    virtual void textFieldDidBeginEditing(TextField&) {}
    // `range` counts UTF-8 bytes of the current text.
    virtual bool shouldChangeCharactersInRange(TextField&, TextRange /*range*/, const std::string& /*replacement*/) {
        return true;
    }
    virtual bool textFieldShouldReturn(TextField&) { return true; }
    virtual void textFieldDidEndEditing(TextField&) {}
};

class TextField : public Control {
public:
    explicit TextField(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    const std::string& text() const { return text_.text(); }
    void setText(const std::string& text);
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(const std::string& p);
    const Font& font() const { return font_; }
    virtual void setFont(const Font& f);
    Color textColor() const { return textColor_; }
    void setTextColor(const Color& c);
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment a);
    TextFieldDelegate* delegate() const { return delegate_; }
    void setDelegate(TextFieldDelegate* d) { delegate_ = d; }

    bool isEditing() const { return isFirstResponder(); }
    // The caret as a byte index into text().
    size_t caret() const { return text_.caret(); }
    void setCaret(size_t index);

    bool canBecomeFirstResponder() const override { return isEnabled(); }
    void insertText(const std::string& text) override;
    void pressKey(Key key) override;
    void endTracking(const Touch* touch, const Event* event) override;
    void drawRect(Context& ctx, const Rect& rect) override;

    static constexpr double kCaretWidth = 2;

protected:
    bool willBecomeFirstResponder() override;
    void didBecomeFirstResponder() override;
    void didResignFirstResponder() override;

private:
    // Where the text starts horizontally, scrolled so that the caret shows.
    double textOriginX() const;
    void edit(TextRange range, const std::string& replacement);

    EditableText text_;
    std::string placeholder_;
    Font font_ = Font::systemFont(17);
    Color textColor_ = Color::black();
    TextAlignment alignment_ = TextAlignment::Left;
    TextFieldDelegate* delegate_ = nullptr;
};

}  // namespace platform::ui
