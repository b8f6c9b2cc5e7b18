#pragma once
// Finds what changed on screen between two compositions of a layer tree. It
// records what every layer paints (where in device pixels, and how: geometry,
// appearance, contents, place in the paint order, translucent groups and
// clips above it) and compares with the previous record: a pixel outside all
// the rectangles it returns is painted exactly as before.
#include <cstdint>
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
    // The last record as a survey for redrawing `damage` (all of it when null).
    class Survey : public Compositor::Survey {
    public:
        Survey(const DamageTracker& tracker, const std::vector<Rect>* damage) : tracker_(tracker), damage_(damage) {}
        const Compositor::Appearance* find(const Layer& layer) const override;

    private:
        const DamageTracker& tracker_;
        const std::vector<Rect>* damage_;
    };

    // Forgets the record (the next update reports everything painted).
    void reset() { records_.clear(); }

    // Adds `r` to `rects`, merging rectangles that overlap or touch, and all
    // into one when they become many.
    static void addRect(std::vector<Rect>& rects, const Rect& r);

private:
    struct Record {
        std::weak_ptr<const Layer> layer;
        Rect area;   // device pixels it paints itself; empty when nothing
        Rect reach;  // the same for it and its sublayers
        AffineTransform device;
        Compositor::Appearance look;
        bool masks = false;
        double borderWidth = 0;
        Color borderColor;
        Rect clip;
        uint64_t generation = 0;  // the layer's, when `look` was taken
        uint64_t epoch = 0;       // the update that last saw it
        bool resampled = false;   // an image drawn turned: redrawn whole or not at all
        uint64_t context = 0;     // hash of its paint order and the groups and clips above it
        bool sameAs(const Record& o) const;
    };
    // Records `l` and its sublayers; returns where they paint.
    Rect walk(const Layer& l, double time, const AffineTransform& parent, const Rect& clip);

    std::unordered_map<const Layer*, Record> records_;
    uint64_t context_ = 0;
    uint64_t epoch_ = 0;
    std::vector<Rect> damage_;
};

}  // namespace platform::ui
