#include "framework/PickerAwareScrollView.h"

std::shared_ptr<platform::ui::View> PickerAwareScrollView::hitTest(platform::graphics::Point p,
                                                                   const platform::ui::Event* event) {
    bool overPickerMiddle = false;
    if (!subviews().empty()) {
        if (auto picker = subviews().front()->viewWithTag(kPickerTag)) {
            const platform::graphics::Point q = picker->convertPointFrom(p, this);
            const double w = picker->bounds().width();
            const float third = float(w / 3.0), twoThirds = float(w * 2.0 / 3.0);
            overPickerMiddle = picker->pointInside(q, event) && q.x >= third && q.x < twoThirds;
        }
    }
    setScrollEnabled(!overPickerMiddle);
    return ScrollView::hitTest(p, event);
}
