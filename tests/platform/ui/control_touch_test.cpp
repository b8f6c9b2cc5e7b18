// Touches through the window: hit testing, the responder chain, controls'
// events, sliders (also turned upright), switches and scroll views.
#include <cmath>

#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/Slider.h"
#include "platform/ui/Switch.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;

namespace {

class Touches : public OnManualClock {};

struct Recording : View {
    using View::View;
    std::vector<std::string> seen;
    Point lastLocation;
    void touchesBegan(const TouchSet& t, const Event*) override {
        seen.push_back("began");
        lastLocation = t.front()->locationInView(this);
    }
    void touchesMoved(const TouchSet&, const Event*) override { seen.push_back("moved"); }
    void touchesEnded(const TouchSet&, const Event*) override { seen.push_back("ended"); }
    void touchesCancelled(const TouchSet&, const Event*) override { seen.push_back("cancelled"); }
};

struct Scrolled : ScrollViewDelegate {
    int scrolls = 0, begins = 0, ends = 0;
    void scrollViewDidScroll(ScrollView&) override { ++scrolls; }
    void scrollViewWillBeginDragging(ScrollView&) override { ++begins; }
    void scrollViewDidEndDragging(ScrollView&, bool) override { ++ends; }
};

void tap(Window& w, Point p) {
    w.sendPointer(PointerPhase::Down, p);
    w.sendPointer(PointerPhase::Up, p);
}

}  // namespace

TEST_F(Touches, UnhandledTouchesGoUpTheResponderChain) {
    auto win = makeWindow(100, 100);
    auto parent = std::make_shared<Recording>(Rect{10, 10, 80, 80});
    auto child = std::make_shared<View>(Rect{10, 10, 20, 20});
    parent->addSubview(child);
    win->addSubview(parent);
    tap(*win, {25, 25});
    EXPECT_EQ(parent->seen, (std::vector<std::string>{"began", "ended"}));
    EXPECT_EQ(parent->lastLocation, (Point{15, 15}));
    // Views that take no touches are skipped by hit testing.
    child->setUserInteractionEnabled(false);
    EXPECT_EQ(win->hitTest({25, 25}, nullptr), parent);
    auto label = std::make_shared<ImageView>(Rect{0, 0, 80, 80});
    parent->addSubview(label);
    EXPECT_EQ(win->hitTest({25, 25}, nullptr), parent);
}

TEST_F(Touches, ButtonSendsTouchUpInsideOnceAndHighlightsWhilePressed) {
    auto win = makeWindow(200, 200);
    auto button = std::make_shared<Button>(Rect{50, 50, 100, 40});
    button->setTitle("Done");
    win->addSubview(button);
    int inside = 0, outside = 0, down = 0;
    button->addTarget(
        this, [&](Control&, const Event*) { ++inside; }, kControlEventTouchUpInside);
    button->addTarget(
        nullptr, [&](Control&, const Event*) { ++outside; }, kControlEventTouchUpOutside);
    button->addTarget(
        nullptr, [&](Control&, const Event*) { ++down; }, kControlEventTouchDown);
    win->sendPointer(PointerPhase::Down, {60, 60});
    EXPECT_TRUE(button->isHighlighted());
    EXPECT_EQ(down, 1);
    win->sendPointer(PointerPhase::Up, {60, 60});
    EXPECT_FALSE(button->isHighlighted());
    EXPECT_EQ(inside, 1);
    // Dragged far away before lifting: outside, not inside.
    win->sendPointer(PointerPhase::Down, {60, 60});
    win->sendPointer(PointerPhase::Move, {199, 199});
    win->sendPointer(PointerPhase::Move, {199, 199});
    EXPECT_FALSE(button->isHighlighted());
    win->sendPointer(PointerPhase::Up, {199, 199});
    EXPECT_EQ(inside, 1);
    EXPECT_EQ(outside, 1);
    // Removed targets hear nothing; disabled buttons let touches through.
    button->removeTarget(this, kControlEventTouchUpInside);
    tap(*win, {60, 60});
    EXPECT_EQ(inside, 1);
    button->setEnabled(false);
    EXPECT_EQ(win->hitTest({60, 60}, nullptr), win);
}

