#include "platform/ui/Layer.h"

#include <algorithm>
#include <limits>

#include "platform/foundation/RunLoop.h"
#include "platform/ui/AnimationClock.h"

namespace platform::ui {

namespace {

const PropertyValue& builtinDefault(const std::string& key) {
    static const PropertyValue none;
    static const PropertyValue zeroPoint = Point{};
    static const PropertyValue zeroRect = Rect{};
    static const PropertyValue half = Point{0.5, 0.5};
    static const PropertyValue one = 1.0;
    static const PropertyValue zero = 0.0;
    static const PropertyValue identity = AffineTransform{};
    if (key == "position") return zeroPoint;
    if (key == "bounds") return zeroRect;
    if (key == "anchorPoint") return half;
    if (key == "opacity") return one;
    if (key == "transform") return identity;
    if (key == "cornerRadius") return zero;
    return none;
}

template <class T>
T as(const PropertyValue& v, T fallback = T{}) {
    if (auto* p = std::get_if<T>(&v)) return *p;
    return fallback;
}

}  // namespace

Layer::Layer() = default;

Layer::~Layer() {
    AnimationClock::shared().layerGone(this);
    for (auto& a : animations_) reportStop(a, false);
    for (auto& l : sublayers_) l->superlayer_.reset();
}

PropertyValue Layer::modelValue(const std::string& key) const {
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    return builtinDefault(key);
}

PropertyValue Layer::valueForKey(const std::string& key) const {
    if (presenting_) return presentationValue(key, currentMediaTime());
    return modelValue(key);
}

double Layer::doubleForKey(const std::string& key) const { return as<double>(valueForKey(key)); }

void Layer::setValue(const std::string& key, PropertyValue value) {
    std::shared_ptr<Animation> action = actionForKey(key);
    values_[key] = std::move(value);
    if (action) addAnimation(action, key);
    if (needsDisplayForKey(key)) setNeedsDisplay();
    markChanged();
}

bool Layer::needsDisplayForKey(const std::string&) const { return false; }

std::shared_ptr<Animation> Layer::actionForKey(const std::string& key) {
    if (delegate_) return delegate_->actionForLayer(*this, key);
    return AnimationClock::shared().blockAction(*this, key);
}

Point Layer::position() const { return as<Point>(valueForKey("position")); }
void Layer::setPosition(Point p) { setValue("position", p); }
Rect Layer::bounds() const { return as<Rect>(valueForKey("bounds")); }
void Layer::setBounds(const Rect& r) {
    Size old = bounds().size;
    setValue("bounds", r);
    if (!(old == r.size) && drawsContent_) setNeedsDisplay();
}
Point Layer::anchorPoint() const { return as<Point>(valueForKey("anchorPoint"), Point{0.5, 0.5}); }
void Layer::setAnchorPoint(Point p) { setValue("anchorPoint", p); }
AffineTransform Layer::transform() const { return as<AffineTransform>(valueForKey("transform")); }
void Layer::setTransform(const AffineTransform& t) { setValue("transform", t); }

AffineTransform Layer::transformToSuperlayer() const {
    Rect b = bounds();
    Point a = anchorPoint(), p = position();
    return AffineTransform::translation(-b.x() - a.x * b.width(), -b.y() - a.y * b.height())
        .concat(transform())
        .concat(AffineTransform::translation(p.x, p.y));
}

Rect Layer::frame() const {
    Rect b = bounds();
    return transformToSuperlayer().apply(b);
}

void Layer::setFrame(const Rect& r) {
    Rect f = r.standardized();
    Rect b = bounds();
    Point a = anchorPoint();
    setPosition({f.x() + a.x * f.width(), f.y() + a.y * f.height()});
    if (!(b.size == f.size)) setBounds({b.origin, f.size});
}

float Layer::opacity() const { return float(as<double>(valueForKey("opacity"), 1.0)); }
void Layer::setOpacity(float o) { setValue("opacity", double(o)); }

void Layer::setHidden(bool h) {
    if (hidden_ == h) return;
    hidden_ = h;
    markChanged();
}

std::optional<Color> Layer::backgroundColor() const {
    PropertyValue v = valueForKey("backgroundColor");
    if (auto* c = std::get_if<Color>(&v)) return *c;
    return std::nullopt;
}
void Layer::setBackgroundColor(std::optional<Color> c) {
    if (c)
        setValue("backgroundColor", *c);
    else
        setValue("backgroundColor", std::monostate{});
}

double Layer::cornerRadius() const { return as<double>(valueForKey("cornerRadius")); }
void Layer::setCornerRadius(double r) { setValue("cornerRadius", r); }
void Layer::setBorderWidth(double w) {
    borderWidth_ = w;
    markChanged();
}
void Layer::setBorderColor(const Color& c) {
    borderColor_ = c;
    markChanged();
}
void Layer::setMasksToBounds(bool m) {
    masksToBounds_ = m;
    markChanged();
}

void Layer::setContents(std::shared_ptr<Image> image) {
    if (contents_ == image) return;
    contents_ = std::move(image);
    markChanged();
}
void Layer::setContentsScale(double s) {
    if (s <= 0 || s == contentsScale_) return;
    contentsScale_ = s;
    if (drawsContent_) setNeedsDisplay();
    markChanged();
}
void Layer::setContentsGravity(ContentsGravity g) {
    gravity_ = g;
    markChanged();
}

// Tree.

void Layer::attachTo(Layer* parent) { superlayer_ = parent ? parent->weak_from_this() : std::weak_ptr<Layer>{}; }

void Layer::addSublayer(std::shared_ptr<Layer> layer) { insertSublayer(std::move(layer), sublayers_.size()); }

void Layer::insertSublayer(std::shared_ptr<Layer> layer, size_t index) {
    if (!layer || layer.get() == this) return;
    if (auto old = layer->superlayer()) {
        auto& v = old->sublayers_;
        auto it = std::find(v.begin(), v.end(), layer);
        if (it != v.end()) {
            if (old.get() == this && size_t(it - v.begin()) < index && index > 0) --index;
            v.erase(it);
            old->markChanged();
        }
    }
    index = std::min(index, sublayers_.size());
    sublayers_.insert(sublayers_.begin() + ptrdiff_t(index), layer);
    layer->attachTo(this);
    markChanged();
}

void Layer::insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling) {
    auto it = std::find_if(sublayers_.begin(), sublayers_.end(), [&](auto& l) { return l.get() == sibling; });
    insertSublayer(std::move(layer), it == sublayers_.end() ? 0 : size_t(it - sublayers_.begin()));
}

