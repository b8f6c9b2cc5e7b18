#pragma once
// The battery's part pictures (with their tablet variants) and the combined
// fill picture for a layer size and a charge level: bottom cap, a middle
// stretched to the level, top cap, scaled together to fit the layer.
//
// It also holds the render cache of the fill layers (BatteryCALayer): the key
// and the tinted picture of the last render, shared by every battery layer.
#include <memory>
#include <mutex>
#include <string>

#include "platform/graphics/Geometry.h"
#include "platform/graphics/Image.h"

class BatteryImage {
public:
    // Natural height of the stretchable middle part, in points.
    static constexpr float kMiddleHeight = 185.0f;
    // Room kept free above a full fill, in points at scale 1.
    static constexpr float kTopMargin = 16.0f;

    static BatteryImage& sharedInstance();

    // "-ipad" on a tablet, else empty.
    static std::string buildSuffix();
    // Each call looks the named picture up again (the platform caches them);
    // null when the bundle lacks it.
    static std::shared_ptr<platform::graphics::Image> imgBack();
    static std::shared_ptr<platform::graphics::Image> imgShine();
    static std::shared_ptr<platform::graphics::Image> imgTop();
    static std::shared_ptr<platform::graphics::Image> imgBottom();
    static std::shared_ptr<platform::graphics::Image> imgFillCenter();

    // Part heights in the combined picture, in points (32-bit arithmetic,
    // halves rounded away from zero).
    struct Layout {
        float scale = 0, margin = 0, topHeight = 0, bottomHeight = 0, middleHeight = 0;
        float height() const { return bottomHeight + middleHeight + topHeight; }
    };
    // For the given sizes of the top and bottom pictures (a missing picture
    // counts as zero by zero).
    static Layout layoutFor(const platform::graphics::Rect& bounds, float level, platform::graphics::Size top,
                            platform::graphics::Size bottom);

    // The combined picture, as wide as `bounds` and standing on its bottom
    // edge; the same bounds and level give the same picture object. Null for
    // an empty picture size. Missing parts give a transparent picture. Called
    // on the render queue only.
    std::shared_ptr<platform::graphics::Image> getCombinedImageScaledForBounds(const platform::graphics::Rect& bounds,
                                                                               float level);

    float lastLevel() const { return lastLevel_; }
    platform::graphics::Rect lastBounds() const { return lastBounds_; }
    std::shared_ptr<platform::graphics::Image> cachedScaledImage() const;
    void setCachedScaledImage(std::shared_ptr<platform::graphics::Image> image);

    // The fill layers' render cache; empty key and null picture until the
    // first render. Read on the main thread, written on the render queue.
    std::string renderedKey() const;
    void setRenderedKey(std::string key);
    std::shared_ptr<platform::graphics::Image> renderedImage() const;
    void setRenderedImage(std::shared_ptr<platform::graphics::Image> image);

private:
    BatteryImage() = default;
    float lastLevel_ = 0.0f;
    platform::graphics::Rect lastBounds_;
    mutable std::mutex imageMutex_;
    std::shared_ptr<platform::graphics::Image> cachedScaledImage_, renderedImage_;
    std::string renderedKey_;
};
