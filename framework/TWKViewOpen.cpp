#include "framework/TWKViewOpen.h"

using platform::graphics::Color;
using platform::graphics::Context;
using platform::graphics::Point;
using platform::graphics::Rect;

TWKViewOpen::TWKViewOpen(const Rect& frame, bool topMode, float angleHeight, float lineHeight)
    : View(frame), topMode_(topMode), angleHeight_(angleHeight), lineHeight_(lineHeight) {
    setOpaque(false);
    setBackgroundColor(Color::clear());
}

void TWKViewOpen::preRenderInImageOfSize(const Rect& rect) {
    auto ctx = Context::beginImageContext(rect.size, false, 0);
    ctx->setShouldAntialias(true);
    const float W = float(frame().width()), H = float(frame().height());
    const float A = angleHeight_, h = lineHeight_ * 0.5f;

    ctx->setFillColor(Color::rgba(0.25, 0.25, 0.25, 1.0));
    ctx->beginPath();
    if (topMode_) {
        ctx->moveTo({0, 0});
        ctx->addLineTo({W, 0});
        ctx->addLineTo({W, H - A - h});
        ctx->addLineTo({0, H - h});
    } else {
        ctx->moveTo({0, A + h});
        ctx->addLineTo({W, h});
        ctx->addLineTo({W, H});
        ctx->addLineTo({0, H});
    }
    ctx->closePath();
    ctx->fillPath();

    if (!topMode_) {
        ctx->setFillColor(Color::rgba(0, 0, 0, 0.07));
        ctx->fillEllipseInRect(Rect(W * 0.5, 0, 2 * W, 2 * W));
    }

    ctx->setLineWidth(lineHeight_);
    if (topMode_) {
        ctx->setShadow({0, -8}, 32, Color::rgba(0, 0, 0, 1));
        ctx->setStrokeColor(Color::rgba(0, 0, 0, 1));
        ctx->strokeLine(Point{0, H - h}, Point{W, H - A - h});
    } else {
        ctx->setShadow({0, 2}, 8, Color::rgba(1, 1, 1, 1));
        ctx->setStrokeColor(Color::rgba(0.7, 0.7, 0.7, 1.0));
        ctx->strokeLine(Point{0, A + h}, Point{W, h});
    }
    renderedImage_ = ctx->takeImage();
}

void TWKViewOpen::drawRect(Context& ctx, const Rect& rect) {
    if (renderedImage_) ctx.drawImage(*renderedImage_, rect);
}
