#include "platform/ui/View.h"

#include <algorithm>

#include "platform/ui/AnimationClock.h"
#include "platform/ui/InterfaceProperties.h"
#include "platform/ui/Window.h"

namespace platform::ui {

namespace {

// Views created inside an animation block must not animate into place.
struct NoActions {
    bool saved;
    NoActions() : saved(AnimationClock::shared().animationsEnabled()) {
        AnimationClock::shared().setAnimationsEnabled(false);
    }
    ~NoActions() { AnimationClock::shared().setAnimationsEnabled(saved); }
};

const Color kDefaultTint = Color::rgba(0, 122 / 255.0, 1);

}  // namespace

View::View(const Rect& frame, std::shared_ptr<Layer> layer)
    : layer_(layer ? std::move(layer) : std::make_shared<Layer>()) {
    NoActions quiet;
    layer_->setDelegate(this);
    layer_->setContentsScale(Image::screenScale());
    layer_->setFrame(frame);
    layer_->setNeedsDisplay();
}

View::~View() {
    layer_->setDelegate(nullptr);
    for (auto& v : subviews_) v->superview_ = nullptr;
}

const InterfaceProperties& View::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<View>()
                                                 .add<Rect>("frame", &View::setFrame)
                                                 .add<AutoresizingMask>("autoresizing", &View::setAutoresizingMask)
                                                 .add<Color>("backgroundColor", &View::setBackgroundColor)
                                                 .add<Color>("tintColor", &View::setTintColor)
                                                 .add<double>("alpha", &View::setAlpha)
                                                 .add<bool>("hidden", &View::setHidden)
                                                 .add<bool>("opaque", &View::setOpaque)
                                                 .add<bool>("clipsToBounds", &View::setClipsToBounds)
                                                 .add<bool>("userInteractionEnabled", &View::setUserInteractionEnabled)
                                                 .add<bool>("multipleTouchEnabled", &View::setMultipleTouchEnabled)
                                                 .add<ContentMode>("contentMode", &View::setContentMode)
                                                 .add<int64_t>("tag", &View::setTag);
    return table;
}

std::shared_ptr<View> View::superview() const { return superview_ ? superview_->weak_from_this().lock() : nullptr; }

Rect View::frame() const { return layer_->frame(); }
void View::setFrame(const Rect& r) {
    Size old = bounds().size;
    layer_->setFrame(r);
    Size now = bounds().size;
    if (!(old == now)) {
        resizeSubviews(old);
        setNeedsLayout();
    }
}

Rect View::bounds() const { return layer_->bounds(); }
void View::setBounds(const Rect& r) {
    Size old = bounds().size;
    layer_->setBounds(r);
    if (!(old == r.size)) {
        resizeSubviews(old);
        setNeedsLayout();
    }
}

Point View::center() const { return layer_->position(); }
void View::setCenter(Point p) { layer_->setPosition(p); }
AffineTransform View::transform() const { return layer_->transform(); }
void View::setTransform(const AffineTransform& t) { layer_->setTransform(t); }

double View::alpha() const { return layer_->opacity(); }
void View::setAlpha(double a) { layer_->setOpacity(float(std::clamp(a, 0.0, 1.0))); }
bool View::isHidden() const { return layer_->isHidden(); }
void View::setHidden(bool h) { layer_->setHidden(h); }
std::optional<Color> View::backgroundColor() const { return layer_->backgroundColor(); }
void View::setBackgroundColor(std::optional<Color> c) { layer_->setBackgroundColor(c); }
void View::setOpaque(bool o) {
    opaque_ = o;
    layer_->setOpaque(o);
}
bool View::clipsToBounds() const { return layer_->masksToBounds(); }
void View::setClipsToBounds(bool c) { layer_->setMasksToBounds(c); }
void View::setContentMode(ContentMode m) {
    contentMode_ = m;
    setNeedsDisplay();
}

Color View::tintColor() const {
    for (const View* v = this; v; v = v->superview_)
        if (v->tint_) return *v->tint_;
    return kDefaultTint;
}

namespace {
void tintChanged(View& v) {
    v.tintColorDidChange();
    for (auto& s : v.subviews()) tintChanged(*s);
}
}  // namespace