TEST_F(Touches, ButtonStatesFallBackToNormal) {
    auto button = std::make_shared<Button>(Rect{0, 0, 100, 40});
    button->setTitle("Go");
    button->setTitleColor(Color::whiteColor());
    button->setTitleColor(Color::white(1, 0.3), kControlStateHighlighted);
    EXPECT_EQ(button->currentTitle(), "Go");
    button->setHighlighted(true);
    EXPECT_EQ(button->currentTitle(), "Go");
    EXPECT_EQ(button->currentTitleColor(), Color::white(1, 0.3));
    EXPECT_EQ(button->titleLabel()->textColor(), Color::white(1, 0.3));
    button->setHighlighted(false);
    button->setEnabled(false);
    EXPECT_EQ(button->currentTitleColor(), Color::whiteColor());
    button->setTitle("Off", kControlStateDisabled);
    EXPECT_EQ(button->titleLabel()->text(), "Off");
    Size fit = button->sizeThatFits({1, 1});
    EXPECT_EQ(fit, button->titleLabel()->font().sizeOfText("Off"));
}

TEST_F(Touches, SwitchTogglesOnATapOnly) {
    auto win = makeWindow(100, 100);
    auto sw = std::make_shared<Switch>(Rect{10, 10, 200, 200});
    EXPECT_EQ(sw->frame(), (Rect{10, 10, 51, 31}));
    win->addSubview(sw);
    std::vector<bool> changes;
    sw->addTarget(
        nullptr, [&](Control& c, const Event*) { changes.push_back(static_cast<Switch&>(c).isOn()); },
        kControlEventValueChanged);
    sw->setOn(true);
    EXPECT_TRUE(changes.empty());
    tap(*win, {30, 20});
    tap(*win, {30, 20});
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
}

TEST_F(Touches, SliderFollowsTheThumbAndClamps) {
    auto win = makeWindow(300, 100);
    auto slider = std::make_shared<Slider>(Rect{0, 0, 228, 31});
    slider->setMinimumValue(50);
    slider->setMaximumValue(150);
    slider->setValue(100);
    win->addSubview(slider);
    std::vector<float> values;
    slider->addTarget(
        nullptr, [&](Control& c, const Event*) { values.push_back(static_cast<Slider&>(c).value()); },
        kControlEventValueChanged);
    Rect thumb = slider->thumbRect(100);
    EXPECT_EQ(thumb.midX(), 114);
    win->sendPointer(PointerPhase::Down, {thumb.midX(), 15});
    win->sendPointer(PointerPhase::Move, {thumb.midX() + 50, 15});
    win->sendPointer(PointerPhase::Move, {thumb.midX() + 500, 15});
    win->sendPointer(PointerPhase::Up, {thumb.midX() + 500, 15});
    ASSERT_EQ(values.size(), 2u);
    EXPECT_FLOAT_EQ(values[0], 125);
    EXPECT_FLOAT_EQ(values[1], 150);
    EXPECT_FLOAT_EQ(slider->value(), 150);
    slider->setValue(-5);
    EXPECT_FLOAT_EQ(slider->value(), 50);
    // A touch on the bare track moves nothing.
    values.clear();
    win->sendPointer(PointerPhase::Down, {200, 15});
    win->sendPointer(PointerPhase::Move, {210, 15});
    win->sendPointer(PointerPhase::Up, {210, 15});
    EXPECT_TRUE(values.empty());
}

