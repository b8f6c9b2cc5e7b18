#pragma once
// The framework's dark button: a filled rounded rectangle in the global tint
// colour with a white title, an optional plus sign, and the three global
// colours that the framework's screens share.
#include "platform/ui/Button.h"

class TWKButtonDark : public platform::ui::Button {
public:
    using Color = platform::graphics::Color;

    explicit TWKButtonDark(const platform::graphics::Rect& frame = {});

    static Color globalColorTint();
    static Color globalColorBG();
    static Color globalColorText();

    virtual void defineColors();
    void setup();
    // A hook for buttons that draw a border.
    virtual void refreshBorderColor() {}

    void setTintColor(std::optional<Color> c) override;
    void setEnabled(bool e) override;
    void setHighlighted(bool h) override;

    bool isPlusIconVisible() const { return plusIconVisible_; }
    void setPlusIconVisible(bool visible);
    const Color& colorBGHighlighted() const { return colorBGHighlighted_; }
    const Color& colorBG() const { return colorBG_; }

    platform::graphics::Size sizeThatFits(platform::graphics::Size size) const override;
    void drawRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) override;

    // The plus sign's colour for the current state.
    Color plusIconColor() const;

protected:
    bool plusIconVisible_ = false;
    Color colorBGHighlighted_;
    Color colorBG_;
};