void Layer::insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling) {
    auto it = std::find_if(sublayers_.begin(), sublayers_.end(), [&](auto& l) { return l.get() == sibling; });
    insertSublayer(std::move(layer), it == sublayers_.end() ? sublayers_.size() : size_t(it - sublayers_.begin()) + 1);
}

void Layer::removeFromSuperlayer() {
    auto parent = superlayer();
    if (!parent) return;
    auto self = shared_from_this();  // keep alive while detaching
    auto& v = parent->sublayers_;
    v.erase(std::remove(v.begin(), v.end(), self), v.end());
    superlayer_.reset();
    parent->markChanged();
}

LayerHost* Layer::host() const {
    const Layer* l = this;
    while (true) {
        if (l->host_) return l->host_;
        auto up = l->superlayer_.lock();
        if (!up) return nullptr;
        l = up.get();
    }
}

void Layer::markChanged() {
    ++generation_;
    if (auto* h = host()) h->layerTreeChanged();
}

// Drawing.

void Layer::setNeedsDisplay() {
    needsDisplay_ = true;
    drawsContent_ = true;
    markChanged();
}

void Layer::displayIfNeeded() {
    if (needsDisplay_) display();
}

void Layer::drawInContext(Context&) { baseDrawCalled_ = true; }

bool Layer::animatedDrawingChanged(double time) const {
    for (auto& a : animations_) {
        auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get());
        if (!basic || !needsDisplayForKey(basic->keyPath())) continue;
        auto it = drawnValues_.find(basic->keyPath());
        if (it == drawnValues_.end() || !(it->second == presentationValue(basic->keyPath(), time))) return true;
    }
    return false;
}

void Layer::display() {
    needsDisplay_ = false;
    ++generation_;
    drawnValues_.clear();
    double now = currentMediaTime();
    for (auto& a : animations_)
        if (auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get()); basic && needsDisplayForKey(basic->keyPath()))
            drawnValues_[basic->keyPath()] = presentationValue(basic->keyPath(), now);
    Rect b = bounds();
    Size size = b.standardized().size;
    if (size.width <= 0 || size.height <= 0) {
        backing_.reset();
        return;
    }
    auto ctx = Context::beginImageContext(size, false, contentsScale_);
    ctx->translate(-b.x(), -b.y());
    baseDrawCalled_ = false;
    presenting_ = true;
    if (delegate_)
        delegate_->drawLayer(*this, *ctx);
    else
        drawInContext(*ctx);
    presenting_ = false;
    if (baseDrawCalled_) {
        // Nothing of its own to draw: no backing store until marked again.
        drawsContent_ = false;
        backing_.reset();
    } else {
        backing_ = ctx->takeImage();
    }
}

// Animations.

void Layer::addAnimation(const std::shared_ptr<Animation>& anim, const std::string& key) {
    if (!anim) return;
    auto copy = anim->clone();
    std::string k = key;
    if (k.empty())
        if (auto* basic = dynamic_cast<BasicAnimation*>(copy.get())) k = basic->keyPath();
    if (copy->beginTime() == 0) copy->setBeginTime(currentMediaTime());
    if (!k.empty()) {
        auto it = std::find_if(animations_.begin(), animations_.end(), [&](auto& a) { return a.key == k; });
        if (it != animations_.end()) {
            Animated old = *it;
            animations_.erase(it);
            reportStop(old, false);
        }
    }
    animations_.push_back({k, copy, false});
    if (copy->delegate()) {
        auto* d = copy->delegate();
        foundation::RunLoop::current().perform([d, copy] { d->animationDidStart(*copy); });
    }
    if (auto* basic = dynamic_cast<BasicAnimation*>(copy.get()); basic && needsDisplayForKey(basic->keyPath()))
        setNeedsDisplay();
    AnimationClock::shared().layerStartedAnimating(this);
    markChanged();
}

