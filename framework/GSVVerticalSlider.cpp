#include "framework/GSVVerticalSlider.h"

#include <numbers>

void GSVVerticalSlider::awakeFromNib() {
    setTransform(platform::graphics::AffineTransform::rotation(-std::numbers::pi / 2));
}
