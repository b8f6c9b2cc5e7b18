// The rising bubbles: their order, where they rise to, how long they take,
// and no rise while the level is unknown.
#include <cmath>

#include "platform/ui/Animation.h"
#include "tests/app/main_test_support.h"

using namespace qmtest;
using platform::graphics::Point;
using platform::graphics::Rect;

namespace {

class BubblesTest : public ScreenFixture {
protected:
    static void stillBubbles(const MainViewController& vc) {
        for (auto& b : vc.bubbles()) {
            b->layer()->removeAllAnimations();
            b->setAlpha(0);
        }
    }
    std::shared_ptr<MainViewController> settledMain() {
        auto vc = showMain();
        vc->stopUpdateTimer();  // ticks are driven by hand below
        pf::RunLoop::main().runFor(10.0);
        stillBubbles(*vc);
        return vc;
    }
    // The bubble whose rise started last (alpha 1 in the model), or -1.
    static int risen(const MainViewController& vc) {
        int found = -1;
        for (int i = 0; i < 5; ++i)
            if (vc.bubbles()[size_t(i)]->alpha() == 1.0) found = i;
        return found;
    }
};

}  // namespace

TEST(BubbleGeometryTest, PhoneAndTabletPlaces) {
    auto phone = MainViewController::bubbleGeometry(375, 667, false, false);
    EXPECT_DOUBLE_EQ(phone.centerX, 187.5);
    EXPECT_DOUBLE_EQ(phone.startY, 260.0);
    EXPECT_DOUBLE_EQ(phone.top, 70.0);
    EXPECT_DOUBLE_EQ(phone.range, 185.0);
    EXPECT_DOUBLE_EQ(phone.lift, 16.0);

    auto portrait = MainViewController::bubbleGeometry(768, 1024, true, false);
    EXPECT_DOUBLE_EQ(portrait.centerX, 590.0);
    EXPECT_DOUBLE_EQ(portrait.startY, 800.0);
    EXPECT_DOUBLE_EQ(portrait.top, 450.0);
    EXPECT_DOUBLE_EQ(portrait.range, 330.0);
    EXPECT_DOUBLE_EQ(portrait.lift, 0.0);

    auto landscape = MainViewController::bubbleGeometry(1024, 768, true, true);
    EXPECT_DOUBLE_EQ(landscape.centerX, 830.0);
    EXPECT_DOUBLE_EQ(landscape.startY, 540.0);
    EXPECT_DOUBLE_EQ(landscape.top, 210.0);

    // A taller tablet moves the rise down by the whole points it has more.
    auto tall = MainViewController::bubbleGeometry(1024, 1366.5, true, false);
    EXPECT_DOUBLE_EQ(tall.centerX, 1024 - 768 + 590.0);
    EXPECT_DOUBLE_EQ(tall.startY, 800.0 + 342);
    EXPECT_DOUBLE_EQ(tall.top, 450.0 + 342);
}

TEST_F(BubblesTest, ElevenTicksGoBToEThenAAndAgain) {
    // A freshly loaded screen, before its timers run.
    auto vc = std::make_shared<MainViewController>("MainView");
    vc->view();
    EXPECT_EQ(vc->currentAnim(), 0);
    BatteryRefresh::setLastMultiplier(0.5f);
    const char* expected = "BCDEABCDEAB";
    std::string order;
    for (int i = 0; i < 11; ++i) {
        vc->animatedBulles();
        pf::RunLoop::main().runUntilIdle();
        int b = risen(*vc);
        order += b < 0 ? '?' : char('A' + b);
        stillBubbles(*vc);
    }
    EXPECT_EQ(order, expected);
}

TEST_F(BubblesTest, TheTimerTicksEveryOneAndAHalfSeconds) {
    auto vc = showMain(0.0);
    const int before = vc->currentAnim();
    pf::RunLoop::main().runFor(1.5 * 4 + 0.01);
    EXPECT_EQ(vc->currentAnim(), (before + 4) % 5);
}

TEST_F(BubblesTest, RiseEndsAtTheLiquidAndStaysNearTheBatteryCentre) {
    auto vc = settledMain();
    const double cx = vc->view()->bounds().width() / 2;
    for (float level : {1.0f, 0.5f}) {
        BatteryRefresh::setLastMultiplier(level);
        const double endY = level == 1.0f ? 54.0 : 146.5;
        for (int i = 0; i < 40; ++i) {
            auto bubble = vc->bubbles()[size_t(i % 5)];
            const double start = platform::ui::currentMediaTime();
            vc->animateOne(bubble);
            const Point c = bubble->center();
            EXPECT_DOUBLE_EQ(c.y, endY);
            EXPECT_GE(c.x, std::trunc(cx - 60));
            EXPECT_LT(c.x, std::trunc(cx + 60));
            const Rect b = bubble->bounds();
            EXPECT_EQ(b.width(), b.height());
            EXPECT_GE(b.width(), 8);
            EXPECT_LE(b.width(), 27);
            EXPECT_DOUBLE_EQ(bubble->alpha(), 1.0);

            auto anim = bubble->layer()->animationForKey("position");
            ASSERT_NE(anim, nullptr);
            EXPECT_GE(anim->duration(), 1.0);
            EXPECT_LE(anim->duration(), 1.0 + 4.0 * level);
            const double delay = anim->beginTime() - start;
            EXPECT_GE(delay, -1e-9);
            EXPECT_LT(delay, 2.0);
            // It starts at the bottom of the battery, 2 points across.
            auto from = bubble->layer()->presentationValue("position", anim->beginTime());
            ASSERT_TRUE(std::holds_alternative<Point>(from));
            EXPECT_DOUBLE_EQ(std::get<Point>(from).y, 260.0);
            bubble->layer()->removeAllAnimations();
        }
    }
}

TEST_F(BubblesTest, BubblesBurstAfterTheirRise) {
    auto vc = settledMain();
    BatteryRefresh::setLastMultiplier(0.5f);
    auto bubble = vc->bubbles()[2];
    vc->animateOne(bubble);
    pf::RunLoop::main().runFor(1.0 + 4.0 * 0.5 + 2.0 + 0.5);
    EXPECT_DOUBLE_EQ(bubble->alpha(), 0.0);
    EXPECT_GE(bubble->bounds().width(), 16);  // doubled by the burst
}

TEST_F(BubblesTest, NoRiseWhileTheLevelIsUnknown) {
    auto vc = settledMain();
    BatteryRefresh::setLastMultiplier(-1.0f);
    const int before = vc->currentAnim();
    vc->animatedBulles();
    pf::RunLoop::main().runUntilIdle();
    EXPECT_EQ(vc->currentAnim(), before);
    EXPECT_EQ(risen(*vc), -1);
    for (auto& b : vc->bubbles()) EXPECT_FALSE(b->layer()->hasAnimations());
}

TEST_F(BubblesTest, RotationStopsTheBubbles) {
    auto vc = showMain();
    pf::RunLoop::main().runFor(3.0);
    vc->didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation::Portrait);
    for (auto& b : vc->bubbles()) {
        EXPECT_FALSE(b->layer()->hasAnimations());
        EXPECT_DOUBLE_EQ(b->alpha(), 0.0);
    }
}
