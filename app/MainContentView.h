#pragma once
// The scrolling content of the phone's main screen: while a finger rests on
// it, a hint box says that more figures lie below, and it fades away after
// the finger lifts. A touch the scroll view takes over for a drag never
// lifts here: the hint stays until the next touch hides it.
#include <memory>

#include "platform/ui/NibObject.h"
#include "platform/ui/View.h"

class MainContentView : public platform::ui::View, public platform::ui::NibObject {
public:
    static constexpr double kHintCenterY = 350.0;
    static constexpr double kFadeDuration = 0.5;
    static constexpr double kFadeOutDelay = 1.0;

    using View::View;

    void touchesBegan(const platform::ui::TouchSet& touches, const platform::ui::Event* event) override;
    void touchesEnded(const platform::ui::TouchSet& touches, const platform::ui::Event* event) override;
    void awakeFromNib() override {}
    void declareConnections(platform::ui::ConnectionTable& table) override;

    std::shared_ptr<platform::ui::View> viewScrollDownInfo() const { return viewScrollDownInfo_; }
    void setViewScrollDownInfo(std::shared_ptr<platform::ui::View> v) { viewScrollDownInfo_ = std::move(v); }

    // Whether the hint was showing when the current touch began.
    bool hintWasVisible() const { return hintWasVisible_; }

private:
    std::shared_ptr<platform::ui::View> viewScrollDownInfo_;
    bool hintWasVisible_ = false;
};
