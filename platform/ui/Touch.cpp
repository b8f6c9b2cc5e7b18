#include "platform/ui/Touch.h"

#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace platform::ui {

Touch::Touch(std::weak_ptr<View> view, Window* window, Point p, double timestamp)
    : view_(std::move(view)), window_(window), location_(p), previous_(p), timestamp_(timestamp) {}

void Touch::update(TouchPhase phase, Point p, double timestamp) {
    phase_ = phase;
    previous_ = location_;
    location_ = p;
    timestamp_ = timestamp;
}

Point Touch::locationInView(const View* view) const {
    if (!view || !window_) return location_;
    return view->convertPointFrom(location_, window_);
}

Point Touch::previousLocationInView(const View* view) const {
    if (!view || !window_) return previous_;
    return view->convertPointFrom(previous_, window_);
}

void Responder::touchesBegan(const TouchSet& t, const Event* e) {
    if (auto* n = nextResponder()) n->touchesBegan(t, e);
}
void Responder::touchesMoved(const TouchSet& t, const Event* e) {
    if (auto* n = nextResponder()) n->touchesMoved(t, e);
}
void Responder::touchesEnded(const TouchSet& t, const Event* e) {
    if (auto* n = nextResponder()) n->touchesEnded(t, e);
}
void Responder::touchesCancelled(const TouchSet& t, const Event* e) {
    if (auto* n = nextResponder()) n->touchesCancelled(t, e);
}

}  // namespace platform::ui
