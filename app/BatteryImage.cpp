#include "app/BatteryImage.h"

#include <algorithm>
#include <cmath>

#include "framework/TwkUtils.h"
#include "platform/graphics/Context.h"

namespace pg = platform::graphics;

namespace {

std::shared_ptr<pg::Image> part(const std::string& stem) {
    return pg::Image::named(stem + BatteryImage::buildSuffix() + ".png");
}

pg::Size sizeOf(const std::shared_ptr<pg::Image>& image) { return image ? image->size() : pg::Size{}; }

}  // namespace

BatteryImage& BatteryImage::sharedInstance() {
    static BatteryImage* instance = new BatteryImage();  // lives for the process
    return *instance;
}

std::string BatteryImage::buildSuffix() { return TwkUtils::onIPad() ? "-ipad" : ""; }

std::shared_ptr<pg::Image> BatteryImage::imgBack() { return part("backshade"); }
std::shared_ptr<pg::Image> BatteryImage::imgShine() { return part("top"); }
std::shared_ptr<pg::Image> BatteryImage::imgTop() { return part("new-filltop"); }
std::shared_ptr<pg::Image> BatteryImage::imgBottom() { return part("new-fillbottom"); }
std::shared_ptr<pg::Image> BatteryImage::imgFillCenter() { return part("new-fillmiddle"); }

BatteryImage::Layout BatteryImage::layoutFor(const pg::Rect& bounds, float level, pg::Size top, pg::Size bottom) {
    const float w = static_cast<float>(bounds.width()), h = static_cast<float>(bounds.height());
    const float topHeight = static_cast<float>(top.height), bottomHeight = static_cast<float>(bottom.height);
    const float natural = topHeight + kMiddleHeight + bottomHeight;
    const float byHeight = h / natural;
    // Without a top picture its width cannot limit the scale.
    const float s = top.width > 0 ? std::min(w / static_cast<float>(top.width), byHeight) : byHeight;
    Layout l;
    l.scale = s;
    l.margin = std::round(kTopMargin * s);
    l.topHeight = std::round(s * topHeight);
    l.bottomHeight = std::round(s * bottomHeight);
    // A level outside 0..1 or a layer shorter than its caps must not give a
    // middle of negative height.
    l.middleHeight = std::max(0.0f, std::round((h - l.margin - l.topHeight - l.bottomHeight) * level));
    return l;
}

std::shared_ptr<pg::Image> BatteryImage::getCombinedImageScaledForBounds(const pg::Rect& bounds, float level) {
    if (level == lastLevel_ && bounds == lastBounds_) {
        if (auto cached = cachedScaledImage()) return cached;
    }
    lastLevel_ = level;
    lastBounds_ = bounds;

    const auto top = imgTop(), bottom = imgBottom(), middle = imgFillCenter();
    const Layout l = layoutFor(bounds, level, sizeOf(top), sizeOf(bottom));
    const double width = bounds.width(), height = l.height();
    if (!(width > 0) || !(height > 0)) {
        // The request is remembered; an older picture must not answer it later.
        setCachedScaledImage(nullptr);
        return nullptr;
    }

    auto ctx = pg::Context::beginImageContext({width, height}, false, 0);
    // Parts are placed with y growing upwards from the picture's bottom edge.
    ctx->translate(0, height);
    ctx->scaleBy(1, -1);
    if (top && bottom && middle) {
        if (l.middleHeight > 0) ctx->drawImageBottomUp(*middle, {0, l.bottomHeight, width, l.middleHeight});
        if (l.bottomHeight > 0) ctx->drawImageBottomUp(*bottom, {0, 0, width, l.bottomHeight});
        if (l.topHeight > 0)
            ctx->drawImageBottomUp(*top, {0, static_cast<double>(l.bottomHeight + l.middleHeight), width, l.topHeight});
    }
    auto image = ctx->takeImage();
    ctx.reset();
    setCachedScaledImage(image);
    return image;
}

std::shared_ptr<pg::Image> BatteryImage::cachedScaledImage() const {
    std::lock_guard lock(imageMutex_);
    return cachedScaledImage_;
}

void BatteryImage::setCachedScaledImage(std::shared_ptr<pg::Image> image) {
    std::lock_guard lock(imageMutex_);
    cachedScaledImage_ = std::move(image);
}

std::string BatteryImage::renderedKey() const {
    std::lock_guard lock(imageMutex_);
    return renderedKey_;
}

void BatteryImage::setRenderedKey(std::string key) {
    std::lock_guard lock(imageMutex_);
    renderedKey_ = std::move(key);
}

std::shared_ptr<pg::Image> BatteryImage::renderedImage() const {
    std::lock_guard lock(imageMutex_);
    return renderedImage_;
}

void BatteryImage::setRenderedImage(std::shared_ptr<pg::Image> image) {
    std::lock_guard lock(imageMutex_);
    renderedImage_ = std::move(image);
}
