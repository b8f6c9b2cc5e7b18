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
    // Whether `layer` with appearance `a` is painted as one group (this
    // depends on its sublayers too).
    static bool paintsAsGroup(const Layer& layer, const Appearance& a);

    // What a composition already knows of the tree at its time: the layers'
    // appearance, and which subtrees reach the area being redrawn.
    class Survey {
    public:
        virtual ~Survey() = default;
        // Null when neither the layer nor its sublayers paint in that area.
        virtual const Appearance* find(const Layer& layer) const = 0;
    };

    // Brings every layer's drawn contents up to date (main thread).
    static void displayTree(Layer& root, double time);
    // Paints `root` (its superspace mapped by ctx's current transform).
    static void render(Layer& root, Context& ctx, double time, const Survey* survey = nullptr);
    // A picture of `root`'s tree over `size` points at `scale`.
    static std::shared_ptr<Image> compose(Layer& root, Size size, double scale, double time);
};

}  // namespace platform::ui
