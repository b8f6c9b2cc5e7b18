// The view animation API on the manual clock: named blocks with delay, curve
// and a did-stop handler; block animations with completion; custom animatable
// layer properties redrawn with their in-flight values.
#include <cmath>

#include "platform/ui/View.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;

namespace {

class ViewAnimation : public OnManualClock {};

struct Stop {
    std::string id;
    bool finished;
    void* context;
};

// A layer with an animatable "level" that redraws for every value shown,
// recording the values it was drawn with.
class LevelLayer : public Layer {
public:
    std::vector<double> drawn;
    bool needsDisplayForKey(const std::string& key) const override {
        return key == "level" || Layer::needsDisplayForKey(key);
    }
    std::shared_ptr<Animation> actionForKey(const std::string& key) override {
        if (key != "level") return Layer::actionForKey(key);
        auto a = BasicAnimation::withKeyPath("level");
        a->setFromValue(presentationLayer()->valueForKey("level"));
        a->setDuration(0.35);
        a->setRemovedOnCompletion(false);
        return a;
    }
    void drawInContext(Context& ctx) override {
        double level = doubleForKey("level");
        drawn.push_back(level);
        ctx.setFillColor(Color::rgba(1, 0, 0));
        Rect b = bounds();
        ctx.fillRect({0, b.height() * (1 - level), b.width(), b.height() * level});
    }
};

}  // namespace

TEST_F(ViewAnimation, NamedBlockWithDelayCurveAndDidStop) {
    auto view = std::make_shared<View>(Rect{0, 0, 10, 10});
    view->setAlpha(0);
    std::vector<Stop> stops;
    int tag = 7;
    View::beginAnimations("moveBulle_3", &tag);
    View::setAnimationDuration(1.0);
    View::setAnimationDelay(0.5);
    View::setAnimationCurve(AnimationCurve::EaseIn);
    View::setAnimationDidStop([&](const std::string& id, bool f, void* c) { stops.push_back({id, f, c}); });
    view->setAlpha(1);
    view->setCenter({100, 50});
    View::commitAnimations();
    EXPECT_EQ(view->alpha(), 1);  // the model changes at once
    advance(0.25);                // still in the delay: the start values show
    auto shown = view->layer()->presentationLayer();
    EXPECT_EQ(shown->opacity(), 0.0f);
    EXPECT_EQ(shown->position(), (Point{5, 5}));
    advance(0.75);                                                   // half-way through the 1 s after the delay
    EXPECT_LT(view->layer()->presentationLayer()->opacity(), 0.5f);  // ease-in is behind linear
    runFor(0.4);
    EXPECT_TRUE(stops.empty());
    runFor(0.2);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].id, "moveBulle_3");
    EXPECT_TRUE(stops[0].finished);
    EXPECT_EQ(stops[0].context, &tag);
    runFor(1);
    EXPECT_EQ(stops.size(), 1u);
}

TEST_F(ViewAnimation, BlockCompletionRunsOnceAndReplacementFinishesFalse) {
    auto view = std::make_shared<View>(Rect{0, 0, 10, 10});
    std::vector<bool> first, second;
    View::animate(
        0.5, [&] { view->setAlpha(0); }, [&](bool f) { first.push_back(f); });
    runFor(0.2);
    double shown = view->layer()->presentationLayer()->opacity();
    EXPECT_GT(shown, 0.0);
    EXPECT_LT(shown, 1.0);
    View::animate(
        0.5, 0, kAnimationOptionBeginFromCurrentState | kAnimationOptionCurveLinear, [&] { view->setAlpha(1); },
        [&](bool f) { second.push_back(f); });
    // From the value on screen, not from the old model value.
    EXPECT_NEAR(view->layer()->presentationLayer()->opacity(), shown, 1e-6);
    runUntilIdle();
    EXPECT_EQ(first, std::vector<bool>{false});
    runFor(0.6);
    EXPECT_EQ(first, std::vector<bool>{false});
    EXPECT_EQ(second, std::vector<bool>{true});
}

