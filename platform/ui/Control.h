#pragma once
// A control: a view with states (enabled, highlighted, selected) that turns
// touches into control events and sends them to its targets' actions.
#include <functional>
#include <vector>

#include "platform/ui/View.h"

namespace platform::ui {

enum ControlState : unsigned {
    kControlStateNormal = 0,
    kControlStateHighlighted = 1 << 0,
    kControlStateDisabled = 1 << 1,
    kControlStateSelected = 1 << 2,
};

enum ControlEvents : unsigned {
    kControlEventTouchDown = 1 << 0,
    kControlEventTouchDownRepeat = 1 << 1,
    kControlEventTouchDragInside = 1 << 2,
    kControlEventTouchDragOutside = 1 << 3,
    kControlEventTouchDragEnter = 1 << 4,
    kControlEventTouchDragExit = 1 << 5,
    kControlEventTouchUpInside = 1 << 6,
    kControlEventTouchUpOutside = 1 << 7,
    kControlEventTouchCancel = 1 << 8,
    kControlEventValueChanged = 1 << 12,
    kControlEventEditingDidBegin = 1 << 16,
    kControlEventEditingChanged = 1 << 17,
    kControlEventEditingDidEnd = 1 << 18,
    kControlEventEditingDidEndOnExit = 1 << 19,
    kControlEventAllTouchEvents = 0x00000FFF,
    kControlEventAllEvents = 0xFFFFFFFF,
};

class Control : public View {
public:
    // An action gets the sender and the event that caused it (may be null).
    using Action = std::function<void(Control& sender, const Event* event)>;

    explicit Control(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    bool isEnabled() const { return enabled_; }
    virtual void setEnabled(bool e);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool h);
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool s);
    unsigned state() const;

    // `target` identifies the action for removeTarget (may be null).
    void addTarget(const void* target, Action action, unsigned events);
    void removeTarget(const void* target, unsigned events);  // null target: all
    bool hasActions(unsigned events) const;
    void sendActionsForControlEvents(unsigned events, const Event* event = nullptr);

    // Tracking hooks, in this view's space; continue/begin return whether to keep tracking.
    virtual bool beginTracking(const Touch& touch, const Event* event);
    virtual bool continueTracking(const Touch& touch, const Event* event);
    virtual void endTracking(const Touch* touch, const Event* event);
    virtual void cancelTracking(const Event* event);
    bool isTracking() const { return tracking_; }
    bool isTouchInside() const { return touchInside_; }

    void touchesBegan(const TouchSet& touches, const Event* event) override;
    void touchesMoved(const TouchSet& touches, const Event* event) override;
    void touchesEnded(const TouchSet& touches, const Event* event) override;
    void touchesCancelled(const TouchSet& touches, const Event* event) override;
    std::shared_ptr<View> hitTest(Point p, const Event* event) override;

protected:
    virtual void stateDidChange() { setNeedsDisplay(); }
    // How far outside the bounds a dragged touch still counts as inside.
    virtual double touchSlop() const { return 70; }

private:
    struct Target {
        const void* target;
        Action action;
        unsigned events;
    };
    std::vector<Target> targets_;
    bool enabled_ = true, highlighted_ = false, selected_ = false;
    bool tracking_ = false, touchInside_ = false;
};

}  // namespace platform::ui
