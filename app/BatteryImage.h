#pragma once
// The battery's part pictures (with their tablet variants) and the combined
// fill picture for a layer size and a charge level: bottom cap, a middle
// stretched to the level, top cap, scaled together to fit the layer.
//
// The tinted pictures that the fill layers render are cached by each layer
// (BatteryCALayer); this object only lets the screens invalidate those caches
// all at once.
#include <atomic>
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

    // Every fill layer renders again at its next pass (its key is forgotten).
    void clearRenderedKey() { keyGeneration_.fetch_add(1); }
    // Every fill layer drops its picture and key: it shows nothing until the
    // render that its next pass makes has been drawn.
    void clearRenderedImage() { imageGeneration_.fetch_add(1); }
    unsigned keyGeneration() const { return keyGeneration_.load(); }
    unsigned imageGeneration() const { return imageGeneration_.load(); }

private:
    BatteryImage() = default;
    float lastLevel_ = 0.0f;
    platform::graphics::Rect lastBounds_;
    mutable std::mutex imageMutex_;
    std::shared_ptr<platform::graphics::Image> cachedScaledImage_;
    std::atomic<unsigned> keyGeneration_{0}, imageGeneration_{0};
};
