#include "platform/ui/SdlWindowPresenter.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/SharedLibrary.h"
#include "platform/sdl/SdlLibrary.h"

namespace platform::ui {

namespace {

using sdl::SdlLibrary;

bool isSet(const char* value) { return value && *value; }

// Why the display the environment names could not be opened; empty when it could or none is named.
std::string& gDisplayFailure = *new std::string;

void dropDisplayLibraryMessage(const char*, va_list) {}

// A Wayland display that cannot be reached (no XDG_RUNTIME_DIR, say) makes
// the Wayland client library print its own error on standard error before
// our one line says the same: its log handler drops it instead. The library
// stays loaded, so SDL's driver finds it with the handler set, and held by a
// global, where a leak check sees it kept rather than lost.
std::unique_ptr<foundation::SharedLibrary> openQuietWaylandLibrary(std::string* error) {
    auto wayland = foundation::SharedLibrary::open("libwayland-client.so.0", error);
    void (*setHandler)(void (*)(const char*, va_list)) = nullptr;
    if (wayland && wayland->resolve(setHandler, "wl_log_set_handler_client", nullptr))
        setHandler(&dropDisplayLibraryMessage);
    return wayland;
}

constinit foundation::LazyLibrary<foundation::SharedLibrary> gWaylandLibrary(&openQuietWaylandLibrary);

// The displays the environment names, as the failure line names them.
std::string displaysNamed(const char* wayland, const char* x) {
    if (isSet(wayland) && isSet(x)) return std::string("the displays \"") + wayland + "\" and \"" + x + "\"";
    return std::string("the display \"") + (isSet(wayland) ? wayland : x) + "\"";
}

bool initVideo() {
    static int state = -1;  // -1 unknown, 0 failed, 1 ready
    if (state < 0) {
        const SdlLibrary* lib = SdlLibrary::shared();
        if (!lib) {
            state = 0;
            return false;
        }
        // Signals belong to the application (and its crash reporter), not to SDL.
        lib->SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // The window's own buffer, sent to the display in changed rectangles;
        // not a texture drawn whole by a (software) renderer every frame.
        lib->SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        // Only the display the environment names: when it cannot be reached,
        // SDL would go on with an off-screen driver whose window nobody sees.
        // (SDL_VIDEODRIVER, when set, still chooses.)
        const char* x = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        std::string drivers = isSet(wayland) ? "wayland" : "";
        if (isSet(x)) drivers += drivers.empty() ? "x11" : ",x11";
        if (!drivers.empty()) lib->SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
        if (isSet(wayland)) (void)gWaylandLibrary.get();
        state = lib->InitSubSystem(SDL_INIT_VIDEO) == 0 ? 1 : 0;
        foundation::SharedLibrary::noteIndirectLoads();  // the video driver's libraries
        if (!state && !drivers.empty())
            gDisplayFailure = "Cannot open a window on " + displaysNamed(wayland, x) + " (" + lib->GetError() + ")";
    }
    return state == 1;
}

std::optional<Key> keyFor(SDL_Keycode k) {
    switch (k) {
    case SDLK_BACKSPACE: return Key::Backspace;
    case SDLK_DELETE: return Key::Delete;
    case SDLK_LEFT: return Key::Left;
    case SDLK_RIGHT: return Key::Right;
    case SDLK_UP: return Key::Up;
    case SDLK_DOWN: return Key::Down;
    case SDLK_HOME: return Key::Home;
    case SDLK_END: return Key::End;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return Key::Return;
    default: return std::nullopt;
    }
}

// Valid once initVideo() succeeded: every window and event comes after it.
const SdlLibrary& sdl() { return *SdlLibrary::loaded(); }

}  // namespace

// Frames go to the window's own pixel buffer, not through a renderer: only
// the changed rectangles are scaled into it and sent to the display.
struct SdlWindowPresenter::Impl {
    SDL_Window* window = nullptr;
    double zoom = 1;  // screen pixels per composed pixel
    bool pressed = false;
    bool needsFull = true;  // the buffer does not hold the last frame

