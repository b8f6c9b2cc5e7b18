#pragma once
// A horizontal slider from minimumValue to maximumValue. Dragging the thumb
// (or touching the track) moves the value and sends kControlEventValueChanged
// while it moves (continuous) or once at the end; setValue sends nothing.
#include "platform/ui/Control.h"

namespace platform::ui {

class Slider : public Control {
public:
    explicit Slider(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    float value() const { return value_; }
    void setValue(float v, bool animated = false);  // clamped to the range
    float minimumValue() const { return min_; }
    void setMinimumValue(float v);
    float maximumValue() const { return max_; }
    void setMaximumValue(float v);
    bool isContinuous() const { return continuous_; }
    void setContinuous(bool c) { continuous_ = c; }
    std::optional<Color> minimumTrackTintColor() const { return minTint_; }
    void setMinimumTrackTintColor(std::optional<Color> c);
    std::optional<Color> maximumTrackTintColor() const { return maxTint_; }
    void setMaximumTrackTintColor(std::optional<Color> c);

    // The thumb's rectangle for `value` in this view's space.
    Rect thumbRect(float value) const;

    Size sizeThatFits(Size size) const override;
    void drawRect(Context& ctx, const Rect& rect) override;
    bool beginTracking(const Touch& touch, const Event* event) override;
    bool continueTracking(const Touch& touch, const Event* event) override;
    void endTracking(const Touch* touch, const Event* event) override;

private:
    float valueForX(double x) const;
    float value_ = 0, min_ = 0, max_ = 1;
    bool continuous_ = true;
    std::optional<Color> minTint_, maxTint_;
    double grabOffset_ = 0;
};

}  // namespace platform::ui
