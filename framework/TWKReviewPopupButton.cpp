#include "framework/TWKReviewPopupButton.h"

#include <map>
#include <mutex>

#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TWKReviewAsk.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;
using platform::graphics::AffineTransform;

namespace {

// The recursive lock of an object, as the platform's synchronized blocks take it.
std::recursive_mutex& objectLock(const void* object) {
    static std::mutex guard;
    static std::map<const void*, std::unique_ptr<std::recursive_mutex>> locks;
    std::lock_guard<std::mutex> g(guard);
    auto& m = locks[object];
    if (!m) m = std::make_unique<std::recursive_mutex>();
    return *m;
}

}  // namespace

TWKReviewPopupButton::TWKReviewPopupButton(const platform::graphics::Rect& frame) : ui::Button(frame) {}

void TWKReviewPopupButton::checkReviewTime(const std::shared_ptr<ui::ViewController>& controller) {
    auto& defaults = pf::UserDefaults::standard();
    const double now = pf::Clock::current().now();
    double last = defaults.doubleForKey("lastReviewAsk_v2");
    if (last > now) last = 0;  // the clock was set back
    if (now - last < kSpacing) {
        hideBtnOverlay();
        return;
    }
    if (defaults.stringForKey("review_never_ask_v2") == "1") {
        hideBtnOverlay();
        return;
    }
    defaults.setDouble("lastReviewAsk_v2", now);
    auto self = std::static_pointer_cast<TWKReviewPopupButton>(shared_from_this());
    pf::dispatch::mainQueue().after(kDelay, [self, controller] { self->checkReviewTimeDelayed(controller); });
}

void TWKReviewPopupButton::checkReviewTimeDelayed(const std::shared_ptr<ui::ViewController>& controller) {
    auto self = std::static_pointer_cast<TWKReviewPopupButton>(shared_from_this());
    TwkUtils::runOnMainSafely([self, controller] { self->decide(controller); });
}

void TWKReviewPopupButton::decide(const std::shared_ptr<ui::ViewController>& controller) {
    if (!controller || !controller->isViewLoaded() || !controller->view()->window())
        return;  // off screen: nothing is counted
    std::lock_guard<std::recursive_mutex> lock(objectLock(controller.get()));
    parent_ = controller;

    auto& defaults = pf::UserDefaults::standard();
    const double now = pf::Clock::current().now();
    const int64_t launches = defaults.integerForKey("review_nb_launches") + 1;
    defaults.setInteger("review_nb_launches", launches);

    bool pulse = false;
    if (launches >= kLaunches && defaults.objectForKey("review_never_ask").isNull()) {
        if (defaults.objectForKey("review_install_time_v2").isNull())
            defaults.setDouble("review_install_time_v2", now);
        else
            pulse = now - defaults.doubleForKey("review_install_time_v2") > kWaiting;
    }

    if (!overlayCreated_) {
        ivCircle_ = std::make_shared<ui::ImageView>(TwkUtils::getBundleImage("review_popup_shine"));
        ivCircle_->setContentMode(ui::ContentMode::ScaleAspectFit);
        ivLamp_ = std::make_shared<ui::ImageView>(TwkUtils::getBundleImage("review_popup_lamp"));
        ivLamp_->setContentMode(ui::ContentMode::ScaleAspectFit);
        btOverlay_ = std::make_shared<ui::Button>(bounds());
        btOverlay_->setBackgroundColor(platform::graphics::Color::clear());
        btOverlay_->setOpaque(false);
        std::weak_ptr<ui::View> weak = weak_from_this();
        btOverlay_->addTarget(
            this,
            [weak](ui::Control& sender, const ui::Event*) {
                if (auto self = std::static_pointer_cast<TWKReviewPopupButton>(weak.lock()))
                    self->reviewButtonPressed(&sender);
            },
            ui::kControlEventTouchUpInside);
        overlayCreated_ = true;
    }

    if (!pulse) {
        hideBtnOverlay();
        return;
    }
    const auto b = bounds();
    for (ui::View* v : {static_cast<ui::View*>(ivCircle_.get()), static_cast<ui::View*>(ivLamp_.get()),
                        static_cast<ui::View*>(btOverlay_.get())}) {
        v->setBounds({0, 0, b.width(), b.height()});
        v->setCenter({b.width() / 2, b.height() / 2});
    }
    if (auto image = imageForState(ui::kControlStateNormal); image && !backup_) backup_ = image;
    setImage(nullptr, ui::kControlStateNormal);
    addSubview(ivCircle_);
    addSubview(ivLamp_);
    addSubview(btOverlay_);
    startAnim();
}

void TWKReviewPopupButton::startAnim(void*) {
    if (!ivCircle_) return;
    ivCircle_->layer()->removeAllAnimations();
    // Stops are reported on a later turn: only the latest half of the pulse
    // may lead on, or a replaced one would cut the pulse that replaced it.
    const uint64_t phase = ++pulsePhase_;
    std::weak_ptr<ui::View> weak = weak_from_this();
    ui::View::beginAnimations();
    ui::View::setAnimationDuration(kPulseHalf);
    ui::View::setAnimationDidStop([weak, phase](const std::string& id, bool finished, void* context) {
        auto self = std::static_pointer_cast<TWKReviewPopupButton>(weak.lock());
        if (self && self->pulsePhase_ == phase) self->animDidStop(id, finished, context);
    });
    ivCircle_->setTransform(AffineTransform::scale(kPulseScale, kPulseScale));
    ui::View::commitAnimations();
}

void TWKReviewPopupButton::animDidStop(const std::string&, bool finished, void*) {
    if (!ivCircle_) return;
    const uint64_t phase = ++pulsePhase_;
    std::weak_ptr<ui::View> weak = weak_from_this();
    ui::View::beginAnimations();
    ui::View::setAnimationDuration(kPulseHalf);
    // A shrink cut short (the pulse ended) swells no more, or the hidden
    // circle would go on pulsing unseen.
    if (finished)
        ui::View::setAnimationDidStop([weak, phase](const std::string&, bool done, void*) {
            auto self = std::static_pointer_cast<TWKReviewPopupButton>(weak.lock());
            if (self && done && self->pulsePhase_ == phase) self->startAnim();
        });
    ivCircle_->setTransform(AffineTransform::scale(1.0, 1.0));
    ui::View::commitAnimations();
}

void TWKReviewPopupButton::hideBtnOverlay() {
    if (backup_ && !imageForState(ui::kControlStateNormal)) {
        setImage(backup_, ui::kControlStateNormal);
        backup_.reset();
    }
    if (ivCircle_) ivCircle_->layer()->removeAllAnimations();
    for (ui::View* v : {static_cast<ui::View*>(ivLamp_.get()), static_cast<ui::View*>(ivCircle_.get()),
                        static_cast<ui::View*>(btOverlay_.get())})
        if (v) v->removeFromSuperview();
}

void TWKReviewPopupButton::reviewButtonPressed(ui::Control*) {
    auto parent = parent_.lock();
    if (!parent) return;
    auto ask = TWKMoreAppsBaseViewController::create<TWKReviewAsk>();
    ask->setBackToViewController(parent);
    parent->presentViewController(ask, true);
}
