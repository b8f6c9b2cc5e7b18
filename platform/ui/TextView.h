#pragma once
// A scrolling, multi-line text view: its text wraps at its width, its content
// grows with the text, and, when editable, it is edited from the keyboard
// while it is the window's first responder (a tap gives it focus and puts the
// caret there; a tap elsewhere ends editing; Return starts a new line). The
// caret is scrolled into view as it moves.
#include <memory>
#include <string>

#include "platform/graphics/Font.h"
#include "platform/ui/EditableText.h"
#include "platform/ui/ScrollView.h"

namespace platform::ui {

using graphics::Font;
using graphics::TextAlignment;

class TextView;

class TextViewDelegate {
public:
    virtual ~TextViewDelegate() = default;
    virtual bool textViewShouldBeginEditing(TextView&) { return true; }
    virtual void textViewDidBeginEditing(TextView&) {}
    // `range` counts UTF-8 bytes of the current text.
    virtual bool shouldChangeTextInRange(TextView&, TextRange /*range*/, const std::string& /*replacement*/) {
        return true;
    }
    virtual void textViewDidChange(TextView&) {}
    virtual void textViewDidEndEditing(TextView&) {}
};

class TextView : public ScrollView {
public:
    explicit TextView(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    const std::string& text() const { return text_.text(); }
    void setText(const std::string& text);
    const Font& font() const { return font_; }
    virtual void setFont(const Font& f);
    Color textColor() const { return textColor_; }
    void setTextColor(const Color& c);
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment a);
    bool isEditable() const { return editable_; }
    void setEditable(bool e);
    TextViewDelegate* delegate() const { return delegate_; }
    void setDelegate(TextViewDelegate* d) { delegate_ = d; }

    bool isEditing() const { return isFirstResponder(); }
    size_t caret() const { return text_.caret(); }
    void setCaret(size_t index);
    // The caret's rectangle in the content's space.
    Rect caretRect() const;

    bool canBecomeFirstResponder() const override { return editable_; }
    void insertText(const std::string& text) override;
    void pressKey(Key key) override;
    void touchesEnded(const TouchSet& touches, const Event* event) override;
    void setFrame(const Rect& r) override;

    // Space between the view's edges and the text.
    static constexpr double kInsetX = 5, kInsetY = 8;
    static constexpr double kCaretWidth = 2;

protected:
    bool willBecomeFirstResponder() override;
    void didBecomeFirstResponder() override;
    void didResignFirstResponder() override;

private:
    class Content;
    double wrapWidth() const;
    void textChanged();  // lays the content out again
    void caretMoved();   // redraws it and scrolls it into view
    void edit(TextRange range, const std::string& replacement);
    void moveVertically(int lines);

    EditableText text_;
    Font font_ = Font::systemFont(12);
    Color textColor_ = Color::black();
    TextAlignment alignment_ = TextAlignment::Left;
    bool editable_ = true;
    TextViewDelegate* delegate_ = nullptr;
    std::shared_ptr<Content> content_;
};

}  // namespace platform::ui
