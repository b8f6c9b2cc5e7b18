#pragma once
// A label whose text grows to 20 points on an iPad mini's small screen.
#include "platform/ui/Label.h"

class GSVLabel : public platform::ui::Label {
public:
    using Label::Label;
    static constexpr double kIpadMiniFontSize = 20.0;
    void awakeFromNib() override;
};