TEST_F(ViewAnimation, BlockWithNothingToAnimateCompletesAtTheNextTurn) {
    bool called = false, finished = false;
    View::animate(
        0.5, [] {},
        [&](bool f) {
            called = true;
            finished = f;
        });
    EXPECT_FALSE(called);
    runUntilIdle();
    EXPECT_TRUE(called);
    EXPECT_TRUE(finished);
    // Zero duration applies the change at once and completes too.
    auto view = std::make_shared<View>(Rect{0, 0, 10, 10});
    int calls = 0;
    View::animate(
        0, [&] { view->setAlpha(0.5); }, [&](bool) { ++calls; });
    EXPECT_FLOAT_EQ(view->layer()->presentationLayer()->opacity(), 0.5f);
    runUntilIdle();
    EXPECT_EQ(calls, 1);
}

TEST_F(ViewAnimation, ChangesOutsideBlocksAndWithoutAnimationDoNotAnimate) {
    auto view = std::make_shared<View>(Rect{0, 0, 10, 10});
    view->setAlpha(0.2);
    EXPECT_TRUE(view->layer()->animationKeys().empty());
    View::beginAnimations("x");
    View::performWithoutAnimation([&] { view->setAlpha(0.4); });
    view->setFrame({5, 5, 20, 20});
    View::commitAnimations();
    auto keys = view->layer()->animationKeys();
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "opacity"), 0);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "position"), 1);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "bounds"), 1);
}

TEST_F(ViewAnimation, CustomKeyRedrawsWithInFlightValuesAndRestartsFromWhatIsShown) {
    auto win = makeWindow(10, 100);
    auto layer = std::make_shared<LevelLayer>();
    layer->setFrame({0, 0, 10, 100});
    win->layer()->addSublayer(layer);
    layer->setValue("level", 0.2);
    runFor(0.5);
    win->composedImage();
    layer->drawn.clear();
    layer->setValue("level", 0.8);
    EXPECT_DOUBLE_EQ(layer->doubleForKey("level"), 0.8);  // the model value at once
    advance(0.07);
    win->composedImage();
    ASSERT_EQ(layer->drawn.size(), 1u);
    EXPECT_NEAR(layer->drawn.back(), 0.2 + 0.6 * 0.2, 1e-9);
    // A change mid-way starts from the level shown, not from 0.2.
    layer->setValue("level", 0.5);
    auto a = std::dynamic_pointer_cast<BasicAnimation>(layer->animationForKey("level"));
    ASSERT_TRUE(a);
    EXPECT_NEAR(std::get<double>(a->fromValue()), 0.32, 1e-9);
    advance(0.175);
    win->composedImage();
    EXPECT_NEAR(layer->drawn.back(), 0.32 + (0.5 - 0.32) * 0.5, 1e-9);
    runFor(1);
    auto image = win->composedImage();
    EXPECT_NEAR(layer->drawn.back(), 0.5, 1e-9);
    EXPECT_EQ(image->pixelAt(5, 49).r, 255);  // white above the fill
    EXPECT_EQ(image->pixelAt(5, 49).g, 255);
    EXPECT_EQ(image->pixelAt(5, 50), (Image::Pixel{255, 255, 0, 0}));
    // Nothing changes any more: composing again draws nothing.
    size_t passes = layer->drawn.size();
    win->composedImage();
    EXPECT_EQ(layer->drawn.size(), passes);
}

TEST_F(ViewAnimation, AnimationThatShowsNoNewValueDoesNotRedrawEveryFrame) {
    auto win = makeWindow(10, 100);
    auto layer = std::make_shared<LevelLayer>();
    layer->setFrame({0, 0, 10, 100});
    win->layer()->addSublayer(layer);
    layer->setValue("level", 0.5);
    runFor(1);
    auto before = win->composedImage();
    layer->drawn.clear();
    layer->setValue("level", 0.5);  // animates from 0.5 to 0.5
    ASSERT_TRUE(layer->animationForKey("level"));
    for (int i = 0; i < 20; ++i) {
        runFor(1.0 / 60);
        win->composedImage();
    }
    // Drawn when asked to, and not again for the frames that show the same level.
    EXPECT_LE(layer->drawn.size(), 2u);
    for (double d : layer->drawn) EXPECT_DOUBLE_EQ(d, 0.5);
    EXPECT_EQ(win->composedImage()->pixelAt(5, 50), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(win->composedImage()->pixelAt(5, 49).g, 255);
}
