#pragma once
// A scroll view that holds still while a touch falls in the middle third of
// the colour picker inside it (the view tagged 999 in its content), so that
// dragging there picks colours instead of scrolling.
#include "platform/ui/ScrollView.h"

class PickerAwareScrollView : public platform::ui::ScrollView {
public:
    using ScrollView::ScrollView;
    static constexpr int64_t kPickerTag = 999;
    std::shared_ptr<platform::ui::View> hitTest(platform::graphics::Point p, const platform::ui::Event* event) override;
};
