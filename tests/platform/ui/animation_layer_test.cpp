// Layer animations on the manual clock: in-flight values, timing curves, fill
// modes, removal and exactly-once completions.
#include <cmath>

#include "platform/ui/AnimationClock.h"
#include "platform/ui/Layer.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;

namespace {

struct Recorder : AnimationDelegate {
    int stops = 0, finished = 0, started = 0;
    void animationDidStart(Animation&) override { ++started; }
    void animationDidStop(Animation&, bool f) override {
        ++stops;
        finished += f;
    }
};

// Independent evaluation of a cubic timing curve at x (bisection on x(s)).
double curve(double c1x, double c1y, double c2x, double c2y, double x) {
    auto b = [](double p1, double p2, double s) {
        return 3 * (1 - s) * (1 - s) * s * p1 + 3 * (1 - s) * s * s * p2 + s * s * s;
    };
    double lo = 0, hi = 1;
    for (int i = 0; i < 200; ++i) {
        double m = (lo + hi) / 2;
        (b(c1x, c2x, m) < x ? lo : hi) = m;
    }
    return b(c1y, c2y, (lo + hi) / 2);
}

std::shared_ptr<BasicAnimation> fade(double from, double to, double duration) {
    auto a = BasicAnimation::withKeyPath("opacity");
    a->setFromValue(from);
    a->setToValue(to);
    a->setDuration(duration);
    return a;
}

class LayerAnimation : public OnManualClock {};

}  // namespace

TEST_F(LayerAnimation, LinearValuesInFlight) {
    auto layer = std::make_shared<Layer>();
    layer->addAnimation(fade(0, 1, 2), "fade");
    EXPECT_EQ(layer->presentationLayer()->opacity(), 0.0f);
    advance(0.5);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.25f);
    advance(1.0);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.75f);
    EXPECT_EQ(layer->opacity(), 1.0f);  // the model value never moved
}

TEST_F(LayerAnimation, EaseInFollowsItsCurve) {
    auto layer = std::make_shared<Layer>();
    auto a = BasicAnimation::withKeyPath("position");
    a->setFromValue(Point{0, 0});
    a->setToValue(Point{100, 200});
    a->setDuration(1);
    a->setTimingFunction(TimingFunction::named(TimingFunction::Name::EaseIn));
    layer->addAnimation(a);
    for (double t : {0.25, 0.5, 0.75}) {
        advance(0.25);
        double y = curve(0.42, 0, 1, 1, t);
        Point p = layer->presentationLayer()->position();
        EXPECT_NEAR(p.x, 100 * y, 1e-6) << t;
        EXPECT_NEAR(p.y, 200 * y, 1e-6) << t;
    }
    EXPECT_LT(curve(0.42, 0, 1, 1, 0.5), 0.5);  // slow start
}

TEST_F(LayerAnimation, RemovedOnCompletionByDefaultAndToldOnce) {
    auto layer = std::make_shared<Layer>();
    Recorder rec;
    auto a = fade(0, 1, 0.5);
    a->setDelegate(&rec);
    layer->setOpacity(0.3f);
    layer->addAnimation(a, "fade");
    runFor(0.25);
    EXPECT_EQ(rec.started, 1);
    EXPECT_EQ(rec.stops, 0);
    runFor(0.3);
    EXPECT_EQ(rec.stops, 1);
    EXPECT_EQ(rec.finished, 1);
    EXPECT_EQ(layer->animationForKey("fade"), nullptr);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.3f);  // back to the model
    runFor(2);
    EXPECT_EQ(rec.stops, 1);
    EXPECT_FALSE(AnimationClock::shared().isRunning());  // idle: no frame timer
}

