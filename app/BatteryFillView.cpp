#include "app/BatteryFillView.h"

#include <algorithm>
#include <cmath>

#include "app/BatteryImage.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Screen.h"

namespace pg = platform::graphics;
namespace pu = platform::ui;

namespace {

pg::Size sizeOf(const std::shared_ptr<pg::Image>& image) { return image ? image->size() : pg::Size{}; }

}  // namespace

void BatteryFillView::awakeFromNib() {
    View::awakeFromNib();
    setOpaque(false);
    setBackgroundColor(pg::Color::clear());

    batLayer_ = std::make_shared<BatteryCALayer>();
    batLayer_->setContentsScale(pu::Screen::main().scale());
    batLayer_->setFrame(bounds());

    const pg::Size top = sizeOf(BatteryImage::imgTop());
    const float natural = static_cast<float>(top.height) + BatteryImage::kMiddleHeight +
                          static_cast<float>(sizeOf(BatteryImage::imgBottom()).height);

    backLayer_ = std::make_shared<pu::Layer>();
    pg::Rect backFrame = batLayer_->frame();
    backFrame.size.height *= kBackHeightFactor;
    backLayer_->setFrame(backFrame);
    backLayer_->setContents(BatteryImage::imgBack());

    const float byWidth = static_cast<float>(bounds().width()) / static_cast<float>(top.width);
    const float byHeight = static_cast<float>(bounds().height()) / natural;
    const float s = std::min(byWidth, byHeight);

    shineLayer_ = std::make_shared<pu::Layer>();
    const auto shine = BatteryImage::imgShine();
    shineLayer_->setFrame({0, 0, batLayer_->frame().width(), std::round(static_cast<float>(sizeOf(shine).height) * s)});
    shineLayer_->setContents(shine);

    layer()->setOpaque(false);
    shineLayer_->setOpaque(false);
    batLayer_->setOpaque(false);
    backLayer_->setOpaque(false);
    backLayer_->setOpacity(kOverlayOpacity);
    shineLayer_->setOpacity(kOverlayOpacity);

    prepareForFade();

    layer()->addSublayer(backLayer_);
    layer()->addSublayer(batLayer_);
    layer()->addSublayer(shineLayer_);
}

void BatteryFillView::setLevel(float level) {
    if (batLayer_) batLayer_->setLevel(level);
}

float BatteryFillView::getLevel() const { return batLayer_ ? batLayer_->level() : 0.0f; }

void BatteryFillView::setColor(const pg::Color& color) {
    if (!batLayer_) {
        platform::foundation::log("batLayer IS NIL");
        return;
    }
    // Only red, green, blue and alpha give the fill its colour; anything else
    // (a grey of white and alpha) leaves it white.
    float red = 1.0f, green = 1.0f, blue = 1.0f;
    if (color.numberOfComponents() == 4) {
        const double* c = color.components();
        red = static_cast<float>(c[0]);
        green = static_cast<float>(c[1]);
        blue = static_cast<float>(c[2]);
    }
    batLayer_->setRed(red);
    batLayer_->setGreen(green);
    batLayer_->setBlue(blue);
}

void BatteryFillView::prepareForFade() {
    if (!batLayer_) return;
    batLayer_->setOpacity(0);
    batLayer_->setNeedsDisplay();
}

void BatteryFillView::fadeInContentAtSpeed(bool speed) {
    if (!batLayer_) return;
    auto fade = pu::BasicAnimation::withKeyPath("opacity");
    fade->setFromValue(static_cast<double>(batLayer_->opacity()));
    fade->setToValue(1.0);
    fade->setDuration(speed ? 1.0 : 0.0);
    fade->setRepeatCount(0);
    fade->setAutoreverses(false);
    fade->setFillMode(pu::FillMode::Forwards);
    fade->setRemovedOnCompletion(false);
    batLayer_->addAnimation(fade, "animateRotation");
}
