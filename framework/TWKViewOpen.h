#pragma once
// An angled header band: a dark polygon with a slanted edge and a shadowed
// line along it, rendered once into an image and drawn from it.
#include <memory>

#include "platform/ui/View.h"

class TWKViewOpen : public platform::ui::View {
public:
    TWKViewOpen(const platform::graphics::Rect& frame, bool topMode, float angleHeight, float lineHeight);

    // Renders the band for a rectangle of `rect`'s size and keeps the image.
    void preRenderInImageOfSize(const platform::graphics::Rect& rect);
    void drawRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) override;

    bool topMode() const { return topMode_; }
    float angleHeight() const { return angleHeight_; }
    float lineHeight() const { return lineHeight_; }
    std::shared_ptr<platform::graphics::Image> renderedImage() const { return renderedImage_; }

private:
    bool topMode_;
    float angleHeight_;
    float lineHeight_;
    std::shared_ptr<platform::graphics::Image> renderedImage_;
};
