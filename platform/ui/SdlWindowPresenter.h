#pragma once
// Shows the window's picture in an SDL2 window. A frame is presented only when
// the picture changed, at most at the display rate while the user acts (else
// at a lower rate for animations that run by themselves), and only the changed
// rectangles are sent to the display; pointer buttons and motion
// become touches, the wheel scrolls, typed text and editing keys go to the
// window's first responder, Ctrl (or Super) with Left or Right turns the
// device as a simulator's rotate commands do; closing the window calls
// `onClose` (the application ends its loop there). Events are read on the
// main run loop.
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Timer.h"
#include "platform/ui/Window.h"

namespace platform::ui {

class SdlWindowPresenter : public WindowPresenter {
public:
    // `zoom` scales the composed pixels on screen (0: shrink to fit the display
    // when needed, else 1).
    SdlWindowPresenter(std::string title, std::function<void()> onClose, double zoom = 0);
    ~SdlWindowPresenter() override;

    // True when SDL can open a window here (a display is reachable).
    static bool isDisplayAvailable();
    // Why a window cannot be opened on the display the environment names;
    // empty when it can, or when none is named.
    static std::string displayFailure();

    // Told -1 for a quarter turn to the left, +1 to the right.
    void setRotationHandler(std::function<void(int direction)> handler) { onRotate_ = std::move(handler); }

    void attach(Window* window) override;
    void windowChanged() override;
    uint64_t presentedFrames() const { return presented_; }
    double displayRate() const { return rate_; }

private:
    struct Impl;
    void present();
    // Screen pixels per composed pixel for a picture of this size.
    double fitZoom(double pixelWidth, double pixelHeight) const;
    // Resizes the window when the picture's size changed; true when it did.
    bool resizeToFit(double pixelWidth, double pixelHeight);
    void pumpEvents();
    void schedulePump(double interval);
    static constexpr double kIdlePollInterval = 1.0 / 20;
    static constexpr double kAmbientRate = 30;  // frames per second without input
    static constexpr double kActingTime = 2;    // seconds after input that count as acting
    std::unique_ptr<Impl> impl_;
    std::string title_;
    std::function<void()> onClose_;
    std::function<void(int)> onRotate_;
    double zoom_;
    double rate_ = 60;
    Window* window_ = nullptr;
    uint64_t presented_ = 0;
    bool presentScheduled_ = false;
    double lastPresent_ = -1;
    double lastInput_ = -1;
    std::shared_ptr<foundation::Timer> eventTimer_;
};

}  // namespace platform::ui
