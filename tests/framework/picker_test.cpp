#include <gtest/gtest.h>

#include <vector>

#include "framework/ColorPickerImageView.h"
#include "framework/PickerAwareScrollView.h"
#include "platform/foundation/Bundle.h"
#include "platform/graphics/Context.h"
#include "tests/support/GlobalStateGuard.h"

using platform::graphics::Color;
using platform::graphics::Context;
using platform::graphics::Image;
using platform::graphics::Point;
using platform::graphics::Rect;
using platform::ui::Touch;
using platform::ui::TouchPhase;
using platform::ui::TouchSet;
using platform::ui::View;

namespace {

struct Recorder : ColorPickerImageViewDelegate {
    std::vector<bool> lowRes;
    std::vector<Color> colors;
    void pickedColorUseLowRes(bool l) override { lowRes.push_back(l); }
    void pickedColor(const Color& c) override { colors.push_back(c); }
};

// A 100 x 50 picture: red on the left half, black on the right half, a green
// pixel at (0, 0) and a blue one at (99, 49).
std::shared_ptr<Image> testPicture(double scale = 1.0) {
    auto ctx = Context::beginImageContext({100 / scale, 50 / scale}, false, scale);
    ctx->scaleBy(1 / scale, 1 / scale);
    ctx->setFillColor(Color::rgba(1, 0, 0));
    ctx->fillRect(Rect(0, 0, 50, 50));
    ctx->setFillColor(Color::black());
    ctx->fillRect(Rect(50, 0, 50, 50));
    ctx->setFillColor(Color::rgba(0, 1, 0));
    ctx->fillRect(Rect(0, 0, 1, 1));
    ctx->setFillColor(Color::rgba(0, 0, 1));
    ctx->fillRect(Rect(99, 49, 1, 1));
    return ctx->image();
}

class PickerTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;
    void SetUp() override {
        platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        picker = std::make_shared<ColorPickerImageView>(Rect(0, 0, 100, 50));
        picker->setUserInteractionEnabled(true);
        picker->setImage(testPicture());
        recorder = std::make_shared<Recorder>();
        picker->setPickedColorDelegate(recorder);
    }

    // Touches at `p` (picker points); the picture pixel is 52 left and 22 above.
    std::shared_ptr<Touch> begin(Point p) {
        touch = std::make_shared<Touch>(picker, nullptr, p, 0.0);
        picker->touchesBegan({touch}, nullptr);
        return touch;
    }
    void move(Point p) {
        touch->update(TouchPhase::Moved, p, 0.1);
        picker->touchesMoved({touch}, nullptr);
    }
    void end(Point p) {
        touch->update(TouchPhase::Ended, p, 0.2);
        picker->touchesEnded({touch}, nullptr);
    }

    std::shared_ptr<ColorPickerImageView> picker;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<Touch> touch;
};

}  // namespace