void View::setTintColor(std::optional<Color> c) {
    tint_ = c;
    tintChanged(*this);
}

double View::contentScaleFactor() const { return layer_->contentsScale(); }

// Tree.

Window* View::window() const {
    const View* v = this;
    while (v->superview_) v = v->superview_;
    if (v == this) return nullptr;  // Window overrides this for itself
    return v->window();
}

void View::setWindowRecursive(Window* old, Window* now) {
    if (old == now) return;
    if (old && old->firstResponder_.lock().get() == this) {
        old->firstResponder_.reset();
        didResignFirstResponder();
    }
    willMoveToWindow(now);
    if (now) {
        NoActions quiet;
        layer_->setContentsScale(now->scale());
    }
    auto subs = subviews_;
    for (auto& s : subs) s->setWindowRecursive(old, now);
    didMoveToWindow();
}

bool View::becomeFirstResponder() {
    Window* w = window();
    if (!w || !canBecomeFirstResponder()) return false;
    if (isFirstResponder()) return true;
    if (auto current = w->firstResponder()) current->resignFirstResponder();
    if (!willBecomeFirstResponder()) return false;
    w->firstResponder_ = weak_from_this();
    didBecomeFirstResponder();
    return true;
}

void View::resignFirstResponder() {
    Window* w = window();
    if (!w || w->firstResponder_.lock().get() != this) return;
    w->firstResponder_.reset();
    didResignFirstResponder();
}

bool View::isFirstResponder() const {
    Window* w = window();
    return w && w->firstResponder_.lock().get() == this;
}

void View::insertInternal(std::shared_ptr<View> view, size_t index) {
    if (!view || view.get() == this) return;
    Window* oldWindow = view->window();
    View* oldSuper = view->superview_;
    if (oldSuper != this) view->willMoveToSuperview(this);
    if (oldSuper) {
        auto& v = oldSuper->subviews_;
        auto it = std::find(v.begin(), v.end(), view);
        if (it != v.end()) {
            if (oldSuper == this && size_t(it - v.begin()) < index && index > 0) --index;
            if (oldSuper != this) oldSuper->willRemoveSubview(view.get());
            v.erase(it);
        }
    }
    index = std::min(index, subviews_.size());
    // The layer goes just below the layer of the view now at `index`.
    if (index < subviews_.size())
        layer_->insertSublayerBelow(view->layer_, subviews_[index]->layer_.get());
    else
        layer_->addSublayer(view->layer_);
    subviews_.insert(subviews_.begin() + ptrdiff_t(index), view);
    bool moved = oldSuper != this;
    view->superview_ = this;
    view->setWindowRecursive(oldWindow, window());
    if (moved) {
        view->didMoveToSuperview();
        didAddSubview(view.get());
    }
    view->tintColorDidChange();
}

void View::addSubview(std::shared_ptr<View> view) { insertInternal(std::move(view), subviews_.size()); }
void View::insertSubview(std::shared_ptr<View> view, size_t index) { insertInternal(std::move(view), index); }

void View::insertSubviewBelow(std::shared_ptr<View> view, const View* sibling) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](auto& v) { return v.get() == sibling; });
    insertInternal(std::move(view), it == subviews_.end() ? subviews_.size() : size_t(it - subviews_.begin()));
}

void View::insertSubviewAbove(std::shared_ptr<View> view, const View* sibling) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(), [&](auto& v) { return v.get() == sibling; });
    insertInternal(std::move(view), it == subviews_.end() ? subviews_.size() : size_t(it - subviews_.begin()) + 1);
}

void View::removeFromSuperview() {
    View* parent = superview_;
    if (!parent) return;
    auto self = shared_from_this();
    Window* oldWindow = window();
    willMoveToSuperview(nullptr);
    parent->willRemoveSubview(this);
    auto& v = parent->subviews_;
    v.erase(std::remove(v.begin(), v.end(), self), v.end());
    layer_->removeFromSuperlayer();
    superview_ = nullptr;
    setWindowRecursive(oldWindow, nullptr);
    didMoveToSuperview();
}

