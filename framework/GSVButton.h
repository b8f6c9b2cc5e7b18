#pragma once
// A button whose text grows to 20 points on an iPad mini's small screen.
#include "platform/ui/Button.h"

class GSVButton : public platform::ui::Button {
public:
    using Button::Button;
    static constexpr double kIpadMiniFontSize = 20.0;
    void awakeFromNib() override;
};
