#include "platform/ui/Control.h"

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

Control::Control(const Rect& frame) : View(frame) { setOpaque(false); }

const InterfaceProperties& Control::interfaceProperties() const {
    static const InterfaceProperties table = InterfaceProperties::Of<Control>(View::interfaceProperties())
                                                 .add<bool>("enabled", &Control::setEnabled)
                                                 .add<bool>("selected", &Control::setSelected);
    return table;
}

void Control::setEnabled(bool e) {
    if (enabled_ == e) return;
    enabled_ = e;
    stateDidChange();
}

void Control::setHighlighted(bool h) {
    if (highlighted_ == h) return;
    highlighted_ = h;
    stateDidChange();
}

void Control::setSelected(bool s) {
    if (selected_ == s) return;
    selected_ = s;
    stateDidChange();
}

unsigned Control::state() const {
    unsigned s = kControlStateNormal;
    if (highlighted_) s |= kControlStateHighlighted;
    if (!enabled_) s |= kControlStateDisabled;
    if (selected_) s |= kControlStateSelected;
    return s;
}

void Control::addTarget(const void* target, Action action, unsigned events) {
    if (!action || events == 0) return;
    targets_.push_back({target, std::move(action), events});
}

void Control::removeTarget(const void* target, unsigned events) {
    for (auto it = targets_.begin(); it != targets_.end();) {
        if (target == nullptr || it->target == target) {
            it->events &= ~events;
            if (it->events == 0) {
                it = targets_.erase(it);
                continue;
            }
        }
        ++it;
    }
}

bool Control::hasActions(unsigned events) const {
    for (auto& t : targets_)
        if (t.events & events) return true;
    return false;
}

void Control::sendActionsForControlEvents(unsigned events, const Event* event) {
    // Actions may add or remove targets, or release this control.
    auto keep = shared_from_this();
    auto targets = targets_;
    for (auto& t : targets)
        if (t.events & events) t.action(*this, event);
}

bool Control::beginTracking(const Touch&, const Event*) { return true; }
bool Control::continueTracking(const Touch&, const Event*) { return true; }
void Control::endTracking(const Touch*, const Event*) {}
void Control::cancelTracking(const Event*) {}

std::shared_ptr<View> Control::hitTest(Point p, const Event* event) {
    if (!enabled_) return nullptr;
    return View::hitTest(p, event);
}

namespace {
bool near(const Rect& b, Point p, double slop) { return b.insetBy(-slop, -slop).contains(p); }
}  // namespace

void Control::touchesBegan(const TouchSet& touches, const Event* event) {
    if (touches.empty() || !enabled_) return;
    const Touch& t = *touches.front();
    touchInside_ = true;
    tracking_ = beginTracking(t, event);
    setHighlighted(true);
    sendActionsForControlEvents(kControlEventTouchDown, event);
}

void Control::touchesMoved(const TouchSet& touches, const Event* event) {
    if (touches.empty() || !enabled_) return;
    const Touch& t = *touches.front();
    bool inside = near(bounds(), t.locationInView(this), touchSlop());
    unsigned events = inside ? kControlEventTouchDragInside : kControlEventTouchDragOutside;
    if (inside != touchInside_) events |= inside ? kControlEventTouchDragEnter : kControlEventTouchDragExit;
    touchInside_ = inside;
    setHighlighted(inside);
    if (tracking_) tracking_ = continueTracking(t, event);
    sendActionsForControlEvents(events, event);
}

void Control::touchesEnded(const TouchSet& touches, const Event* event) {
    if (touches.empty()) return;
    const Touch& t = *touches.front();
    bool inside = near(bounds(), t.locationInView(this), touchSlop());
    touchInside_ = inside;
    tracking_ = false;
    setHighlighted(false);
    endTracking(&t, event);
    if (enabled_) sendActionsForControlEvents(inside ? kControlEventTouchUpInside : kControlEventTouchUpOutside, event);
}

void Control::touchesCancelled(const TouchSet&, const Event* event) {
    tracking_ = false;
    touchInside_ = false;
    setHighlighted(false);
    cancelTracking(event);
    sendActionsForControlEvents(kControlEventTouchCancel, event);
}

}  // namespace platform::ui