void View::bringSubviewToFront(const View* view) {
    for (auto& s : subviews_)
        if (s.get() == view) return insertInternal(s, subviews_.size());
}

void View::sendSubviewToBack(const View* view) {
    for (auto& s : subviews_)
        if (s.get() == view) return insertInternal(s, 0);
}

bool View::isDescendantOfView(const View* view) const {
    for (const View* v = this; v; v = v->superview_)
        if (v == view) return true;
    return false;
}

std::shared_ptr<View> View::viewWithTag(int64_t tag) {
    if (tag_ == tag) return shared_from_this();
    for (auto& s : subviews_)
        if (auto found = s->viewWithTag(tag)) return found;
    return nullptr;
}

// Conversion.

Point View::convertPointTo(Point p, const View* view) const {
    return layer_->convertPointTo(p, view ? view->layer_.get() : nullptr);
}

Point View::convertPointFrom(Point p, const View* view) const {
    return layer_->convertPointFrom(p, view ? view->layer_.get() : nullptr);
}

namespace {
Rect boundingBox(Point a, Point b, Point c, Point d) {
    double x0 = std::min({a.x, b.x, c.x, d.x}), x1 = std::max({a.x, b.x, c.x, d.x});
    double y0 = std::min({a.y, b.y, c.y, d.y}), y1 = std::max({a.y, b.y, c.y, d.y});
    return {x0, y0, x1 - x0, y1 - y0};
}
}  // namespace

Rect View::convertRectTo(const Rect& r, const View* view) const {
    return boundingBox(convertPointTo({r.minX(), r.minY()}, view), convertPointTo({r.maxX(), r.minY()}, view),
                       convertPointTo({r.minX(), r.maxY()}, view), convertPointTo({r.maxX(), r.maxY()}, view));
}

Rect View::convertRectFrom(const Rect& r, const View* view) const {
    return boundingBox(convertPointFrom({r.minX(), r.minY()}, view), convertPointFrom({r.maxX(), r.minY()}, view),
                       convertPointFrom({r.minX(), r.maxY()}, view), convertPointFrom({r.maxX(), r.maxY()}, view));
}

// Hit testing.

std::shared_ptr<View> View::hitTest(Point p, const Event* event) {
    if (isHidden() || !userInteraction_ || alpha() < 0.01) return nullptr;
    if (!pointInside(p, event)) return nullptr;
    auto subs = subviews_;
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        Point q = (*it)->convertPointFrom(p, this);
        if (auto hit = (*it)->hitTest(q, event)) return hit;
    }
    return shared_from_this();
}

bool View::pointInside(Point p, const Event*) const { return bounds().contains(p); }

// Layout.

void View::setNeedsLayout() {
    needsLayout_ = true;
    layer_->markChanged();
}

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    auto subs = subviews_;
    for (auto& s : subs) s->layoutIfNeeded();
}

Size View::sizeThatFits(Size) const { return bounds().size; }

void View::sizeToFit() {
    Size s = sizeThatFits(bounds().size);
    Rect f = frame();
    setFrame({f.origin, s});
}

namespace {
// Shares `delta` among the flexible parts in proportion to their sizes
// (equally when they are all zero).
void distribute(double delta, bool flex[3], double part[3]) {
    double total = 0;
    int n = 0;
    for (int i = 0; i < 3; ++i)
        if (flex[i]) {
            total += part[i];
            ++n;
        }
    if (n == 0) return;
    for (int i = 0; i < 3; ++i) {
        if (!flex[i]) continue;
        part[i] += total > 0 ? delta * part[i] / total : delta / n;
    }
}
}  // namespace

