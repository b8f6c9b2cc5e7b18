#include "platform/ui/SdlWindowPresenter.h"

#include <SDL.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"

namespace platform::ui {

namespace {

bool initVideo() {
    static int state = -1;  // -1 unknown, 0 failed, 1 ready
    if (state < 0) {
        // Signals belong to the application (and its crash reporter), not to SDL.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        state = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0 ? 1 : 0;
    }
    return state == 1;
}

}  // namespace

struct SdlWindowPresenter::Impl {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int texW = 0, texH = 0;
    double zoom = 1;      // screen pixels per composed pixel
    bool pressed = false;

    ~Impl() {
        if (texture) SDL_DestroyTexture(texture);
        if (renderer) SDL_DestroyRenderer(renderer);
        if (window) SDL_DestroyWindow(window);
    }
};

SdlWindowPresenter::SdlWindowPresenter(std::string title, std::function<void()> onClose, double zoom)
    : impl_(std::make_unique<Impl>()), title_(std::move(title)), onClose_(std::move(onClose)), zoom_(zoom) {}

SdlWindowPresenter::~SdlWindowPresenter() {
    foundation::RunLoop::current().cancelPerforms(this);
    if (eventTimer_) eventTimer_->invalidate();
}

bool SdlWindowPresenter::isDisplayAvailable() {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    if ((!x || !*x) && (!w || !*w)) return false;
    return initVideo();
}

void SdlWindowPresenter::attach(Window* window) {
    if (window == window_) return;
    window_ = window;
    if (!window_) {
        foundation::RunLoop::current().cancelPerforms(this);
        if (eventTimer_) eventTimer_->invalidate();
        eventTimer_.reset();
        impl_ = std::make_unique<Impl>();
        return;
    }
    if (!initVideo()) {
        foundation::logf("SDL video unavailable: %s", SDL_GetError());
        return;
    }
    Size size = window_->bounds().size;
    double pw = std::ceil(size.width * window_->scale()), ph = std::ceil(size.height * window_->scale());
    double zoom = zoom_;
    SDL_Rect usable;
    if (zoom <= 0) {
        zoom = 1;
        if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0)
            zoom = std::min({1.0, usable.w / pw, (usable.h - 40) / ph});
    }
    impl_->zoom = zoom;
    SDL_DisplayMode mode;
    if (SDL_GetCurrentDisplayMode(0, &mode) == 0 && mode.refresh_rate > 0) rate_ = mode.refresh_rate;
    int ww = std::max(1, int(std::lround(pw * zoom))), wh = std::max(1, int(std::lround(ph * zoom)));
    impl_->window = SDL_CreateWindow(title_.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, ww, wh, 0);
    if (!impl_->window) {
        foundation::logf("SDL window failed: %s", SDL_GetError());
        return;
    }
    impl_->renderer = SDL_CreateRenderer(impl_->window, -1, SDL_RENDERER_ACCELERATED);
    if (!impl_->renderer) impl_->renderer = SDL_CreateRenderer(impl_->window, -1, SDL_RENDERER_SOFTWARE);
    if (!impl_->renderer) {
        foundation::logf("SDL renderer failed: %s", SDL_GetError());
        return;
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    // Events are read on the loop; input arrives at most a frame late.
    eventTimer_ = foundation::Timer::scheduled(1.0 / rate_, true, [this](foundation::Timer&) { pumpEvents(); });
    windowChanged();
}

void SdlWindowPresenter::windowChanged() {
    if (!window_ || presentScheduled_ || !impl_->renderer) return;
    presentScheduled_ = true;
    double now = foundation::Clock::current().monotonic();
    double wait = lastPresent_ < 0 ? 0 : std::max(0.0, lastPresent_ + 1.0 / rate_ - now);
    foundation::RunLoop::current().performAfter(wait, [this] { present(); }, this);
}

void SdlWindowPresenter::present() {
    presentScheduled_ = false;
    if (!window_ || !impl_->renderer) return;
    auto image = window_->composedImage();
    if (!image) return;
    int w = image->pixelWidth(), h = image->pixelHeight();
    if (!impl_->texture || impl_->texW != w || impl_->texH != h) {
        if (impl_->texture) SDL_DestroyTexture(impl_->texture);
        impl_->texture = SDL_CreateTexture(impl_->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
        impl_->texW = w;
        impl_->texH = h;
    }
    if (!impl_->texture) return;
    cairo_surface_t* s = image->surface();
    SDL_UpdateTexture(impl_->texture, nullptr, cairo_image_surface_get_data(s), cairo_image_surface_get_stride(s));
    SDL_SetRenderDrawColor(impl_->renderer, 0, 0, 0, 255);
    SDL_RenderClear(impl_->renderer);
    SDL_RenderCopy(impl_->renderer, impl_->texture, nullptr, nullptr);
    SDL_RenderPresent(impl_->renderer);
    ++presented_;
    lastPresent_ = foundation::Clock::current().monotonic();
}

void SdlWindowPresenter::pumpEvents() {
    if (!window_) return;
    double toPoints = 1.0 / (impl_->zoom * window_->scale());
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        switch (e.type) {
            case SDL_QUIT:
                if (onClose_) onClose_();
                break;
            case SDL_WINDOWEVENT:
                if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
                    if (onClose_) onClose_();
                } else if (e.window.event == SDL_WINDOWEVENT_EXPOSED && impl_->texture) {
                    // Shown again: the last frame, not a new composition.
                    SDL_RenderClear(impl_->renderer);
                    SDL_RenderCopy(impl_->renderer, impl_->texture, nullptr, nullptr);
                    SDL_RenderPresent(impl_->renderer);
                }
                break;
            case SDL_MOUSEBUTTONDOWN:
                if (e.button.button == SDL_BUTTON_LEFT) {
                    impl_->pressed = true;
                    window_->sendPointer(PointerPhase::Down, {e.button.x * toPoints, e.button.y * toPoints});
                }
                break;
            case SDL_MOUSEMOTION:
                if (impl_->pressed)
                    window_->sendPointer(PointerPhase::Move, {e.motion.x * toPoints, e.motion.y * toPoints});
                break;
            case SDL_MOUSEBUTTONUP:
                if (e.button.button == SDL_BUTTON_LEFT && impl_->pressed) {
                    impl_->pressed = false;
                    window_->sendPointer(PointerPhase::Up, {e.button.x * toPoints, e.button.y * toPoints});
                }
                break;
            case SDL_MOUSEWHEEL: {
                int mx = 0, my = 0;
                SDL_GetMouseState(&mx, &my);
                // One wheel notch scrolls the content by about three lines.
                window_->sendWheel({mx * toPoints, my * toPoints}, -e.wheel.x * 40.0, -e.wheel.y * 40.0);
                break;
            }
            default: break;
        }
        if (!window_) return;  // the close handler may have detached us
    }
}

}  // namespace platform::ui
