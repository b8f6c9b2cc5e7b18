#include "platform/ui/Window.h"

#include <cairo.h>

#include <cmath>
#include <cstring>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/ui/AnimationClock.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/Control.h"
#include "platform/ui/ScrollView.h"

namespace platform::ui {

namespace {
Window* gKeyWindow = nullptr;
// Main thread only, as windows are.
std::vector<Window*>& liveWindows() {
    static auto* windows = new std::vector<Window*>;
    return *windows;
}
}  // namespace

Window::Window(Size size, double scale) : View(Rect{0, 0, size.width, size.height}), scale_(scale > 0 ? scale : 1) {
    layer()->setHost(this);
    layer()->setContentsScale(scale_);
    setBackgroundColor(Color::black());
    AnimationClock::shared().setFramesWanted(this, true);
    liveWindows().push_back(this);
}

Window::~Window() {
    AnimationClock::shared().removeFrameConsumer(this);
    std::erase(liveWindows(), this);
    if (gKeyWindow == this) gKeyWindow = nullptr;
    layer()->setHost(nullptr);
    if (presenter_) presenter_->attach(nullptr);
}

namespace {
void rescale(View& v, double scale) {
    v.layer()->setContentsScale(scale);
    for (auto& s : v.subviews()) rescale(*s, scale);
}
}  // namespace

void Window::setScale(double scale) {
    if (scale <= 0 || scale == scale_) return;
    scale_ = scale;
    rescale(*this, scale);
    layerTreeChanged();
}

void Window::setFrame(const Rect& r) {
    View::setFrame(r);
    layerTreeChanged();
}

void Window::setRootView(std::shared_ptr<View> view) {
    if (auto old = rootView_.lock(); old && old != view) old->removeFromSuperview();
    rootView_ = view;
    if (!view) return;
    view->setFrame(bounds());
    addSubview(view);
}

void Window::makeKeyAndVisible() {
    gKeyWindow = this;
    setHidden(false);
    layerTreeChanged();
}

bool Window::isKeyWindow() const { return gKeyWindow == this; }
Window* Window::keyWindow() { return gKeyWindow; }
std::vector<Window*> Window::windows() { return liveWindows(); }

void Window::layerTreeChanged() {
    if (dirty_) return;
    dirty_ = true;
    if (presenter_) presenter_->windowChanged();
}

void Window::setPresenter(std::shared_ptr<WindowPresenter> presenter) {
    if (presenter_) presenter_->attach(nullptr);
    presenter_ = std::move(presenter);
    AnimationClock::shared().setFramesWanted(this, !presenter_ || presenter_->wantsFrames());
    if (presenter_) {
        presenter_->attach(this);
        if (dirty_) presenter_->windowChanged();
    }
}

bool Window::needsComposition() const {
    if (dirty_) return true;
    auto& clock = AnimationClock::shared();
    return clock.isRunning() && !clock.ticksFrames() && currentMediaTime() != composedAt_;
}

double Window::drawFrame() {
    layoutIfNeeded();
    // Cleared after layout (which moves views of this very frame) and before
    // drawing: a layer that asks for another pass while it draws must lead to
    // another frame.
    dirty_ = false;
    double time = currentMediaTime();
    composedAt_ = time;
    Compositor::displayTree(*layer(), time);
    return time;
}

void Window::prepareFrame() {
    if (!needsComposition()) return;
    drawFrame();
    unpainted_ = true;
}

std::shared_ptr<Image> Window::composedImage() {
    if (!needsComposition() && image_ && !unpainted_) return image_;
    const double time = needsComposition() ? drawFrame() : composedAt_;
    unpainted_ = false;
    Size size = bounds().size;
    int pw = std::max(1, int(std::ceil(size.width * scale_ - 1e-9)));
    int ph = std::max(1, int(std::ceil(size.height * scale_ - 1e-9)));
    const Rect canvas{0, 0, double(pw), double(ph)};
    std::vector<Rect> damage = tracker_.update(*layer(), time, AffineTransform::scale(scale_, scale_), canvas);
    ++compositions_;
    bool sameSize = image_ && image_->pixelWidth() == pw && image_->pixelHeight() == ph;
    if (sameSize && damage.empty()) {
        lastDamage_.clear();
        return image_;  // nothing on screen changed
    }
    if (!sameSize) damage.assign(1, canvas);
    const bool full = damage.size() == 1 && damage[0] == canvas;
    cairo_surface_t* surface = nullptr;
    if (sameSize && image_.use_count() == 1) {
        // Nobody else holds the last picture: draw over it.
        surface = cairo_surface_reference(image_->surface());
    } else {
        surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
        if (sameSize && !full) {
            // Start from the last picture, which its holders keep as it is.
            cairo_t* copy = cairo_create(surface);
            cairo_set_source_surface(copy, image_->surface(), 0, 0);
            cairo_set_operator(copy, CAIRO_OPERATOR_SOURCE);
            cairo_paint(copy);
            cairo_destroy(copy);
        }
    }
    cairo_t* cr = cairo_create(surface);
    if (!full) {
        for (auto& r : damage) cairo_rectangle(cr, r.x(), r.y(), r.width(), r.height());
        cairo_clip(cr);
    }
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_scale(cr, scale_, scale_);
    {
        Context ctx(cr, size, scale_);
        DamageTracker::Survey survey(tracker_, full ? nullptr : &damage);
        Compositor::render(*layer(), ctx, time, &survey);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_mark_dirty(surface);
    if (!image_ || image_->surface() != surface)
        image_ = std::make_shared<Image>(surface, scale_);
    else
        cairo_surface_destroy(surface);  // drop the extra reference
    lastDamage_ = damage;
    if (!sameSize) pendingDamage_.clear();
    for (auto& r : damage) DamageTracker::addRect(pendingDamage_, r);
    return image_;
}

std::vector<Rect> Window::takeDamage() {
    std::vector<Rect> d;
    d.swap(pendingDamage_);
    return d;
}

bool Window::writePNG(const std::string& path, foundation::Error* error) {
    auto image = composedImage();
    if (image && image->writePNG(path)) return true;
    if (error) *error = foundation::posixError(errno ? errno : EIO, "could not write " + path);
    return false;
}

// Input.

void Window::deliver(const std::shared_ptr<View>& view, TouchPhase phase, const std::shared_ptr<Touch>& touch) {
    if (!view) return;
    TouchSet set{touch};
    Event event(Event::Type::Touches, touch->timestamp(), set);
    switch (phase) {
    case TouchPhase::Began: view->touchesBegan(set, &event); break;
    case TouchPhase::Moved:
    case TouchPhase::Stationary: view->touchesMoved(set, &event); break;
    case TouchPhase::Ended: view->touchesEnded(set, &event); break;
    case TouchPhase::Cancelled: view->touchesCancelled(set, &event); break;
    }
}

namespace {
std::shared_ptr<ScrollView> enclosingScrollView(const std::shared_ptr<View>& v) {
    for (auto cur = v; cur; cur = cur->superview())
        if (auto s = std::dynamic_pointer_cast<ScrollView>(cur)) return s;
    return nullptr;
}

bool inControl(const std::shared_ptr<View>& v, const View* stop) {
    for (auto cur = v; cur && cur.get() != stop; cur = cur->superview())
        if (dynamic_cast<Control*>(cur.get())) return true;
    return false;
}
}  // namespace

void Window::sendPointer(PointerPhase phase, Point p, int pointer) {
    double now = foundation::Clock::current().monotonic();
    if (phase == PointerPhase::Down) {
        if (touches_.count(pointer)) sendPointer(PointerPhase::Cancel, p, pointer);
        Event probe(Event::Type::Touches, now);
        auto target = hitTest(p, &probe);
        // A tap outside the focused view ends its editing.
        if (auto focused = firstResponder(); focused && !(target && target->isDescendantOfView(focused.get())))
            focused->resignFirstResponder();
        if (!target) return;
        Tracked t;
        t.touch = std::make_shared<Touch>(target, this, p, now);
        t.start = p;
        auto scroller = enclosingScrollView(target);
        if (scroller && !inControl(target, scroller.get())) t.scroller = scroller;
        touches_[pointer] = t;
        deliver(target, TouchPhase::Began, t.touch);
        return;
    }
    auto it = touches_.find(pointer);
    if (it == touches_.end()) return;
    Tracked& t = it->second;
    Point last = t.touch->windowLocation();
    if (phase == PointerPhase::Move) {
        if (p == last) return;
        t.touch->update(TouchPhase::Moved, p, now);
        if (auto dragging = t.dragging.lock()) {
            dragging->dragBy(p.x - last.x, p.y - last.y);
            return;
        }
        if (auto s = t.scroller.lock(); s && s->isScrollEnabled()) {
            double dx = p.x - t.start.x, dy = p.y - t.start.y;
            bool wants = (s->canScrollVertically() && std::fabs(dy) > kDragThreshold) ||
                         (s->canScrollHorizontally() && std::fabs(dx) > kDragThreshold);
            if (wants) {
                // The scroll view takes the touch over from the view it began in.
                t.touch->update(TouchPhase::Cancelled, p, now);
                deliver(t.touch->view(), TouchPhase::Cancelled, t.touch);
                t.dragging = s;
                s->beginDragging();
                s->dragBy(p.x - last.x, p.y - last.y);
                return;
            }
        }
        deliver(t.touch->view(), TouchPhase::Moved, t.touch);
        return;
    }
    Tracked done = t;
    touches_.erase(it);
    if (auto dragging = done.dragging.lock()) {
        if (phase == PointerPhase::Up) dragging->dragBy(p.x - last.x, p.y - last.y);
        dragging->endDragging();
        return;
    }
    TouchPhase ph = phase == PointerPhase::Up ? TouchPhase::Ended : TouchPhase::Cancelled;
    done.touch->update(ph, p, now);
    deliver(done.touch->view(), ph, done.touch);
}

void Window::sendWheel(Point p, double dx, double dy) {
    Event probe(Event::Type::Wheel, foundation::Clock::current().monotonic());
    auto target = hitTest(p, &probe);
    for (auto s = enclosingScrollView(target); s; s = enclosingScrollView(s->superview())) {
        if (s->isScrollEnabled() &&
            ((dy != 0 && s->canScrollVertically()) || (dx != 0 && s->canScrollHorizontally()))) {
            s->scrollWheel(dx, dy);
            return;
        }
    }
}

void Window::sendText(const std::string& text) {
    if (auto focused = firstResponder(); focused && !text.empty()) focused->insertText(text);
}

void Window::sendKey(Key key) {
    if (auto focused = firstResponder()) focused->pressKey(key);
}

}  // namespace platform::ui
