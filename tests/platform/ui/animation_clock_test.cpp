// The animation clock's timer: it follows the process clock when a new one is
// swapped in, goes away with the last animating layer, and wakes only at
// completions when nothing shows frames.
#include "platform/ui/AnimationClock.h"
#include "platform/ui/HeadlessPresenter.h"
#include "platform/ui/Layer.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;
namespace pf = platform::foundation;

namespace {

struct StopTimes : AnimationDelegate {
    std::vector<double> at;  // media times of the stops
    std::vector<bool> finished;
    void animationDidStop(Animation&, bool f) override {
        at.push_back(currentMediaTime());
        finished.push_back(f);
    }
};

std::shared_ptr<BasicAnimation> move(double duration, AnimationDelegate* d) {
    auto a = BasicAnimation::withKeyPath("position");
    a->setFromValue(Point{2, 2});
    a->setToValue(Point{18, 2});
    a->setDuration(duration);
    a->setDelegate(d);
    return a;
}

class AnimationClockTest : public OnManualClock {};

}  // namespace

TEST_F(AnimationClockTest, FollowsAClockSwappedInWhileALayerStillAnimates) {
    StopTimes first, second;
    auto longRunner = std::make_shared<Layer>();
    longRunner->addAnimation(move(100, &first), "move");
    runFor(10);  // the frame timer is now dated on this clock, far ahead of a new one
    auto fresh = std::make_shared<pf::ManualClock>(1.6e9);
    pf::Clock::setCurrent(fresh);
    auto layer = std::make_shared<Layer>();
    layer->addAnimation(move(0.25, &second), "move");
    EXPECT_TRUE(AnimationClock::shared().hasTimer());
    runFor(0.5);
    ASSERT_EQ(second.at.size(), 1u);
    EXPECT_TRUE(second.finished[0]);
    EXPECT_TRUE(first.at.empty());
    longRunner.reset();  // gone: told it did not finish
    runUntilIdle();
    ASSERT_EQ(first.finished.size(), 1u);
    EXPECT_FALSE(first.finished[0]);
    pf::Clock::setCurrent(clock_);
}

TEST_F(AnimationClockTest, TimerGoesWithTheLastAnimatingLayer) {
    auto a = std::make_shared<Layer>();
    auto b = std::make_shared<Layer>();
    a->addAnimation(move(5, nullptr), "move");
    b->addAnimation(move(5, nullptr), "move");
    EXPECT_TRUE(AnimationClock::shared().isRunning());
    a.reset();
    EXPECT_TRUE(AnimationClock::shared().hasTimer());
    b.reset();
    EXPECT_FALSE(AnimationClock::shared().isRunning());
    EXPECT_FALSE(AnimationClock::shared().hasTimer());
    EXPECT_LT(pf::RunLoop::current().nextFireDate(), 0);
    // Ended animations leave no timer either.
    auto c = std::make_shared<Layer>();
    c->addAnimation(move(0.5, nullptr), "move");
    runFor(1);
    EXPECT_FALSE(AnimationClock::shared().hasTimer());
    EXPECT_LT(pf::RunLoop::current().nextFireDate(), 0);
}

TEST_F(AnimationClockTest, WithoutFramesWantedOnlyCompletionsWakeTheLoop) {
    auto& clock = AnimationClock::shared();
    auto win = makeWindow(20, 20);
    win->setPresenter(std::make_shared<HeadlessPresenter>());
    EXPECT_FALSE(clock.framesWanted());
    StopTimes stops;
    auto v = std::make_shared<View>(Rect{0, 0, 4, 4});
    v->setBackgroundColor(Color::rgba(1, 0, 0));
    win->addSubview(v);
    win->composedImage();
    double start = currentMediaTime();
    v->layer()->addAnimation(move(0.3, &stops), "move");
    auto later = move(0.5, &stops);
    later->setBeginTime(start + 0.2);
    v->layer()->addAnimation(later, "later");
    EXPECT_TRUE(clock.hasTimer());
    EXPECT_FALSE(clock.ticksFrames());
    // Values in flight are exact without ticks, and a picture asked for shows them.
    advance(0.15);
    EXPECT_NEAR(v->layer()->presentationLayer()->position().x, 10.0, 1e-9);
    EXPECT_TRUE(win->needsComposition());
    EXPECT_EQ(pixel(*win, 10, 1), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(pixel(*win, 1, 1), (Image::Pixel{255, 255, 255, 255}));
    runFor(1.0);
    ASSERT_EQ(stops.at.size(), 2u);
    EXPECT_NEAR(stops.at[0], start + 0.3, 1e-6);
    EXPECT_NEAR(stops.at[1], start + 0.7, 1e-6);
    EXPECT_TRUE(stops.finished[0] && stops.finished[1]);
    EXPECT_FALSE(clock.hasTimer());
    // A window that shows frames brings the frame timer back.
    v->layer()->addAnimation(move(1, nullptr), "move");
    EXPECT_FALSE(clock.ticksFrames());
    win->setPresenter(nullptr);
    EXPECT_TRUE(clock.framesWanted());
    EXPECT_TRUE(clock.ticksFrames());
    win.reset();
    v.reset();
    EXPECT_FALSE(clock.hasTimer());
}
