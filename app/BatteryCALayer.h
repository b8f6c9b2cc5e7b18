#pragma once
// The layer that shows the battery's fill: the combined part picture
// (BatteryImage) stretched to the charge level and tinted with the battery
// colour. Level and colour are animatable, so a change glides over 0.35 s.
//
// Renders run on one serial queue and their result is cached under a key of
// size, level and colour: a drawing pass with unchanged values only draws the
// cached picture. The cache is BatteryImage's, one for every battery layer of
// the process, and each render replaces it.
#include <memory>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "platform/ui/Layer.h"

class BatteryCALayer : public platform::ui::Layer {
public:
    static constexpr double kAnimationDuration = 0.35;

    BatteryCALayer() = default;

    // "level", "red", "green" and "blue".
    static bool isMyCustomAnimatedKey(const std::string& key);
    bool needsDisplayForKey(const std::string& key) const override;
    // The four keys glide from the value shown now to the new model value.
    std::shared_ptr<platform::ui::Animation> actionForKey(const std::string& key) override;

    // A pass with a new key draws the previous picture, renders the new one on
    // the render queue (waiting for it) and asks for one more pass.
    void drawInContext(platform::graphics::Context& ctx) override;

    // The tinted fill for this layer's current level and colour in an image
    // of `rect`'s size at the screen's scale, standing on its bottom edge.
    // Null for an empty size.
    std::shared_ptr<platform::graphics::Image> renderInImageOfSize(const platform::graphics::Rect& rect);

    // Model values (32-bit, as the layer keeps them).
    float level() const { return static_cast<float>(doubleForKey("level")); }
    void setLevel(float v) { setValue("level", static_cast<double>(v)); }
    float red() const { return static_cast<float>(doubleForKey("red")); }
    void setRed(float v) { setValue("red", static_cast<double>(v)); }
    float green() const { return static_cast<float>(doubleForKey("green")); }
    void setGreen(float v) { setValue("green", static_cast<double>(v)); }
    float blue() const { return static_cast<float>(doubleForKey("blue")); }
    void setBlue(float v) { setValue("blue", static_cast<double>(v)); }

    // The serial queue every battery render runs on, created on first use.
    static platform::foundation::dispatch::Queue& batteryRenderQueue();

protected:
    std::shared_ptr<platform::ui::Layer> makeEmptyCopy() const override;

private:
    struct Values {
        float level, red, green, blue;
    };
    Values currentValues() const;
    static std::string renderKey(const platform::graphics::Rect& bounds, const Values& v);
    static std::shared_ptr<platform::graphics::Image> render(const platform::graphics::Rect& rect, const Values& v);
};