TEST_F(LayerAnimation, FillForwardsKeepsTheEndValueWhenNotRemoved) {
    auto layer = std::make_shared<Layer>();
    layer->setOpacity(0);
    auto a = fade(0, 1, 1);
    a->setFillMode(FillMode::Forwards);
    a->setRemovedOnCompletion(false);
    layer->addAnimation(a, "in");
    runFor(3);
    ASSERT_NE(layer->animationForKey("in"), nullptr);
    EXPECT_EQ(layer->presentationLayer()->opacity(), 1.0f);
    EXPECT_EQ(layer->opacity(), 0.0f);
    // Without a forwards fill a kept animation no longer shows.
    auto b = fade(0, 0.5, 1);
    b->setRemovedOnCompletion(false);
    layer->addAnimation(b, "in");
    runFor(3);
    EXPECT_EQ(layer->presentationLayer()->opacity(), 0.0f);
}

TEST_F(LayerAnimation, BackwardsFillShowsTheStartBeforeTheBeginTime) {
    auto layer = std::make_shared<Layer>();
    layer->setOpacity(0.9f);
    auto a = fade(0.2, 0.4, 1);
    a->setBeginTime(currentMediaTime() + 1);
    layer->addAnimation(a, "late");
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.9f);
    a = fade(0.2, 0.4, 1);
    a->setBeginTime(currentMediaTime() + 1);
    a->setFillMode(FillMode::Backwards);
    layer->addAnimation(a, "late");
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.2f);
    advance(1.5);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.3f);
}

TEST_F(LayerAnimation, ReplacedAnimationIsToldItDidNotFinish) {
    auto layer = std::make_shared<Layer>();
    Recorder first, second;
    auto a = fade(0, 1, 1);
    a->setDelegate(&first);
    layer->addAnimation(a, "k");
    runFor(0.5);
    auto b = fade(1, 0, 1);
    b->setDelegate(&second);
    layer->addAnimation(b, "k");
    runUntilIdle();
    EXPECT_EQ(first.stops, 1);
    EXPECT_EQ(first.finished, 0);
    runFor(1.1);
    EXPECT_EQ(first.stops, 1);
    EXPECT_EQ(second.stops, 1);
    EXPECT_EQ(second.finished, 1);
}

TEST_F(LayerAnimation, RemovalAndDestructionReportUnfinished) {
    Recorder rec;
    {
        auto layer = std::make_shared<Layer>();
        auto a = fade(0, 1, 1);
        a->setDelegate(&rec);
        layer->addAnimation(a, "x");
        layer->addAnimation(a, "y");
        layer->removeAnimation("x");
        runUntilIdle();
        EXPECT_EQ(rec.stops, 1);
    }
    runUntilIdle();
    EXPECT_EQ(rec.stops, 2);
    EXPECT_EQ(rec.finished, 0);
}

TEST_F(LayerAnimation, ByValueAndMissingEndsUseTheModel) {
    auto layer = std::make_shared<Layer>();
    layer->setPosition({10, 10});
    auto a = BasicAnimation::withKeyPath("position");
    a->setByValue(Point{10, 20});
    a->setDuration(1);
    layer->addAnimation(a);
    advance(0.5);
    EXPECT_EQ(layer->presentationLayer()->position(), (Point{15, 20}));
    auto b = BasicAnimation::withKeyPath("position");
    b->setFromValue(Point{0, 0});
    b->setDuration(1);
    layer->addAnimation(b);  // replaces `a`; runs to the model value
    advance(0.25);
    EXPECT_EQ(layer->presentationLayer()->position(), (Point{2.5, 2.5}));
}

TEST_F(LayerAnimation, AutoreversesAndRepeats) {
    auto layer = std::make_shared<Layer>();
    auto a = fade(0, 1, 1);
    a->setAutoreverses(true);
    a->setRepeatCount(2);
    layer->addAnimation(a, "pulse");
    EXPECT_DOUBLE_EQ(a->activeDuration(), 4);
    advance(1.5);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.5f);
    advance(1.0);
    EXPECT_FLOAT_EQ(layer->presentationLayer()->opacity(), 0.5f);
    runFor(2);
    EXPECT_EQ(layer->animationForKey("pulse"), nullptr);
}