    ~Impl() {
        if (window) sdl().DestroyWindow(window);
    }
    bool ready() const { return window != nullptr; }
};

SdlWindowPresenter::SdlWindowPresenter(std::string title, std::function<void()> onClose, double zoom)
    : impl_(std::make_unique<Impl>()), title_(std::move(title)), onClose_(std::move(onClose)), zoom_(zoom) {}

SdlWindowPresenter::~SdlWindowPresenter() {
    foundation::RunLoop::current().cancelPerforms(this);
    if (eventTimer_) eventTimer_->invalidate();
}

bool SdlWindowPresenter::isDisplayAvailable() {
    if (!isSet(std::getenv("DISPLAY")) && !isSet(std::getenv("WAYLAND_DISPLAY"))) return false;
    return initVideo();
}

std::string SdlWindowPresenter::displayFailure() {
    isDisplayAvailable();
    return gDisplayFailure;
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
        if (SdlLibrary::loaded()) foundation::logf("SDL video unavailable: %s", sdl().GetError());
        return;
    }
    Size size = window_->bounds().size;
    const double zoom = fitZoom(std::ceil(size.width * window_->scale()), std::ceil(size.height * window_->scale()));
    impl_->zoom = zoom;
    SDL_DisplayMode mode;
    if (sdl().GetCurrentDisplayMode(0, &mode) == 0 && mode.refresh_rate > 0) rate_ = mode.refresh_rate;
    const double pw = std::ceil(size.width * window_->scale()), ph = std::ceil(size.height * window_->scale());
    int ww = std::max(1, int(std::lround(pw * zoom))), wh = std::max(1, int(std::lround(ph * zoom)));
    impl_->window = sdl().CreateWindow(title_.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, ww, wh, 0);
    if (!impl_->window) {
        foundation::logf("SDL window failed: %s", sdl().GetError());
        return;
    }
    // Events are read on the loop: input arrives at most a frame late while the
    // user acts, a little later on an untouched window.
    schedulePump(1.0 / rate_);
    windowChanged();
}

double SdlWindowPresenter::fitZoom(double pixelWidth, double pixelHeight) const {
    if (zoom_ > 0) return zoom_;
    SDL_Rect usable;
    if (sdl().GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0)
        return std::min({1.0, usable.w / pixelWidth, (usable.h - 40) / pixelHeight});
    return 1;
}

bool SdlWindowPresenter::resizeToFit(double pixelWidth, double pixelHeight) {
    const double zoom = fitZoom(pixelWidth, pixelHeight);
    const int ww = std::max(1, int(std::lround(pixelWidth * zoom))),
              wh = std::max(1, int(std::lround(pixelHeight * zoom)));
    int w = 0, h = 0;
    sdl().GetWindowSize(impl_->window, &w, &h);
    if (w == ww && h == wh) return false;
    // A turned device: the window turns with it, centred again so that it
    // stays on the display, and shows again once the display has given it its
    // new size.
    impl_->zoom = zoom;
    impl_->needsFull = true;
    sdl().SetWindowSize(impl_->window, ww, wh);
    sdl().SetWindowPosition(impl_->window, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED);
    return true;
}

void SdlWindowPresenter::windowChanged() {
    if (!window_ || presentScheduled_ || !impl_->ready()) return;
    presentScheduled_ = true;
    double now = foundation::Clock::current().monotonic();
    // While the user acts, frames follow at the display rate; animations that
    // run by themselves (rising bubbles) are shown at a lower rate.
    bool acting = impl_->pressed || (lastInput_ >= 0 && now - lastInput_ < kActingTime);
    double interval = acting ? 1.0 / rate_ : std::max(1.0 / rate_, 1.0 / kAmbientRate);
    double wait = lastPresent_ < 0 ? 0 : std::max(0.0, lastPresent_ + interval - now);
    foundation::RunLoop::current().performAfter(
        wait, [this] { present(); }, this);
}

