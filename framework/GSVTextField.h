#pragma once
// A text field whose text grows to 20 points on an iPad mini's small screen.
#include "platform/ui/TextField.h"

class GSVTextField : public platform::ui::TextField {
public:
    using TextField::TextField;
    static constexpr double kIpadMiniFontSize = 20.0;
    void awakeFromNib() override;
};