TEST_F(Touches, UprightSliderGrowsUpwards) {
    auto win = makeWindow(100, 300);
    auto slider = std::make_shared<Slider>(Rect{0, 0, 228, 31});
    slider->setCenter({50, 150});
    slider->setTransform(AffineTransform::rotation(-M_PI / 2));
    win->addSubview(slider);
    slider->setValue(0.5);
    Point thumb = slider->convertPointTo({slider->thumbRect(0.5).midX(), 15.5}, win.get());
    EXPECT_NEAR(thumb.x, 50, 1e-9);
    EXPECT_NEAR(thumb.y, 150, 1e-9);
    win->sendPointer(PointerPhase::Down, thumb);
    win->sendPointer(PointerPhase::Move, {thumb.x, thumb.y - 50});
    win->sendPointer(PointerPhase::Up, {thumb.x, thumb.y - 50});
    EXPECT_NEAR(slider->value(), 0.5 + 50.0 / 200, 1e-6);
}

TEST_F(Touches, DraggingScrollsAndCancelsTheContentsTouch) {
    auto win = makeWindow(100, 100);
    auto scroll = std::make_shared<ScrollView>(Rect{0, 0, 100, 100});
    auto content = std::make_shared<Recording>(Rect{0, 0, 100, 300});
    scroll->addSubview(content);
    scroll->setContentSize({100, 300});
    Scrolled delegate;
    scroll->setDelegate(&delegate);
    win->addSubview(scroll);
    // A tap reaches the content.
    tap(*win, {50, 50});
    EXPECT_EQ(content->seen, (std::vector<std::string>{"began", "ended"}));
    content->seen.clear();
    // Small movements stay with the content; past the threshold the scroll view takes over.
    win->sendPointer(PointerPhase::Down, {50, 80});
    win->sendPointer(PointerPhase::Move, {50, 75});
    win->sendPointer(PointerPhase::Move, {50, 60});
    win->sendPointer(PointerPhase::Move, {50, 20});
    win->sendPointer(PointerPhase::Up, {50, 10});
    EXPECT_EQ(content->seen, (std::vector<std::string>{"began", "moved", "cancelled"}));
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 65}));
    EXPECT_EQ(delegate.begins, 1);
    EXPECT_EQ(delegate.ends, 1);
    EXPECT_GE(delegate.scrolls, 2);
    // The content moved with the offset.
    EXPECT_EQ(content->convertPointFrom({50, 10}, win.get()), (Point{50, 75}));
    // The wheel scrolls, clamped to the content.
    win->sendWheel({50, 50}, 0, 1000);
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 200}));
    win->sendWheel({50, 50}, 0, -30);
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 170}));
}

TEST_F(Touches, ScrollingCanBeTurnedOffDuringHitTesting) {
    // A scroll view that keeps a drag for its content, as a colour picker needs.
    struct Guarded : ScrollView {
        using ScrollView::ScrollView;
        std::shared_ptr<View> hitTest(Point p, const Event* e) override {
            setScrollEnabled(p.x >= 30);
            return ScrollView::hitTest(p, e);
        }
    };
    auto win = makeWindow(100, 100);
    auto scroll = std::make_shared<Guarded>(Rect{0, 0, 100, 100});
    auto content = std::make_shared<Recording>(Rect{0, 0, 100, 300});
    scroll->addSubview(content);
    scroll->setContentSize({100, 300});
    win->addSubview(scroll);
    win->sendPointer(PointerPhase::Down, {10, 80});
    win->sendPointer(PointerPhase::Move, {10, 20});
    win->sendPointer(PointerPhase::Up, {10, 20});
    EXPECT_EQ(content->seen, (std::vector<std::string>{"began", "moved", "ended"}));
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 0}));
    // Controls keep their drags inside a scrolling view too.
    auto slider = std::make_shared<Slider>(Rect{0, 0, 100, 31});
    content->addSubview(slider);
    Rect t = slider->thumbRect(0);
    win->sendPointer(PointerPhase::Down, {t.midX(), 15});
    win->sendPointer(PointerPhase::Move, {t.midX() + 20, 60});
    win->sendPointer(PointerPhase::Up, {t.midX() + 20, 60});
    EXPECT_EQ(scroll->contentOffset(), (Point{0, 0}));
    EXPECT_GT(slider->value(), 0);
}
