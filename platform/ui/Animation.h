#pragma once
// Layer animations: a basic animation interpolates one key path of a layer
// from a value to a value over a duration, on the process clock
// (foundation::Clock::current().monotonic()). While any animation runs, a
// frame timer on the main run loop delivers completions and redraws.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/graphics/AffineTransform.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Geometry.h"

namespace platform::ui {

using graphics::AffineTransform;
using graphics::Color;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

// A value of an animatable property (built-in or custom).
using PropertyValue = std::variant<std::monostate, double, Point, Size, Rect, Color, AffineTransform>;

// Blends two values of the same kind (t may leave 0..1 for overshooting
// curves); mismatched kinds give `to` when t >= 1, else `from`.
PropertyValue interpolate(const PropertyValue& from, const PropertyValue& to, double t);
// from + by, component-wise (the `by` form of an animation).
PropertyValue addValues(const PropertyValue& a, const PropertyValue& b);

// Current media time: seconds on the process clock's monotonic time base.
double currentMediaTime();

// A cubic timing curve from (0,0) to (1,1) with two control points.
class TimingFunction {
public:
    enum class Name { Linear, EaseIn, EaseOut, EaseInEaseOut, Default };
    static TimingFunction named(Name name);
    TimingFunction(double c1x, double c1y, double c2x, double c2y);
    TimingFunction() : TimingFunction(0, 0, 1, 1) {}
    // Eased progress for linear progress x in 0..1.
    double evaluate(double x) const;
    bool operator==(const TimingFunction&) const = default;

private:
    double c1x_, c1y_, c2x_, c2y_;
};

enum class FillMode { Removed, Forwards, Backwards, Both };

class Animation;

class AnimationDelegate {
public:
    virtual ~AnimationDelegate() = default;
    virtual void animationDidStart(Animation&) {}
    // `finished`: true when it ran to its end, false when it was removed or
    // replaced before. Told exactly once per added animation, on the main run loop.
    virtual void animationDidStop(Animation&, bool /*finished*/) {}
};

class Animation {
public:
    virtual ~Animation() = default;
    virtual std::shared_ptr<Animation> clone() const = 0;

    double duration() const { return duration_; }
    void setDuration(double d) { duration_ = d; }
    // Media time at which it starts; 0 means "when added to a layer".
    double beginTime() const { return beginTime_; }
    void setBeginTime(double t) { beginTime_ = t; }
    const TimingFunction& timingFunction() const { return timing_; }
    void setTimingFunction(const TimingFunction& f) { timing_ = f; }
    FillMode fillMode() const { return fillMode_; }
    void setFillMode(FillMode m) { fillMode_ = m; }
    bool isRemovedOnCompletion() const { return removedOnCompletion_; }
    void setRemovedOnCompletion(bool r) { removedOnCompletion_ = r; }
    double repeatCount() const { return repeatCount_; }
    void setRepeatCount(double n) { repeatCount_ = n; }
    bool autoreverses() const { return autoreverses_; }
    void setAutoreverses(bool a) { autoreverses_ = a; }

    // Not owned; must outlive the animation.
    AnimationDelegate* delegate() const { return delegate_; }
    void setDelegate(AnimationDelegate* d) { delegate_ = d; }
    // Also told when it stops (used by the view animation API).
    void setDidStop(std::function<void(Animation&, bool finished)> fn) { didStop_ = std::move(fn); }
    const std::function<void(Animation&, bool)>& didStop() const { return didStop_; }

    // Total active time (duration x repeats, doubled when autoreversing).
    double activeDuration() const;
    // Eased progress at `time` (media time), or nullopt when the animation does
    // not apply then (before its start without a backwards fill, after its end
    // without a forwards fill).
    std::optional<double> progressAt(double time) const;

protected:
    Animation() = default;
    Animation(const Animation&) = default;

private:
    double duration_ = 0.25;
    double beginTime_ = 0;
    TimingFunction timing_ = TimingFunction::named(TimingFunction::Name::Linear);
    FillMode fillMode_ = FillMode::Removed;
    bool removedOnCompletion_ = true;
    double repeatCount_ = 0;
    bool autoreverses_ = false;
    AnimationDelegate* delegate_ = nullptr;
    std::function<void(Animation&, bool)> didStop_;
};

// Animates `keyPath` ("opacity", "position", "bounds", "transform",
// "backgroundColor", "cornerRadius", "anchorPoint", or a layer's custom key).
// Without fromValue it starts at the layer's current model value; without
// toValue it runs to fromValue + byValue, or else to the layer's model value.
class BasicAnimation : public Animation {
public:
    explicit BasicAnimation(std::string keyPath = "") : keyPath_(std::move(keyPath)) {}
    static std::shared_ptr<BasicAnimation> withKeyPath(const std::string& keyPath) {
        return std::make_shared<BasicAnimation>(keyPath);
    }
    std::shared_ptr<Animation> clone() const override { return std::make_shared<BasicAnimation>(*this); }

    const std::string& keyPath() const { return keyPath_; }
    void setKeyPath(const std::string& k) { keyPath_ = k; }
    const PropertyValue& fromValue() const { return from_; }
    void setFromValue(PropertyValue v) { from_ = std::move(v); }
    const PropertyValue& toValue() const { return to_; }
    void setToValue(PropertyValue v) { to_ = std::move(v); }
    const PropertyValue& byValue() const { return by_; }
    void setByValue(PropertyValue v) { by_ = std::move(v); }

    // The value shown at eased progress `t` given the layer's model value.
    PropertyValue valueAt(double t, const PropertyValue& modelValue) const;

private:
    std::string keyPath_;
    PropertyValue from_, to_, by_;
};

}  // namespace platform::ui
