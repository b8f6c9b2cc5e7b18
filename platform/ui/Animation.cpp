#include "platform/ui/Animation.h"

#include <cmath>

#include "platform/foundation/Clock.h"

namespace platform::ui {

namespace {
double mix(double a, double b, double t) { return a + (b - a) * t; }
}  // namespace

double currentMediaTime() { return foundation::Clock::current().monotonic(); }

PropertyValue interpolate(const PropertyValue& from, const PropertyValue& to, double t) {
    if (from.index() != to.index()) return t >= 1 ? to : from;
    if (auto* a = std::get_if<double>(&from)) return mix(*a, std::get<double>(to), t);
    if (auto* a = std::get_if<Point>(&from)) {
        auto& b = std::get<Point>(to);
        return Point{mix(a->x, b.x, t), mix(a->y, b.y, t)};
    }
    if (auto* a = std::get_if<Size>(&from)) {
        auto& b = std::get<Size>(to);
        return Size{mix(a->width, b.width, t), mix(a->height, b.height, t)};
    }
    if (auto* a = std::get_if<Rect>(&from)) {
        auto& b = std::get<Rect>(to);
        return Rect{mix(a->x(), b.x(), t), mix(a->y(), b.y(), t), mix(a->width(), b.width(), t),
                    mix(a->height(), b.height(), t)};
    }
    if (auto* a = std::get_if<Color>(&from)) return Color::interpolate(*a, std::get<Color>(to), t);
    if (auto* a = std::get_if<AffineTransform>(&from)) {
        auto& b = std::get<AffineTransform>(to);
        return AffineTransform{mix(a->a, b.a, t), mix(a->b, b.b, t),   mix(a->c, b.c, t),
                               mix(a->d, b.d, t), mix(a->tx, b.tx, t), mix(a->ty, b.ty, t)};
    }
    return t >= 1 ? to : from;
}

PropertyValue addValues(const PropertyValue& a, const PropertyValue& b) {
    if (a.index() != b.index()) return a;
    if (auto* x = std::get_if<double>(&a)) return *x + std::get<double>(b);
    if (auto* x = std::get_if<Point>(&a)) return *x + std::get<Point>(b);
    if (auto* x = std::get_if<Size>(&a)) {
        auto& y = std::get<Size>(b);
        return Size{x->width + y.width, x->height + y.height};
    }
    if (auto* x = std::get_if<Rect>(&a)) {
        auto& y = std::get<Rect>(b);
        return Rect{x->x() + y.x(), x->y() + y.y(), x->width() + y.width(), x->height() + y.height()};
    }
    if (auto* x = std::get_if<Color>(&a)) {
        auto& y = std::get<Color>(b);
        return Color::rgba(x->redValue() + y.redValue(), x->greenValue() + y.greenValue(),
                           x->blueValue() + y.blueValue(), x->alpha() + y.alpha());
    }
    if (auto* x = std::get_if<AffineTransform>(&a)) return x->concat(std::get<AffineTransform>(b));
    return a;
}

TimingFunction TimingFunction::named(Name name) {
    switch (name) {
    case Name::Linear: return {0, 0, 1, 1};
    case Name::EaseIn: return {0.42, 0, 1, 1};
    case Name::EaseOut: return {0, 0, 0.58, 1};
    case Name::EaseInEaseOut: return {0.42, 0, 0.58, 1};
    case Name::Default: return {0.25, 0.1, 0.25, 1};
    }
    return {};
}

TimingFunction::TimingFunction(double c1x, double c1y, double c2x, double c2y)
    : c1x_(c1x), c1y_(c1y), c2x_(c2x), c2y_(c2y) {}

double TimingFunction::evaluate(double x) const {
    if (x <= 0) return 0;
    if (x >= 1) return 1;
    if (c1x_ == c1y_ && c2x_ == c2y_) return x;  // a straight line
    auto bez = [](double p1, double p2, double s) {
        double u = 1 - s;
        return 3 * u * u * s * p1 + 3 * u * s * s * p2 + s * s * s;
    };
    // x(s) is monotonic for control x in [0, 1]: bisect for s, then read y(s).
    double lo = 0, hi = 1, s = x;
    for (int i = 0; i < 64; ++i) {
        s = (lo + hi) / 2;
        double v = bez(c1x_, c2x_, s);
        if (std::fabs(v - x) < 1e-12) break;
        if (v < x)
            lo = s;
        else
            hi = s;
    }
    return bez(c1y_, c2y_, s);
}

double Animation::activeDuration() const {
    double d = duration_ > 0 ? duration_ : 0.25;
    double repeats = repeatCount_ > 0 ? repeatCount_ : 1;
    if (std::isinf(repeats)) return INFINITY;
    return d * repeats * (autoreverses_ ? 2 : 1);
}

std::optional<double> Animation::progressAt(double time) const {
    double d = duration_ > 0 ? duration_ : 0.25;
    double active = activeDuration();
    if (time < beginTime_) {
        if (fillMode_ == FillMode::Backwards || fillMode_ == FillMode::Both) return timing_.evaluate(0);
        return std::nullopt;
    }
    double local = time - beginTime_;
    if (local >= active) {
        if (fillMode_ != FillMode::Forwards && fillMode_ != FillMode::Both) return std::nullopt;
        // The last iteration's end: back at the start when it autoreverses.
        return autoreverses_ ? timing_.evaluate(0) : timing_.evaluate(1);
    }
    double cycle = autoreverses_ ? 2 * d : d;
    double within = std::fmod(local, cycle);
    double x = within / d;
    if (x > 1) x = 2 - x;
    return timing_.evaluate(x);
}

PropertyValue BasicAnimation::valueAt(double t, const PropertyValue& model) const {
    bool hasFrom = !std::holds_alternative<std::monostate>(from_);
    bool hasTo = !std::holds_alternative<std::monostate>(to_);
    bool hasBy = !std::holds_alternative<std::monostate>(by_);
    if (hasFrom && hasTo) return interpolate(from_, to_, t);
    if (hasFrom && hasBy) return interpolate(from_, addValues(from_, by_), t);
    if (hasFrom) return interpolate(from_, model, t);
    if (hasTo) return interpolate(model, to_, t);
    if (hasBy) return interpolate(model, addValues(model, by_), t);
    return model;
}

}  // namespace platform::ui
