#pragma once
// A button: a title label and an image view laid out side by side over an
// optional background image (subviews; drawRect stays free for subclasses), each chosen by state (falling back to the
// normal state's). Sends kControlEventTouchUpInside on a tap and highlights while touched.
#include <map>

#include "platform/ui/Control.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"

namespace platform::ui {

class Button : public Control {
public:
    enum class Type { Custom, System };
    explicit Button(const Rect& frame = {}, Type type = Type::Custom);
    const InterfaceProperties& interfaceProperties() const override;

    Type buttonType() const { return type_; }

    void setTitle(const std::string& title, unsigned state = kControlStateNormal);
    std::string titleForState(unsigned state) const;
    void setTitleColor(std::optional<Color> color, unsigned state = kControlStateNormal);
    std::optional<Color> titleColorForState(unsigned state) const;
    void setImage(std::shared_ptr<Image> image, unsigned state = kControlStateNormal);
    std::shared_ptr<Image> imageForState(unsigned state) const;
    void setBackgroundImage(std::shared_ptr<Image> image, unsigned state = kControlStateNormal);
    std::shared_ptr<Image> backgroundImageForState(unsigned state) const;

    std::string currentTitle() const { return titleForState(state()); }
    std::shared_ptr<Image> currentImage() const { return imageForState(state()); }
    Color currentTitleColor() const;

    // Always present (created with the button); its font is the title's font.
    std::shared_ptr<Label> titleLabel() const { return titleLabel_; }
    std::shared_ptr<ImageView> imageView() const { return imageView_; }

    graphics::EdgeInsets contentEdgeInsets() const { return contentInsets_; }
    void setContentEdgeInsets(const graphics::EdgeInsets& e);

    void setEnabled(bool e) override;
    void setHighlighted(bool h) override;
    void setSelected(bool s) override;
    void setTintColor(std::optional<Color> c) override;
    void layoutSubviews() override;
    Size sizeThatFits(Size size) const override;

protected:
    void stateDidChange() override;

private:
    void refreshContent();
    template <class T>
    static T lookup(const std::map<unsigned, T>& m, unsigned state);
    Type type_;
    std::map<unsigned, std::string> titles_;
    std::map<unsigned, Color> titleColors_;
    std::map<unsigned, std::shared_ptr<Image>> images_, backgrounds_;
    std::shared_ptr<Label> titleLabel_;
    std::shared_ptr<ImageView> imageView_, backgroundView_;
    graphics::EdgeInsets contentInsets_;
};

}  // namespace platform::ui
