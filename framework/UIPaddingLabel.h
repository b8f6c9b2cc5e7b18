#pragma once
// A label whose text keeps 5 points clear on its left and right.
#include "platform/ui/Label.h"

class UIPaddingLabel : public platform::ui::Label {
public:
    using Label::Label;
    static constexpr double kPadding = 5.0;
    void drawTextInRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) override;
};
