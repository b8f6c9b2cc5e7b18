#pragma once
// Touches and the events that carry them. A touch keeps its view (the one hit
// when it began) for its whole life; locations are kept in window points.
#include <memory>
#include <vector>

#include "platform/graphics/Geometry.h"

namespace platform::ui {

using graphics::Point;

class View;
class Window;

enum class TouchPhase { Began, Moved, Stationary, Ended, Cancelled };

class Touch {
public:
    Touch(std::weak_ptr<View> view, Window* window, Point windowLocation, double timestamp);

    TouchPhase phase() const { return phase_; }
    double timestamp() const { return timestamp_; }
    int tapCount() const { return tapCount_; }
    std::shared_ptr<View> view() const { return view_.lock(); }
    Window* window() const { return window_; }
    // Location in `view`'s space (null: the window's).
    Point locationInView(const View* view) const;
    Point previousLocationInView(const View* view) const;

    // Updated by the window as the pointer moves.
    void update(TouchPhase phase, Point windowLocation, double timestamp);
    void setView(std::weak_ptr<View> view) { view_ = std::move(view); }
    void setTapCount(int n) { tapCount_ = n; }
    Point windowLocation() const { return location_; }

private:
    std::weak_ptr<View> view_;
    Window* window_;
    Point location_, previous_;
    double timestamp_;
    TouchPhase phase_ = TouchPhase::Began;
    int tapCount_ = 1;
};

using TouchSet = std::vector<std::shared_ptr<Touch>>;

class Event {
public:
    enum class Type { Touches, Wheel };
    Event(Type type, double timestamp, TouchSet touches = {})
        : type_(type), timestamp_(timestamp), touches_(std::move(touches)) {}
    Type type() const { return type_; }
    double timestamp() const { return timestamp_; }
    const TouchSet& allTouches() const { return touches_; }

private:
    Type type_;
    double timestamp_;
    TouchSet touches_;
};

// Receives touches; what it does not handle goes to its next responder (a
// view's superview, or the controller that owns the view).
class Responder {
public:
    virtual ~Responder() = default;
    virtual Responder* nextResponder() const { return nullptr; }
    virtual void touchesBegan(const TouchSet& touches, const Event* event);
    virtual void touchesMoved(const TouchSet& touches, const Event* event);
    virtual void touchesEnded(const TouchSet& touches, const Event* event);
    virtual void touchesCancelled(const TouchSet& touches, const Event* event);
};

}  // namespace platform::ui
