#pragma once
// Finds what changed on screen between two compositions of a layer tree. It
// records what every layer paints (where in device pixels, and how: geometry,
// appearance, contents, place in the paint order, translucent groups and
// clips above it) and compares with the previous record: a pixel outside all
// the rectangles it returns is painted exactly as before.
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/ui/Compositor.h"

namespace platform::ui {

class DamageTracker {
public:
    // Records the tree of `root` at `time`, `base` mapping the root's
    // superspace to device pixels of `canvas`. Returns integral device-pixel
    // rectangles (within `canvas`) that changed since the previous record.
    std::vector<Rect> update(const Layer& root, double time, const AffineTransform& base, const Rect& canvas);
    // Forgets the record (the next update reports everything painted).
    void reset() { records_.clear(); }

    // Adds `r` to `rects`, merging rectangles that overlap or touch, and all
    // into one when they become many.
    static void addRect(std::vector<Rect>& rects, const Rect& r);

private:
    struct Record {
        std::weak_ptr<const Layer> layer;
        Rect area;  // device pixels it paints itself; empty when nothing
        AffineTransform device;
        Compositor::Appearance look;
        bool masks = false;
        double borderWidth = 0;
        Color borderColor;
        Rect clip;
        // Its image is resampled (turned or scaled): the resampling's rounding
        // depends on where a redraw starts, so it is redrawn whole or not at all.
        bool resampled = false;
        std::vector<double> context;  // paint order and translucent groups and clips above
        bool sameAs(const Record& o) const;
    };
    void walk(const Layer& l, double time, const AffineTransform& parent, const Rect& clip);

    std::unordered_map<const Layer*, Record> records_, next_;
    std::vector<double> context_;
};

}  // namespace platform::ui
