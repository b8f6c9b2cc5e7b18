#pragma once
// An on/off switch (51 x 31 points). A tap toggles it and sends
// kControlEventValueChanged; setOn from code sends nothing.
#include "platform/ui/Control.h"

namespace platform::ui {

class Switch : public Control {
public:
    explicit Switch(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    bool isOn() const { return on_; }
    void setOn(bool on, bool animated = false);
    std::optional<Color> onTintColor() const { return onTint_; }
    void setOnTintColor(std::optional<Color> c);

    void setFrame(const Rect& r) override;  // keeps the switch's own size
    Size sizeThatFits(Size size) const override;
    void drawRect(Context& ctx, const Rect& rect) override;
    void endTracking(const Touch* touch, const Event* event) override;

private:
    bool on_ = false;
    std::optional<Color> onTint_;
};

}  // namespace platform::ui
