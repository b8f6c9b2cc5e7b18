#pragma once
// A slider that stands upright once loaded from an interface file.
#include "platform/ui/Slider.h"

class GSVVerticalSlider : public platform::ui::Slider {
public:
    using Slider::Slider;
    void awakeFromNib() override;
};