void View::resizeSubviews(Size oldSize) {
    if (!autoresizesSubviews_) return;
    Size now = bounds().size;
    double dw = now.width - oldSize.width, dh = now.height - oldSize.height;
    if (dw == 0 && dh == 0) return;
    auto subs = subviews_;
    for (auto& s : subs) {
        unsigned m = s->autoresizing_;
        if (m == kAutoresizingNone) continue;
        Rect f = s->frame();
        bool fx[3] = {bool(m & kAutoresizingFlexibleLeftMargin), bool(m & kAutoresizingFlexibleWidth),
                      bool(m & kAutoresizingFlexibleRightMargin)};
        double px[3] = {f.x(), f.width(), oldSize.width - f.maxX()};
        distribute(dw, fx, px);
        bool fy[3] = {bool(m & kAutoresizingFlexibleTopMargin), bool(m & kAutoresizingFlexibleHeight),
                      bool(m & kAutoresizingFlexibleBottomMargin)};
        double py[3] = {f.y(), f.height(), oldSize.height - f.maxY()};
        distribute(dh, fy, py);
        s->setFrame({px[0], py[0], std::max(0.0, px[1]), std::max(0.0, py[1])});
    }
}

// Drawing.

void View::setNeedsDisplay() { layer_->setNeedsDisplay(); }
void View::setNeedsDisplayInRect(const Rect&) { layer_->setNeedsDisplay(); }

void View::drawRect(Context&, const Rect&) { drawRectOverridden_ = false; }

void View::drawLayer(Layer& layer, Context& ctx) {
    drawRectOverridden_ = true;
    drawRect(ctx, bounds());
    if (!drawRectOverridden_) layer.Layer::drawInContext(ctx);  // tells the layer nothing was drawn
}

std::shared_ptr<Animation> View::actionForLayer(Layer& layer, const std::string& key) {
    return AnimationClock::shared().blockAction(layer, key);
}

Responder* View::nextResponder() const {
    if (nextResponderOverride_) return nextResponderOverride_;
    return superview_;
}

// Animation blocks.

void View::beginAnimations(const std::string& id, void* context) { AnimationClock::shared().beginBlock(id, context); }
void View::commitAnimations() { AnimationClock::shared().commitBlock(); }
void View::setAnimationDuration(double s) {
    if (auto* b = AnimationClock::shared().currentBlock()) b->duration = s;
}
void View::setAnimationDelay(double s) {
    if (auto* b = AnimationClock::shared().currentBlock()) b->delay = s;
}
void View::setAnimationCurve(AnimationCurve c) {
    auto* b = AnimationClock::shared().currentBlock();
    if (!b) return;
    using N = TimingFunction::Name;
    b->timing = TimingFunction::named(c == AnimationCurve::EaseIn    ? N::EaseIn
                                      : c == AnimationCurve::EaseOut ? N::EaseOut
                                      : c == AnimationCurve::Linear  ? N::Linear
                                                                     : N::EaseInEaseOut);
}
void View::setAnimationBeginsFromCurrentState(bool f) {
    if (auto* b = AnimationClock::shared().currentBlock()) b->fromCurrentState = f;
}
void View::setAnimationDidStop(DidStopHandler handler) { AnimationClock::shared().setBlockDidStop(std::move(handler)); }
void View::setAnimationsEnabled(bool e) { AnimationClock::shared().setAnimationsEnabled(e); }
bool View::areAnimationsEnabled() { return AnimationClock::shared().animationsEnabled(); }

void View::animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
    auto& clock = AnimationClock::shared();
    clock.beginBlock("", nullptr);
    auto* b = clock.currentBlock();
    b->duration = duration;
    b->delay = delay;
    b->fromCurrentState = options & kAnimationOptionBeginFromCurrentState;
    using N = TimingFunction::Name;
    unsigned curve = options & (3u << 16);
    b->timing = TimingFunction::named(curve == kAnimationOptionCurveEaseIn    ? N::EaseIn
                                      : curve == kAnimationOptionCurveEaseOut ? N::EaseOut
                                      : curve == kAnimationOptionCurveLinear  ? N::Linear
                                                                              : N::EaseInEaseOut);
    clock.setBlockCompletion(std::move(completion));
    if (animations) animations();
    clock.commitBlock();
}

void View::animate(double duration, const std::function<void()>& animations, std::function<void(bool)> completion) {
    animate(duration, 0, kAnimationOptionNone, animations, std::move(completion));
}

void View::performWithoutAnimation(const std::function<void()>& changes) {
    NoActions quiet;
    if (changes) changes();
}

}  // namespace platform::ui
