#pragma once
// Draws a layer tree with Cairo: displays layers marked for display (or
// animating a key that needs display), then paints backgrounds, contents,
// borders and sublayers with their presentation geometry and opacity.
#include <memory>

#include "platform/ui/Layer.h"

namespace platform::ui {

class Compositor {
public:
    // What one layer paints itself (not its sublayers) at one instant, with
    // its presentation values.
    struct Appearance {
        bool visible = false;  // false: neither it nor its sublayers paint
        Rect bounds;
        AffineTransform toSuper;
        double opacity = 1;
        std::optional<Color> background;
        double cornerRadius = 0;
        std::shared_ptr<Image> content;
        Rect contentRect;  // where the content goes, in the layer's space
        bool border = false;
        bool group = false;  // translucent with several parts: painted as one group
    };
    static Appearance appearance(const Layer& layer, double time);

    // Brings every layer's drawn contents up to date (main thread).
    static void displayTree(Layer& root, double time);
    // Paints `root` (its superspace mapped by ctx's current transform).
    static void render(Layer& root, Context& ctx, double time);
    // A picture of `root`'s tree over `size` points at `scale`.
    static std::shared_ptr<Image> compose(Layer& root, Size size, double scale, double time);
};

}  // namespace platform::ui
