#include "platform/ui/ScrollView.h"

#include <algorithm>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

ScrollView::ScrollView(const Rect& frame) : View(frame) { setClipsToBounds(true); }

const InterfaceProperties& ScrollView::interfaceProperties() const {
    static const InterfaceProperties table =
        InterfaceProperties::Of<ScrollView>(View::interfaceProperties())
            .add<Size>("contentSize", &ScrollView::setContentSize)
            .add<bool>("scrollEnabled", &ScrollView::setScrollEnabled)
            .add<bool>("showsVerticalScrollIndicator", &ScrollView::setShowsVerticalScrollIndicator)
            .add<bool>("showsHorizontalScrollIndicator", &ScrollView::setShowsHorizontalScrollIndicator);
    return table;
}

void ScrollView::setContentSize(Size s) {
    contentSize_ = s;
    setContentOffset(clampedOffset(contentOffset()));
}

void ScrollView::setContentInset(const graphics::EdgeInsets& e) {
    inset_ = e;
    setContentOffset(clampedOffset(contentOffset()));
}

Point ScrollView::clampedOffset(Point p) const {
    Size b = bounds().size;
    double minX = -inset_.left, minY = -inset_.top;
    double maxX = std::max(minX, contentSize_.width + inset_.right - b.width);
    double maxY = std::max(minY, contentSize_.height + inset_.bottom - b.height);
    return {std::clamp(p.x, minX, maxX), std::clamp(p.y, minY, maxY)};
}

bool ScrollView::canScrollHorizontally() const {
    return contentSize_.width + inset_.left + inset_.right > bounds().width() ||
           clampedOffset(contentOffset()).x != contentOffset().x;
}

bool ScrollView::canScrollVertically() const {
    return contentSize_.height + inset_.top + inset_.bottom > bounds().height() ||
           clampedOffset(contentOffset()).y != contentOffset().y;
}

Point ScrollView::reachableOffset(Point want) const {
    const Point o = contentOffset(), allowed = clampedOffset(want), lo = clampedOffset({-1e300, -1e300}),
                hi = clampedOffset({1e300, 1e300});
    auto axis = [](double from, double to, double wanted, double low, double high) {
        if (from >= low && from <= high) return to;
        return std::clamp(wanted, std::min(low, from), std::max(high, from));
    };
    return {axis(o.x, allowed.x, want.x, lo.x, hi.x), axis(o.y, allowed.y, want.y, lo.y, hi.y)};
}

void ScrollView::setBounds(const Rect& r) {
    Point old = contentOffset();
    View::setBounds(r);
    if (!(old == r.origin) && delegate_) delegate_->scrollViewDidScroll(*this);
}

void ScrollView::setContentOffset(Point p, bool animated) {
    Rect b = bounds();
    if (b.origin == p) return;
    if (!animated) {
        setBounds({p, b.size});
        return;
    }
    std::weak_ptr<View> weak = weak_from_this();
    View::animate(
        0.3, 0, kAnimationOptionCurveEaseInOut,
        [&] {
            setBounds({p, b.size});
        },
        [weak](bool) {
            auto self = std::static_pointer_cast<ScrollView>(weak.lock());
            if (self && self->delegate_) self->delegate_->scrollViewDidEndScrollingAnimation(*self);
        });
}

void ScrollView::beginDragging() {
    dragging_ = true;
    if (delegate_) delegate_->scrollViewWillBeginDragging(*this);
}

void ScrollView::dragBy(double dx, double dy) {
    Point o = contentOffset();
    Point want{canScrollHorizontally() ? o.x - dx : o.x, canScrollVertically() ? o.y - dy : o.y};
    setContentOffset(reachableOffset(want));
}

void ScrollView::endDragging() {
    dragging_ = false;
    if (delegate_) delegate_->scrollViewDidEndDragging(*this, false);
}

void ScrollView::scrollWheel(double dx, double dy) {
    Point o = contentOffset();
    setContentOffset(reachableOffset({o.x + dx, o.y + dy}));
}

}  // namespace platform::ui
