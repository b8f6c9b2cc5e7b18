#pragma once
// The information button that also asks for a review: the screen calls
// checkReviewTime with itself whenever it is shown or comes back to the
// foreground; 5 s later the button decides, from the review keys of the user
// defaults, whether to pulse. While it pulses, a shining circle and a lamp
// replace its image and a tap opens the review dialog.
#include <memory>

#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/ViewController.h"

class TWKReviewPopupButton : public platform::ui::Button {
public:
    static constexpr double kSpacing = 60.0;   // seconds between two checks that count
    static constexpr double kDelay = 5.0;      // from the check to the decision
    static constexpr int64_t kLaunches = 7;    // decisions before the waiting period starts
    static constexpr double kWaiting = 8.0;    // seconds of the waiting period
    static constexpr double kPulseHalf = 1.0;  // seconds of each half of the pulse
    static constexpr double kPulseScale = 1.4;

    explicit TWKReviewPopupButton(const platform::graphics::Rect& frame = {});

    void checkReviewTime(const std::shared_ptr<platform::ui::ViewController>& controller);
    void checkReviewTimeDelayed(const std::shared_ptr<platform::ui::ViewController>& controller);
    void hideBtnOverlay();
    void reviewButtonPressed(platform::ui::Control* sender);
    void startAnim(void* ignored = nullptr);
    void animDidStop(const std::string& animationID, bool finished, void* context);

    // The screen that presents the dialog; not kept alive by the button (the
    // button lives in that screen's view).
    std::shared_ptr<platform::ui::ViewController> parentController() const { return parent_.lock(); }
    void setParentController(const std::shared_ptr<platform::ui::ViewController>& c) { parent_ = c; }
    std::shared_ptr<platform::graphics::Image> originalImageBackup() const { return backup_; }
    void setOriginalImageBackup(std::shared_ptr<platform::graphics::Image> i) { backup_ = std::move(i); }

    // The overlay views (null until this button's first decision).
    std::shared_ptr<platform::ui::ImageView> ivCircle() const { return ivCircle_; }
    std::shared_ptr<platform::ui::ImageView> ivLamp() const { return ivLamp_; }
    std::shared_ptr<platform::ui::Button> btOverlay() const { return btOverlay_; }
    bool isPulsing() const { return btOverlay_ && btOverlay_->superviewPointer() == this; }

private:
    void decide(const std::shared_ptr<platform::ui::ViewController>& controller);
    std::shared_ptr<platform::ui::ImageView> ivCircle_, ivLamp_;
    std::shared_ptr<platform::ui::Button> btOverlay_;
    std::weak_ptr<platform::ui::ViewController> parent_;
    std::shared_ptr<platform::graphics::Image> backup_;
    // Each button makes its own overlay views once.
    bool overlayCreated_ = false;
    // Counts the halves of the pulse started; a stop report of an older one is ignored.
    uint64_t pulsePhase_ = 0;
};