void Layer::reportStop(Animated& a, bool finished) {
    if (a.finishedReported) return;
    a.finishedReported = true;
    auto anim = a.anim;
    if (!anim->delegate() && !anim->didStop()) return;
    foundation::RunLoop::current().perform([anim, finished] {
        if (auto* d = anim->delegate()) d->animationDidStop(*anim, finished);
        if (auto& fn = anim->didStop()) fn(*anim, finished);
    });
}

void Layer::removeAnimation(const std::string& key) {
    auto it = std::find_if(animations_.begin(), animations_.end(), [&](auto& a) { return a.key == key; });
    if (it == animations_.end()) return;
    Animated a = *it;
    animations_.erase(it);
    reportStop(a, false);
    if (auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get()); basic && needsDisplayForKey(basic->keyPath()))
        setNeedsDisplay();
    markChanged();
}

void Layer::removeAllAnimations() {
    auto all = std::move(animations_);
    animations_.clear();
    bool redraw = false;
    for (auto& a : all) {
        reportStop(a, false);
        if (auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get()); basic && needsDisplayForKey(basic->keyPath()))
            redraw = true;
    }
    if (redraw) setNeedsDisplay();
    if (!all.empty()) markChanged();
}

std::shared_ptr<Animation> Layer::animationForKey(const std::string& key) const {
    for (auto& a : animations_)
        if (a.key == key) return a.anim;
    return nullptr;
}

std::vector<std::string> Layer::animationKeys() const {
    std::vector<std::string> keys;
    for (auto& a : animations_)
        if (!a.key.empty()) keys.push_back(a.key);
    return keys;
}

bool Layer::advanceAnimations(double time) {
    bool running = false, changed = false, redraw = false;
    for (size_t i = 0; i < animations_.size();) {
        Animated& a = animations_[i];
        auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get());
        bool display = basic && needsDisplayForKey(basic->keyPath());
        double end = a.anim->beginTime() + a.anim->activeDuration();
        if (!a.finishedReported && time >= end) {
            reportStop(a, true);
            changed = true;
            redraw = redraw || display;
            if (a.anim->isRemovedOnCompletion()) {
                animations_.erase(animations_.begin() + ptrdiff_t(i));
                continue;
            }
        }
        if (!a.finishedReported) {
            // The composition redraws for the values in flight when they differ
            // from the last drawing's.
            running = true;
            changed = true;
        }
        ++i;
    }
    if (redraw)
        setNeedsDisplay();
    else if (changed)
        markChanged();
    return running;
}

double Layer::nextAnimationEnd() const {
    double end = std::numeric_limits<double>::infinity();
    for (auto& a : animations_)
        if (!a.finishedReported) end = std::min(end, a.anim->beginTime() + a.anim->activeDuration());
    return end;
}

PropertyValue Layer::presentationValue(const std::string& key, double time) const {
    PropertyValue model = modelValue(key);
    PropertyValue shown = model;
    for (auto& a : animations_) {
        auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get());
        if (!basic || basic->keyPath() != key) continue;
        if (auto t = basic->progressAt(time)) shown = basic->valueAt(*t, model);
    }
    return shown;
}

std::shared_ptr<Layer> Layer::makeEmptyCopy() const { return std::make_shared<Layer>(); }

void Layer::copyPropertiesFrom(const Layer& o) {
    values_ = o.values_;
    hidden_ = o.hidden_;
    borderWidth_ = o.borderWidth_;
    borderColor_ = o.borderColor_;
    masksToBounds_ = o.masksToBounds_;
    opaque_ = o.opaque_;
    contents_ = o.contents_;
    contentsScale_ = o.contentsScale_;
    gravity_ = o.gravity_;
}

std::shared_ptr<Layer> Layer::presentationLayer() const {
    auto copy = makeEmptyCopy();
    copy->copyPropertiesFrom(*this);
    double now = currentMediaTime();
    for (auto& a : animations_)
        if (auto* basic = dynamic_cast<BasicAnimation*>(a.anim.get()))
            copy->values_[basic->keyPath()] = presentationValue(basic->keyPath(), now);
    return copy;
}

// Conversion.

namespace {
AffineTransform toRoot(const Layer* l) {
    AffineTransform t;
    while (l) {
        t = t.concat(l->transformToSuperlayer());
        auto up = l->superlayer();
        l = up.get();
    }
    return t;
}
}  // namespace

Point Layer::convertPointTo(Point p, const Layer* other) const {
    Point inRoot = toRoot(this).apply(p);
    if (!other) return inRoot;
    return toRoot(other).inverted().apply(inRoot);
}

Point Layer::convertPointFrom(Point p, const Layer* other) const {
    Point inRoot = other ? toRoot(other).apply(p) : p;
    return toRoot(this).inverted().apply(inRoot);
}

}  // namespace platform::ui