TEST(ColorPickerPixelTest, TouchMapsToThePixelUpAndLeftOfIt) {
    float x, y;
    ColorPickerImageView::pixelForLocation({52, 22}, 1.0, 100, 50, x, y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    ColorPickerImageView::pixelForLocation({10, 5}, 1.0, 100, 50, x, y);  // left of and above the offsets
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    ColorPickerImageView::pixelForLocation({53.9, 23.99}, 1.0, 100, 50, x, y);
    EXPECT_EQ(x, 1);
    EXPECT_EQ(y, 1);
    ColorPickerImageView::pixelForLocation({151, 71}, 1.0, 100, 50, x, y);  // last pixel exactly
    EXPECT_EQ(x, 99);
    EXPECT_EQ(y, 49);
    ColorPickerImageView::pixelForLocation({152, 72}, 1.0, 100, 50, x, y);  // one past: clamped
    EXPECT_EQ(x, 99);
    EXPECT_EQ(y, 49);
    ColorPickerImageView::pixelForLocation({53, 23}, 2.0, 100, 50, x, y);  // scale 2: two pixels per point
    EXPECT_EQ(x, 2);
    EXPECT_EQ(y, 2);
    // Just short of the next pixel (closer than single precision can tell):
    // still the pixel before it.
    ColorPickerImageView::pixelForLocation({52 + 1 - 1e-9, 22 + 3 - 1e-9}, 1.0, 100, 50, x, y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 2);
}

TEST_F(PickerTest, TouchLeftOfTheOffsetSamplesTheFirstColumnAndClampsTheMarker) {
    begin({10, 5});
    ASSERT_EQ(recorder->colors.size(), 1u);
    EXPECT_EQ(recorder->colors[0], Color::rgba(0, 1, 0, 1));  // the green pixel at (0, 0)
    EXPECT_EQ(recorder->lowRes, std::vector<bool>{true});
    EXPECT_EQ(picker->selectorPosition(), (Point{10, 5}));
    auto marker = picker->viewImageSelector();
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(marker->layer()->anchorPoint(), (Point{1, 1}));
    EXPECT_EQ(marker->center(), (Point{52, 22}));
}

TEST_F(PickerTest, MarkerStaysWithinTheBoundsPlusTheOffsets) {
    picker->setPositionForPicker({500, 500});
    EXPECT_EQ(picker->viewImageSelector()->center(), (Point{152, 72}));
}

TEST_F(PickerTest, DraggingOverBlackRepeatsTheLastColourAndLiftingEndsTheLowRes) {
    begin({60, 30});                                         // pixel (8, 8): red
    move({130, 30});                                         // pixel (78, 8): black, picks nothing
    EXPECT_EQ(picker->selectorPosition(), (Point{60, 30}));  // the marker stayed
    end({130, 30});
    ASSERT_EQ(recorder->colors.size(), 3u);
    for (const Color& c : recorder->colors) EXPECT_EQ(c, Color::rgba(1, 0, 0, 1));
    EXPECT_EQ(recorder->lowRes, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(picker->lastColor(), Color::rgba(1, 0, 0, 1));
}

TEST_F(PickerTest, BlackBeforeAnyPickSendsNothing) {
    begin({130, 30});
    end({130, 30});
    EXPECT_TRUE(recorder->colors.empty());
    EXPECT_TRUE(recorder->lowRes.empty());
    EXPECT_FALSE(picker->lastColor().has_value());
}

TEST_F(PickerTest, WithoutAPictureBlackIsPickedAndReported) {
    picker->setImage(nullptr);
    begin({60, 30});
    end({60, 30});
    EXPECT_EQ(recorder->colors, (std::vector<Color>{Color::black(), Color::black()}));
    EXPECT_EQ(recorder->lowRes, (std::vector<bool>{true, false}));
    EXPECT_EQ(picker->lastColor(), Color::black());
}

TEST_F(PickerTest, ACancelledTouchPicksNothing) {
    picker->forcePositionForPicker({60, 30});
    begin({60, 30});  // red
    touch->update(TouchPhase::Moved, {10, 5}, 0.1);
    touch->update(TouchPhase::Cancelled, {10, 5}, 0.2);  // over the green pixel
    picker->touchesCancelled({touch}, nullptr);
    EXPECT_EQ(recorder->colors, (std::vector<Color>{Color::rgba(1, 0, 0, 1)}));
    EXPECT_EQ(recorder->lowRes, (std::vector<bool>{true}));
    EXPECT_EQ(picker->lastColor(), Color::rgba(1, 0, 0, 1));
    EXPECT_EQ(picker->selectorPosition(), (Point{60, 30}));
    EXPECT_EQ(picker->viewImageSelector()->image(), Image::named("TWKResourcesMain.bundle/selector-off.png"));
}

TEST_F(PickerTest, HiddenPickerPassesTouchesOn) {
    struct Parent : View {
        using View::View;
        int began = 0, ended = 0;
        void touchesBegan(const TouchSet&, const platform::ui::Event*) override { ++began; }
        void touchesEnded(const TouchSet&, const platform::ui::Event*) override { ++ended; }
    };
    auto parent = std::make_shared<Parent>(Rect(0, 0, 300, 300));
    parent->addSubview(picker);
    picker->setHidden(true);
    begin({60, 30});
    end({60, 30});
    EXPECT_EQ(parent->began, 1);
    EXPECT_EQ(parent->ended, 1);
    EXPECT_TRUE(recorder->colors.empty());
}

TEST_F(PickerTest, AGoneDelegateIsNotCalled) {
    std::weak_ptr<Recorder> weak = recorder;
    recorder.reset();
    EXPECT_TRUE(weak.expired());  // the picker does not keep its delegate alive
    begin({60, 30});
    EXPECT_EQ(picker->lastColor(), Color::rgba(1, 0, 0, 1));
}

TEST_F(PickerTest, ScaledPictureIsSampledInPixels) {
    picker->setImage(testPicture(2.0));  // 50 x 25 points, 100 x 50 pixels
    begin({52 + 49.6, 22 + 24.6});       // pixel (99, 49): blue
    ASSERT_EQ(recorder->colors.size(), 1u);
    EXPECT_EQ(recorder->colors[0], Color::rgba(0, 0, 1, 1));
}

TEST_F(PickerTest, MarkerPicturesFollowTheTouch) {
    picker->forcePositionForPicker({60, 30});
    auto marker = picker->viewImageSelector();
    ASSERT_NE(marker, nullptr);
    auto off = Image::named("TWKResourcesMain.bundle/selector-off.png");
    auto on = Image::named("TWKResourcesMain.bundle/selector.png");
    ASSERT_NE(off, nullptr) << "the marker pictures belong in the framework's resource bundle";
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(marker->image(), off);
    begin({60, 30});
    EXPECT_EQ(marker->image(), on);
    end({60, 30});
    EXPECT_EQ(marker->image(), off);
}

TEST_F(PickerTest, CentrePlacementPutsTheMarkersCornerAtTheMiddleAtRest) {
    picker->setFrame(Rect(22, 345, 220, 150));
    picker->setPositionForPickerToCenter();
    auto marker = picker->viewImageSelector();
    ASSERT_NE(marker, nullptr);
    auto off = Image::named("TWKResourcesMain.bundle/selector-off.png");
    ASSERT_NE(off, nullptr);
    EXPECT_EQ(marker->image(), off);
    // The marker picture is 52 x 22, the offsets themselves: no correction.
    ASSERT_EQ(off->size(), (platform::graphics::Size{52, 22}));
    EXPECT_EQ(marker->layer()->anchorPoint(), (Point{0, 0}));
    EXPECT_EQ(marker->center(), (Point{110, 75}));
    EXPECT_EQ(marker->frame().origin, (Point{110, 75}));
    EXPECT_TRUE(recorder->colors.empty());
    // A pick afterwards hangs the marker by its bottom-right corner again.
    begin({60, 30});
    EXPECT_EQ(marker->layer()->anchorPoint(), (Point{1, 1}));
    EXPECT_EQ(marker->frame().origin, (Point{8, 8}));
}

TEST(PickerAwareScrollViewTest, OnlyTheMiddleThirdOfThePickerStopsScrolling) {
    auto scroll = std::make_shared<PickerAwareScrollView>(Rect(0, 0, 300, 400));
    auto content = std::make_shared<View>(Rect(0, 0, 300, 800));
    auto picker = std::make_shared<View>(Rect(0, 100, 90, 60));
    picker->setTag(PickerAwareScrollView::kPickerTag);
    content->addSubview(picker);
    scroll->addSubview(content);
    scroll->setContentSize({300, 800});

    struct Case {
        double x;
        bool scrolls;
    };
    for (Case c :
         {Case{10, true}, Case{29.9, true}, Case{30, false}, Case{59.9, false}, Case{60, true}, Case{89, true}}) {
        scroll->hitTest({c.x, 120}, nullptr);
        EXPECT_EQ(scroll->isScrollEnabled(), c.scrolls) << "x " << c.x;
    }
    scroll->hitTest({45, 200}, nullptr);  // below the picker
    EXPECT_TRUE(scroll->isScrollEnabled());

    // Without a picker in the content, scrolling stays on.
    picker->setTag(0);
    scroll->hitTest({45, 120}, nullptr);
    EXPECT_TRUE(scroll->isScrollEnabled());
}
