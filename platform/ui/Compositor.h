#pragma once
// Draws a layer tree with Cairo: displays layers marked for display (or
// animating a key that needs display), then paints backgrounds, contents,
// borders and sublayers with their presentation geometry and opacity.
#include <memory>

#include "platform/ui/Layer.h"

namespace platform::ui {

class Compositor {
public:
    // Brings every layer's drawn contents up to date (main thread).
    static void displayTree(Layer& root, double time);
    // Paints `root` (its superspace mapped by ctx's current transform).
    static void render(Layer& root, Context& ctx, double time);
    // A picture of `root`'s tree over `size` points at `scale`.
    static std::shared_ptr<Image> compose(Layer& root, Size size, double scale, double time);
};

}  // namespace platform::ui
