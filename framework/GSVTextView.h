#pragma once
// A text view whose text grows to 20 points on an iPad mini's small screen.
#include "platform/ui/TextView.h"

class GSVTextView : public platform::ui::TextView {
public:
    using TextView::TextView;
    static constexpr double kIpadMiniFontSize = 20.0;
    void awakeFromNib() override;
};
