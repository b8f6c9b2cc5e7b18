#include "app/BatteryCALayer.h"

#include <cstdio>

#include "app/BatteryImage.h"
#include "platform/graphics/Context.h"

namespace pg = platform::graphics;
namespace pu = platform::ui;
namespace dispatch = platform::foundation::dispatch;

bool BatteryCALayer::isMyCustomAnimatedKey(const std::string& key) {
    return key == "level" || key == "red" || key == "green" || key == "blue";
}

bool BatteryCALayer::needsDisplayForKey(const std::string& key) const {
    return isMyCustomAnimatedKey(key) || Layer::needsDisplayForKey(key);
}

std::shared_ptr<pu::Animation> BatteryCALayer::actionForKey(const std::string& key) {
    if (!isMyCustomAnimatedKey(key)) return Layer::actionForKey(key);
    auto anim = pu::BasicAnimation::withKeyPath(key);
    anim->setDuration(kAnimationDuration);
    // Start from what is on screen, so a change in mid-flight does not jump.
    pu::PropertyValue shown = presentationLayer()->valueForKey(key);
    if (std::holds_alternative<std::monostate>(shown)) shown = 0.0;  // never set: the layer's values start at zero
    anim->setFromValue(shown);
    anim->setRemovedOnCompletion(false);
    return anim;
}

std::shared_ptr<pu::Layer> BatteryCALayer::makeEmptyCopy() const { return std::make_shared<BatteryCALayer>(); }

BatteryCALayer::Values BatteryCALayer::currentValues() const { return {level(), red(), green(), blue()}; }

std::string BatteryCALayer::renderKey(const pg::Rect& bounds, const Values& v) {
    char key[256];
    std::snprintf(key, sizeof key, "%f-%f-%f-%f-%f-%f", bounds.width(), bounds.height(), static_cast<double>(v.level),
                  static_cast<double>(v.red), static_cast<double>(v.green), static_cast<double>(v.blue));
    return key;
}

dispatch::Queue& BatteryCALayer::batteryRenderQueue() {
    static std::once_flag once;
    static std::shared_ptr<dispatch::Queue> queue;
    dispatch::once(once, [] { queue = dispatch::createSerialQueue("batteryRenderQueue"); });
    return *queue;
}

void BatteryCALayer::drawInContext(pg::Context& ctx) {
    BatteryImage& cache = BatteryImage::sharedInstance();
    const std::shared_ptr<pg::Image> shown = cache.renderedImage();
    const pg::Rect bounds = this->bounds();
    // While drawing, the values are the ones on screen now.
    const Values values = currentValues();
    const std::string key = renderKey(bounds, values);
    if (key != cache.renderedKey()) {
        std::weak_ptr<Layer> weakSelf = weak_from_this();
        batteryRenderQueue().sync([&] {
            auto image = render(bounds, values);
            if (!image) return;
            cache.setRenderedKey(key);
            cache.setRenderedImage(image);
            dispatch::mainQueue().async([weakSelf] {
                if (auto self = weakSelf.lock()) self->setNeedsDisplay();
            });
        });
    }
    if (shown) ctx.drawImage(*shown, bounds);
}

std::shared_ptr<pg::Image> BatteryCALayer::renderInImageOfSize(const pg::Rect& rect) {
    return render(rect, currentValues());
}

std::shared_ptr<pg::Image> BatteryCALayer::render(const pg::Rect& rect, const Values& v) {
    const double width = rect.width(), height = rect.height();
    if (!(width > 0) || !(height > 0)) return nullptr;
    auto ctx = pg::Context::beginImageContext({width, height}, false, 0);
    auto mask = BatteryImage::sharedInstance().getCombinedImageScaledForBounds(rect, v.level);
    if (mask) {
        const pg::Size m = mask->size();
        // y up from the bottom edge, where the fill stands.
        ctx->translate(0, height);
        ctx->scaleBy(1, -1);
        const pg::Rect area{0, 0, m.width, m.height};
        ctx->setBlendMode(pg::BlendMode::Normal);
        ctx->setFillColor(pg::Color::rgba(v.red, v.green, v.blue, 1.0));
        // The colour where the parts are opaque, then their shading over it.
        ctx->save();
        ctx->clipToMask(area, *mask);
        ctx->fillRect(area);
        ctx->restore();
        ctx->setAlpha(1.0);
        ctx->setBlendMode(pg::BlendMode::Multiply);
        ctx->drawImageBottomUp(*mask, area);
    }
    return ctx->takeImage();
}