void SdlWindowPresenter::present() {
    presentScheduled_ = false;
    if (!window_ || !impl_->ready()) return;
    auto image = window_->composedImage();
    std::vector<Rect> damage = window_->takeDamage();
    if (!image || resizeToFit(image->pixelWidth(), image->pixelHeight())) return;
    SDL_Surface* screen = sdl().GetWindowSurface(impl_->window);
    if (!screen) {
        foundation::logf("SDL window surface failed: %s", sdl().GetError());
        return;
    }
    if (screen->format->BytesPerPixel != 4 || screen->format->Rmask != 0x00ff0000 || screen->format->Bmask != 0xff) {
        foundation::logf("SDL window surface has an unexpected pixel format: %s",
                         sdl().GetPixelFormatName(screen->format->format));
        return;
    }
    const double zoom = impl_->zoom;
    std::vector<SDL_Rect> rects;
    auto add = [&](double x0, double y0, double x1, double y1) {
        // A filtered screen pixel reads composed pixels around it: two more on each side.
        int sx0 = std::max(0, int(std::floor(x0 * zoom)) - 2), sy0 = std::max(0, int(std::floor(y0 * zoom)) - 2);
        int sx1 = std::min(screen->w, int(std::ceil(x1 * zoom)) + 2),
            sy1 = std::min(screen->h, int(std::ceil(y1 * zoom)) + 2);
        if (sx1 > sx0 && sy1 > sy0) rects.push_back({sx0, sy0, sx1 - sx0, sy1 - sy0});
    };
    if (impl_->needsFull) {
        rects.push_back({0, 0, screen->w, screen->h});
    } else {
        for (auto& r : damage) add(r.minX(), r.minY(), r.maxX(), r.maxY());
    }
    if (rects.empty()) return;  // nothing on screen changed
    if (SDL_MUSTLOCK(screen)) sdl().LockSurface(screen);
    cairo_surface_t* target = cairo_image_surface_create_for_data(
        static_cast<unsigned char*>(screen->pixels), CAIRO_FORMAT_RGB24, screen->w, screen->h, screen->pitch);
    cairo_t* cr = cairo_create(target);
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (auto& r : rects) cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_clip(cr);
    cairo_paint(cr);  // black under a translucent picture, as a display shows it
    cairo_scale(cr, zoom, zoom);
    cairo_set_source_surface(cr, image->surface(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), zoom == 1 ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(target);
    cairo_surface_destroy(target);
    if (SDL_MUSTLOCK(screen)) sdl().UnlockSurface(screen);
    sdl().UpdateWindowSurfaceRects(impl_->window, rects.data(), int(rects.size()));
    impl_->needsFull = false;
    ++presented_;
    lastPresent_ = foundation::Clock::current().monotonic();
}

void SdlWindowPresenter::pumpEvents() {
    if (!window_) return;
    double toPoints = 1.0 / (impl_->zoom * window_->scale());
    SDL_Event e;
    bool any = false;
    while (sdl().PollEvent(&e)) {
        any = true;
        switch (e.type) {
        case SDL_QUIT:
            if (onClose_) onClose_();
            break;
        case SDL_WINDOWEVENT:
            if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
                if (onClose_) onClose_();
            } else if (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
                impl_->needsFull = true;  // a new buffer
                windowChanged();
            } else if (e.window.event == SDL_WINDOWEVENT_EXPOSED && !impl_->needsFull) {
                // Shown again: the last frame, not a new composition.
                sdl().UpdateWindowSurface(impl_->window);
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
        case SDL_TEXTINPUT: window_->sendText(e.text.text); break;
        case SDL_KEYDOWN: {
            const SDL_Keycode k = e.key.keysym.sym;
            if ((e.key.keysym.mod & (KMOD_CTRL | KMOD_GUI)) && (k == SDLK_LEFT || k == SDLK_RIGHT)) {
                if (onRotate_ && !e.key.repeat) onRotate_(k == SDLK_LEFT ? -1 : 1);
            } else if (auto key = keyFor(k)) {
                window_->sendKey(*key);
            }
            break;
        }
        case SDL_MOUSEWHEEL: {
            int mx = 0, my = 0;
            sdl().GetMouseState(&mx, &my);
            // One wheel notch scrolls the content by about three lines.
            window_->sendWheel({mx * toPoints, my * toPoints}, -e.wheel.x * 40.0, -e.wheel.y * 40.0);
            break;
        }
        default: break;
        }
        if (!window_) return;  // the close handler may have detached us
    }
    if (any) lastInput_ = foundation::Clock::current().monotonic();
    // Input comes at the display rate while the user acts; an untouched
    // window is asked less often.
    double wanted = any || impl_->pressed ? 1.0 / rate_ : kIdlePollInterval;
    if (eventTimer_ && eventTimer_->interval() != wanted) schedulePump(wanted);
}

void SdlWindowPresenter::schedulePump(double interval) {
    if (eventTimer_) eventTimer_->invalidate();
    eventTimer_ = foundation::Timer::scheduled(interval, true, [this](foundation::Timer&) { pumpEvents(); });
}

}  // namespace platform::ui
