#include "platform/ui/DamageTracker.h"

#include <algorithm>
#include <cmath>

namespace platform::ui {

namespace {
constexpr size_t kMaxRects = 12;
// Antialiased edges and filtered images reach into the pixel next to their box.
constexpr double kMargin = 1;
}  // namespace

bool DamageTracker::Record::sameAs(const Record& o) const {
    const auto &a = look, &b = o.look;
    return area == o.area && device == o.device && clip == o.clip && masks == o.masks &&
           borderWidth == o.borderWidth && borderColor == o.borderColor && context == o.context &&
           a.bounds == b.bounds && a.opacity == b.opacity && a.background == b.background &&
           a.cornerRadius == b.cornerRadius && a.content == b.content && a.contentRect == b.contentRect &&
           a.border == b.border && a.group == b.group;
}

void DamageTracker::walk(const Layer& l, double time, const AffineTransform& parent, const Rect& clip) {
    Record r;
    r.look = Compositor::appearance(l, time);
    if (!r.look.visible) return;  // nor does anything under it paint
    r.layer = l.weak_from_this();
    r.device = r.look.toSuper.concat(parent);
    r.masks = l.masksToBounds();
    r.borderWidth = l.borderWidth();
    r.borderColor = l.borderColor();
    r.clip = clip;
    r.context = context_;
    Rect own;
    if ((r.look.background && !r.look.background->isClear()) || r.look.border) own = r.look.bounds;
    if (r.look.content) own = own.unionWith(r.look.contentRect);
    if (r.look.content) {
        const auto& d = r.device;
        const Rect& c = r.look.contentRect;
        double sx = d.a * c.width() / r.look.content->pixelWidth(), sy = d.d * c.height() / r.look.content->pixelHeight();
        Point o = d.apply(c.origin);
        r.resampled = d.b != 0 || d.c != 0 || std::fabs(sx - 1) > 1e-9 || std::fabs(sy - 1) > 1e-9 ||
                      std::fabs(o.x - std::round(o.x)) > 1e-9 || std::fabs(o.y - std::round(o.y)) > 1e-9;
    }
    if (!own.isEmpty()) r.area = r.device.apply(own).insetBy(-kMargin, -kMargin).integral().intersection(clip);

    Rect inner = clip;
    if (r.masks) inner = clip.intersection(r.device.apply(r.look.bounds).insetBy(-kMargin, -kMargin).integral());
    context_.insert(context_.end(), {r.look.opacity, double(r.look.group), double(r.masks), r.look.cornerRadius});
    const auto& subs = l.sublayers();
    for (size_t i = 0; i < subs.size(); ++i) {
        context_.push_back(double(i));
        walk(*subs[i], time, r.device, inner);
        context_.pop_back();
    }
    context_.resize(context_.size() - 4);
    next_.emplace(&l, std::move(r));
}

void DamageTracker::addRect(std::vector<Rect>& rects, const Rect& r) {
    if (r.isEmpty()) return;
    Rect add = r;
    // Absorb every rectangle this one overlaps or touches, again with the grown one.
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < rects.size(); ++i) {
            const Rect& o = rects[i];
            if (add.minX() <= o.maxX() && o.minX() <= add.maxX() && add.minY() <= o.maxY() && o.minY() <= add.maxY()) {
                add = add.unionWith(o);
                rects.erase(rects.begin() + ptrdiff_t(i));
                merged = true;
                break;
            }
        }
    }
    rects.push_back(add);
    if (rects.size() > kMaxRects) {
        Rect all;
        for (auto& o : rects) all = all.unionWith(o);
        rects.assign(1, all);
    }
}

std::vector<Rect> DamageTracker::update(const Layer& root, double time, const AffineTransform& base,
                                        const Rect& canvas) {
    next_.clear();
    context_.clear();
    walk(root, time, base, canvas);
    std::vector<Rect> damage;
    for (auto& [key, rec] : next_) {
        auto old = records_.find(key);
        if (old != records_.end()) {
            bool same = old->second.layer.lock().get() == key && old->second.sameAs(rec);
            if (!same) {
                addRect(damage, old->second.area);
                addRect(damage, rec.area);
            }
            records_.erase(old);
        } else {
            addRect(damage, rec.area);
        }
    }
    for (auto& [key, rec] : records_) addRect(damage, rec.area);  // no longer painted
    for (bool grown = !damage.empty(); grown;) {
        grown = false;
        for (auto& [key, rec] : next_) {
            if (!rec.resampled || rec.area.isEmpty()) continue;
            for (auto& d : damage) {
                if (d.intersects(rec.area) && !(d.intersection(rec.area) == rec.area)) {
                    addRect(damage, rec.area);
                    grown = true;
                    break;
                }
            }
        }
    }
    records_.swap(next_);
    next_.clear();
    return damage;
}

}  // namespace platform::ui
