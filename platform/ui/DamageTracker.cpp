#include "platform/ui/DamageTracker.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::ui {

namespace {
constexpr size_t kMaxRects = 12;
// Antialiased edges and filtered images reach into the pixel next to their box.
constexpr double kMargin = 1;

uint64_t mix(uint64_t h, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    h ^= bits + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdull;
}
}  // namespace

bool DamageTracker::Record::sameAs(const Record& o) const {
    const auto &a = look, &b = o.look;
    return area == o.area && device == o.device && clip == o.clip && masks == o.masks && borderWidth == o.borderWidth &&
           borderColor == o.borderColor && context == o.context && a.bounds == b.bounds && a.opacity == b.opacity &&
           a.background == b.background && a.cornerRadius == b.cornerRadius && a.content == b.content &&
           a.contentRect == b.contentRect && a.border == b.border && a.group == b.group;
}

const Compositor::Appearance* DamageTracker::Survey::find(const Layer& layer) const {
    auto it = tracker_.records_.find(&layer);
    if (it == tracker_.records_.end()) return nullptr;
    const Record& r = it->second;
    if (damage_ && std::none_of(damage_->begin(), damage_->end(), [&](const Rect& d) { return d.intersects(r.reach); }))
        return nullptr;
    return &r.look;
}

Rect DamageTracker::walk(const Layer& l, double time, const AffineTransform& parent, const Rect& clip) {
    auto it = records_.find(&l);
    const bool known = it != records_.end() && it->second.layer.lock().get() == &l;
    Record r;
    r.generation = l.generation();
    // A layer that neither changed nor animates looks as it did.
    if (known && it->second.generation == r.generation && !l.hasAnimations()) {
        r.look = it->second.look;
        r.look.group = Compositor::paintsAsGroup(l, r.look);
    } else {
        r.look = Compositor::appearance(l, time);
    }
    if (!r.look.visible) return {};  // nor does anything under it paint
    r.device = r.look.toSuper.concat(parent);
    r.masks = l.masksToBounds();
    r.borderWidth = l.borderWidth();
    r.borderColor = l.borderColor();
    r.clip = clip;
    r.context = context_;
    Rect own;
    if ((r.look.background && !r.look.background->isClear()) || r.look.border) own = r.look.bounds;
    if (r.look.content) own = own.unionWith(r.look.contentRect);
    // Turned images are resampled along rows from where a redraw starts: their
    // rounding depends on that start, so they are redrawn whole or not at all.
    // (Scaled ones sample each pixel from its own place.)
    r.resampled = r.look.content && (r.device.b != 0 || r.device.c != 0);
    if (!own.isEmpty()) r.area = r.device.apply(own).insetBy(-kMargin, -kMargin).integral().intersection(clip);

    Rect inner = clip;
    if (r.masks) inner = clip.intersection(r.device.apply(r.look.bounds).insetBy(-kMargin, -kMargin).integral());
    const uint64_t saved = context_;
    uint64_t above = saved;
    for (double v : {r.look.opacity, double(r.look.group), double(r.masks), r.look.cornerRadius}) above = mix(above, v);
    r.reach = r.area;
    const auto& subs = l.sublayers();
    for (size_t i = 0; i < subs.size(); ++i) {
        context_ = mix(above, double(i));
        r.reach = r.reach.unionWith(walk(*subs[i], time, r.device, inner));
    }
    context_ = saved;

    // The sublayers' walk may have added records: look again.
    auto [slot, added] = records_.try_emplace(&l);
    Record& rec = slot->second;
    if (added || !known) {
        if (!added) addRect(damage_, rec.area);  // another layer at the same address before
        addRect(damage_, r.area);
        rec = std::move(r);
        rec.layer = l.weak_from_this();
    } else {
        if (!rec.sameAs(r)) {
            addRect(damage_, rec.area);
            addRect(damage_, r.area);
        }
        auto weak = std::move(rec.layer);
        rec = std::move(r);
        rec.layer = std::move(weak);
    }
    rec.epoch = epoch_;
    return rec.reach;
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
    ++epoch_;
    context_ = 0;
    damage_.clear();
    walk(root, time, base, canvas);
    for (auto it = records_.begin(); it != records_.end();) {
        if (it->second.epoch == epoch_) {
            ++it;
        } else {
            addRect(damage_, it->second.area);  // no longer painted
            it = records_.erase(it);
        }
    }
    for (bool grown = !damage_.empty(); grown;) {
        grown = false;
        for (auto& [key, rec] : records_) {
            if (!rec.resampled || rec.area.isEmpty()) continue;
            for (auto& d : damage_) {
                if (d.intersects(rec.area) && !(d.intersection(rec.area) == rec.area)) {
                    addRect(damage_, rec.area);
                    grown = true;
                    break;
                }
            }
        }
    }
    std::vector<Rect> damage;
    damage.swap(damage_);
    return damage;
}

}  // namespace platform::ui
