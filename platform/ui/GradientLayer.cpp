#include "platform/ui/GradientLayer.h"

namespace platform::ui {

GradientLayer::GradientLayer() = default;

void GradientLayer::setColors(std::vector<Color> colors) {
    colors_ = std::move(colors);
    setNeedsDisplay();
}

void GradientLayer::setLocations(std::vector<double> locations) {
    locations_ = std::move(locations);
    setNeedsDisplay();
}

void GradientLayer::setStartPoint(Point p) {
    start_ = p;
    setNeedsDisplay();
}

void GradientLayer::setEndPoint(Point p) {
    end_ = p;
    setNeedsDisplay();
}

void GradientLayer::drawInContext(Context& ctx) {
    if (colors_.empty()) return;
    Rect b = bounds();
    auto at = [&](Point u) { return Point{b.x() + u.x * b.width(), b.y() + u.y * b.height()}; };
    ctx.save();
    ctx.clipToRect(b);
    ctx.drawLinearGradient(colors_, locations_, at(start_), at(end_),
                           graphics::kGradientDrawsBeforeStart | graphics::kGradientDrawsAfterEnd);
    ctx.restore();
}

std::shared_ptr<Layer> GradientLayer::makeEmptyCopy() const {
    auto copy = std::make_shared<GradientLayer>();
    copy->colors_ = colors_;
    copy->locations_ = locations_;
    copy->start_ = start_;
    copy->end_ = end_;
    return copy;
}

}  // namespace platform::ui
