#pragma once
// A label underlined as far as its text reaches, 1 point above its bottom edge.
#include "platform/ui/Label.h"

class UILabelUnderlined : public platform::ui::Label {
public:
    using Label::Label;
    // The underline's length: the width the text takes within the label's width.
    double underlineWidth() const;
    void drawRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) override;
};
