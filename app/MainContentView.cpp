#include "app/MainContentView.h"

#include "framework/TwkUtils.h"
#include "platform/ui/Screen.h"

using platform::ui::View;

void MainContentView::declareConnections(platform::ui::ConnectionTable& table) {
    table.outlet("viewScrollDownInfo", viewScrollDownInfo_);
}

void MainContentView::touchesBegan(const platform::ui::TouchSet&, const platform::ui::Event*) {
    if (TwkUtils::onIPad() || !viewScrollDownInfo_) return;
    hintWasVisible_ = viewScrollDownInfo_->alpha() > 0;
    viewScrollDownInfo_->setAlpha(0);
    if (hintWasVisible_) return;
    viewScrollDownInfo_->setCenter({bounds().width() / 2, kHintCenterY});
    if (!viewScrollDownInfo_->superview()) addSubview(viewScrollDownInfo_);
    layer()->removeAllAnimations();
    auto hint = viewScrollDownInfo_;
    View::animate(kFadeDuration, [hint] { hint->setAlpha(1.0); });
}

void MainContentView::touchesEnded(const platform::ui::TouchSet&, const platform::ui::Event*) {
    if (TwkUtils::onIPad() || !viewScrollDownInfo_ || hintWasVisible_) return;
    auto hint = viewScrollDownInfo_;
    const double bottom = platform::ui::Screen::main().applicationFrame().height();
    View::animate(kFadeDuration, kFadeOutDelay, platform::ui::kAnimationOptionNone, [hint, bottom] {
        hint->setAlpha(0);
        hint->setCenter({hint->center().x, bottom});
    });
}
