#pragma once
// The battery drawing of the main screen and of the settings preview: a shaded
// back picture, the animated fill layer (BatteryCALayer) and a shine on top.
// Screens give it a level and a colour; the fill layer animates them. Built in
// awakeFromNib: a view made in code has no fill layer and ignores level and
// colour.
#include <memory>

#include "app/BatteryCALayer.h"
#include "platform/graphics/Color.h"
#include "platform/ui/View.h"

class BatteryFillView : public platform::ui::View {
public:
    // Opacity of the back and shine pictures.
    static constexpr float kOverlayOpacity = 0.7f;
    // The back picture reaches below the fill by this factor of its height.
    static constexpr double kBackHeightFactor = 1.17;

    explicit BatteryFillView(const platform::graphics::Rect& frame = {}) : View(frame) {}

    void awakeFromNib() override;

    void setLevel(float level);
    // The model level (the animation may still show another); 0 without a fill layer.
    float getLevel() const;
    // Red, green and blue of a four-component colour; any other colour (a grey)
    // tints the fill white. Alpha is ignored.
    void setColor(const platform::graphics::Color& color);
    // Hides the fill until the next fade-in.
    void prepareForFade();
    // Fades the fill in over 1 s (true) or at once (false).
    void fadeInContentAtSpeed(bool speed);

    std::shared_ptr<BatteryCALayer> batLayer() const { return batLayer_; }
    std::shared_ptr<platform::ui::Layer> backLayer() const { return backLayer_; }
    std::shared_ptr<platform::ui::Layer> shineLayer() const { return shineLayer_; }

private:
    std::shared_ptr<BatteryCALayer> batLayer_;
    std::shared_ptr<platform::ui::Layer> backLayer_, shineLayer_;
};
