// The review request: launch counting on the manual clock, the spacing and
// never-ask rules, the pulse and its overlay, and the four answers.
#include <cmath>

#include "framework/TWKReportIntroViewController.h"
#include "framework/TWKReviewAsk.h"
#include "info_support.h"

using namespace infotest;

namespace {

class ReviewTest : public InfoTest {
protected:
    void SetUp() override {
        InfoTest::SetUp();
        image_ = platform::graphics::Image::named("moreappsgray.png");
        button_ = std::make_shared<TWKReviewPopupButton>(ui::Rect{260, 410, 44, 44});
        button_->setImage(image_);
        root_->view()->addSubview(button_);
    }
    void TearDown() override {
        // A pulse (and the 1 s shrink that ending it starts) would keep the
        // animation frame timer on this test's clock.
        button_->hideBtnOverlay();
        settle(TWKReviewPopupButton::kPulseHalf + 0.1);
        button_.reset();
        InfoTest::TearDown();
    }
    pf::UserDefaults& defaults() { return pf::UserDefaults::standard(); }
    int64_t launches() { return defaults().integerForKey("review_nb_launches"); }
    // A check, then the 5 s until its decision.
    void checkAndDecide() {
        button_->checkReviewTime(root_);
        settle(TWKReviewPopupButton::kDelay + 0.1);
    }
    // Runs decisions 60 s apart until the button pulses (the eighth with fresh defaults).
    void bringToPulse() {
        for (int i = 0; i < 8; ++i) {
            checkAndDecide();
            settle(TWKReviewPopupButton::kSpacing);
        }
        ASSERT_TRUE(button_->isPulsing());
    }
    std::shared_ptr<TWKReviewAsk> tapOverlay() {
        button_->btOverlay()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
        settle(1);
        return std::dynamic_pointer_cast<TWKReviewAsk>(root_->presentedViewController());
    }
    std::shared_ptr<platform::graphics::Image> image_;
    std::shared_ptr<TWKReviewPopupButton> button_;
};

}  // namespace

TEST_F(ReviewTest, SixQuietDecisionsThenTheWaitingPeriodThenThePulse) {
    ASSERT_TRUE(image_);
    for (int64_t i = 1; i <= 6; ++i) {
        button_->checkReviewTime(root_);
        EXPECT_DOUBLE_EQ(defaults().doubleForKey("lastReviewAsk_v2"), clock_->now());
        settle(4.9);
        EXPECT_EQ(launches(), i - 1) << "the decision waits 5 s";
        settle(0.2);
        EXPECT_EQ(launches(), i);
        EXPECT_FALSE(button_->isPulsing());
        EXPECT_TRUE(defaults().objectForKey("review_install_time_v2").isNull());
        settle(TWKReviewPopupButton::kSpacing);
    }
    // Seventh: the waiting period starts, no pulse yet.
    checkAndDecide();
    EXPECT_EQ(launches(), 7);
    EXPECT_FALSE(button_->isPulsing());
    const double started = defaults().doubleForKey("review_install_time_v2");
    EXPECT_NEAR(started, clock_->now(), 0.2);
    EXPECT_EQ(button_->imageForState(ui::kControlStateNormal), image_);
    // Eighth, 60 s on: pulses.
    settle(TWKReviewPopupButton::kSpacing);
    checkAndDecide();
    EXPECT_EQ(launches(), 8);
    EXPECT_DOUBLE_EQ(defaults().doubleForKey("review_install_time_v2"), started);
    ASSERT_TRUE(button_->isPulsing());
    const auto& subs = button_->subviews();
    ASSERT_GE(subs.size(), 3u);
    EXPECT_EQ(subs[subs.size() - 3], button_->ivCircle());
    EXPECT_EQ(subs[subs.size() - 2], button_->ivLamp());
    EXPECT_EQ(subs.back(), button_->btOverlay()) << "the overlay is on top";
    EXPECT_EQ(button_->btOverlay()->frame(), (ui::Rect{0, 0, 44, 44}));
    EXPECT_EQ(button_->imageForState(ui::kControlStateNormal), nullptr);
    EXPECT_EQ(button_->originalImageBackup(), image_);
    EXPECT_TRUE(button_->ivCircle()->image()) << "the shine comes from the framework bundle";
    EXPECT_TRUE(button_->ivLamp()->image());

    // The circle swells to 1.4 and back, 2 s a cycle, without end.
    auto shown = [&] { return button_->ivCircle()->layer()->presentationLayer()->transform().a; };
    settle(0.5);
    EXPECT_GT(shown(), 1.05);
    EXPECT_LT(shown(), 1.35);
    settle(0.45);
    EXPECT_NEAR(shown(), 1.4, 0.03);
    settle(1.0);
    EXPECT_NEAR(shown(), 1.0, 0.03);
    settle(1.0);
    EXPECT_NEAR(shown(), 1.4, 0.03) << "and again";

    settle(0.5);
    ASSERT_TRUE(writeSnapshot("review_overlay.png"));
}

TEST_F(ReviewTest, ASecondCheckWithin60SecondsHidesThePulseAndSchedulesNothing) {
    bringToPulse();
    const int64_t before = launches();
    settle(1);
    clock_->advance(0);
    // 60 s have passed since the last passing check in bringToPulse's last step; move back inside the window.
    defaults().setDouble("lastReviewAsk_v2", clock_->now() - 30);
    button_->checkReviewTime(root_);
    EXPECT_FALSE(button_->isPulsing()) << "hidden at once";
    EXPECT_EQ(button_->imageForState(ui::kControlStateNormal), image_) << "own image back";
    EXPECT_EQ(button_->originalImageBackup(), nullptr);
    settle(10);
    EXPECT_EQ(launches(), before) << "no decision was scheduled";
}

TEST_F(ReviewTest, AStoredTimeInTheFutureCountsAsNever) {
    defaults().setDouble("lastReviewAsk_v2", clock_->now() + 3600);
    button_->checkReviewTime(root_);
    EXPECT_DOUBLE_EQ(defaults().doubleForKey("lastReviewAsk_v2"), clock_->now());
    settle(5.1);
    EXPECT_EQ(launches(), 1);
}

TEST_F(ReviewTest, OffScreenAtTheDecisionCountsNothingAndLeavesTheOverlay) {
    bringToPulse();
    const int64_t before = launches();
    button_->checkReviewTime(root_);
    root_->view()->removeFromSuperview();
    settle(5.1);
    EXPECT_EQ(launches(), before);
    EXPECT_TRUE(button_->isPulsing()) << "the overlay stays as it was";
    window_->addSubview(root_->view());
}

TEST_F(ReviewTest, RemindLaterRestartsTheWaitingPeriod) {
    bringToPulse();
    auto ask = tapOverlay();
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->backToViewController(), root_);
    ask->goRemind(nullptr);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "the dialog closed";
    EXPECT_TRUE(defaults().objectForKey("review_install_time_v2").isNull());
    EXPECT_TRUE(defaults().objectForKey("review_never_ask_v2").isNull());

    settle(TWKReviewPopupButton::kSpacing);
    checkAndDecide();
    EXPECT_FALSE(button_->isPulsing()) << "the next decision restarts the wait and hides the pulse";
    EXPECT_NEAR(defaults().doubleForKey("review_install_time_v2"), clock_->now(), 0.2);
    settle(TWKReviewPopupButton::kSpacing);
    checkAndDecide();
    EXPECT_TRUE(button_->isPulsing());
}

TEST_F(ReviewTest, NeverAskStopsEveryLaterCheck) {
    bringToPulse();
    auto ask = tapOverlay();
    ASSERT_TRUE(ask);
    ask->goNeverAsk(nullptr);
    settle(1);
    EXPECT_EQ(defaults().stringForKey("review_never_ask_v2"), "1");
    EXPECT_DOUBLE_EQ(defaults().doubleForKey("lastReviewAsk_v2"), 0.0);
    const int64_t before = launches();
    for (int i = 0; i < 3; ++i) {
        settle(TWKReviewPopupButton::kSpacing);
        checkAndDecide();
        EXPECT_FALSE(button_->isPulsing());
    }
    EXPECT_EQ(launches(), before) << "no decision runs any more";
}

TEST_F(ReviewTest, RateOpensTheStoreLinkWithLocaleAndNeverAsksAgain) {
    useInfoPlist(
        "<key>twk-shortlink-free</key><string>qmstore://app/42</string>"
        "<key>twk-weblink</key><string>qmstore://web</string>");
    defaults().setString("AppleLocale", "fr_FR");
    std::vector<std::string> opened;
    ui::Application::shared().registerURLHandler("qmstore", [&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    bringToPulse();
    auto ask = tapOverlay();
    ASSERT_TRUE(ask);
    ask->goLikeApp(nullptr);
    settle(1);
    EXPECT_EQ(opened, std::vector<std::string>{"qmstore://app/42,fr_FR"});
    EXPECT_EQ(defaults().stringForKey("review_never_ask_v2"), "1");
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    settle(TWKReviewPopupButton::kSpacing);
    checkAndDecide();
    EXPECT_FALSE(button_->isPulsing());
}

TEST_F(ReviewTest, ProblemOpensTheReportPageAndStoresNothing) {
    bringToPulse();
    auto ask = tapOverlay();
    ASSERT_TRUE(ask);
    const pf::Value before = defaults().dictionaryRepresentation();
    ask->goNotLikeApp(nullptr);
    settle(2);
    auto report = std::dynamic_pointer_cast<TWKReportIntroViewController>(root_->presentedViewController());
    ASSERT_TRUE(report) << "presented once the dialog is gone";
    EXPECT_EQ(defaults().dictionaryRepresentation(), before);
    settle(TWKReviewPopupButton::kSpacing);
    root_->dismissViewControllerAnimated(false);
    checkAndDecide();
    EXPECT_TRUE(button_->isPulsing()) << "nothing stored: the pulse goes on";
}

TEST_F(ReviewTest, DialogTextsComeFromTheFrameworkTable) {
    auto ask = TWKMoreAppsBaseViewController::create<TWKReviewAsk>();
    EXPECT_EQ(ask->labelTitle()->text(), "Do you enjoy this app? A few words from you help a lot.");
    EXPECT_EQ(ask->buttonILike()->titleForState(ui::kControlStateNormal), "I like it, let me rate it");
    EXPECT_EQ(ask->buttonProblem()->titleForState(ui::kControlStateNormal), "Something does not work");
    EXPECT_EQ(ask->buttonRemind()->titleForState(ui::kControlStateNormal), "Remind me later");
    EXPECT_EQ(ask->buttonNeverAsk()->titleForState(ui::kControlStateNormal), "Never ask again");
    EXPECT_EQ(ask->viewContainer()->superview(), ask->viewScrollview());
    EXPECT_EQ(ask->viewScrollview()->contentSize(), ask->viewContainer()->bounds().size);
    EXPECT_EQ(ask->view()->backgroundColor(), TWKButtonDark::globalColorBG());
    EXPECT_EQ(ask->labelTitle()->textColor(), TWKButtonDark::globalColorText());
}

TEST_F(ReviewTest, TheOlderNeverFlagStopsThePulseButNotTheCounter) {
    defaults().setString("review_never_ask", "whatever");
    for (int i = 0; i < 9; ++i) {
        checkAndDecide();
        EXPECT_FALSE(button_->isPulsing());
        settle(TWKReviewPopupButton::kSpacing);
    }
    EXPECT_EQ(launches(), 9);
    EXPECT_TRUE(defaults().objectForKey("review_install_time_v2").isNull());
}

TEST_F(ReviewTest, EveryButtonGetsItsOwnOverlay) {
    auto second = std::make_shared<TWKReviewPopupButton>(ui::Rect{10, 410, 44, 44});
    second->setImage(image_);
    root_->view()->addSubview(second);
    defaults().setInteger("review_nb_launches", 8);
    defaults().setDouble("review_install_time_v2", clock_->now() - 100);
    checkAndDecide();
    ASSERT_TRUE(button_->isPulsing());
    defaults().setDouble("lastReviewAsk_v2", 0);
    second->checkReviewTime(root_);
    settle(5.1);
    EXPECT_TRUE(second->isPulsing()) << "the second button builds its own overlay";
    EXPECT_NE(second->btOverlay(), button_->btOverlay());
    EXPECT_TRUE(button_->isPulsing());
}

TEST_F(ReviewTest, EndingThePulseKeepsAnImageSetMeanwhile) {
    bringToPulse();
    auto other = platform::graphics::Image::named("settingsgray.png");
    ASSERT_TRUE(other);
    button_->setImage(other);
    button_->hideBtnOverlay();
    EXPECT_EQ(button_->imageForState(ui::kControlStateNormal), other);
    EXPECT_EQ(button_->originalImageBackup(), image_) << "kept, not put back";
    EXPECT_FALSE(button_->isPulsing());
}

TEST_F(ReviewTest, TheButtonDoesNotKeepItsScreenAlive) {
    bringToPulse();
    std::weak_ptr<ui::ViewController> weak = root_;
    auto view = root_->view();
    ui::setRootViewController(*window_, std::make_shared<RootScreen>());
    root_.reset();
    settle(1);
    EXPECT_TRUE(weak.expired());
    button_->reviewButtonPressed(nullptr);  // no screen left to present from: nothing happens
}

TEST_F(ReviewTest, PulseGoesOnAfterAnotherPulsingDecision) {
    bringToPulse();
    for (double offset : {0.5, 1.5}) {  // during a swell, then during a shrink
        settle(offset);
        checkAndDecide();
        ASSERT_TRUE(button_->isPulsing());
        auto shown = [&] { return button_->ivCircle()->layer()->presentationLayer()->transform().a; };
        double lo = 10, hi = 0;
        for (int i = 0; i < 60; ++i) {
            settle(0.05);
            lo = std::min(lo, shown());
            hi = std::max(hi, shown());
        }
        EXPECT_LT(lo, 1.05) << offset;
        EXPECT_GT(hi, 1.35) << offset << ": the circle still swells";
        settle(TWKReviewPopupButton::kSpacing);
    }
}

TEST_F(ReviewTest, EndingThePulseStopsTheCircle) {
    bringToPulse();
    for (double offset : {0.5, 1.0}) {  // during a swell, then during a shrink
        settle(offset);
        auto circle = button_->ivCircle();
        ASSERT_TRUE(circle->layer()->hasAnimations());
        button_->hideBtnOverlay();
        EXPECT_EQ(circle->superview(), nullptr);
        // At most the one shrink back to 1.0 that a cut swell starts; nothing after it.
        settle(TWKReviewPopupButton::kPulseHalf + 0.1);
        EXPECT_FALSE(circle->layer()->hasAnimations()) << offset;
        EXPECT_DOUBLE_EQ(circle->transform().a, 1.0);
        settle(3);
        EXPECT_FALSE(circle->layer()->hasAnimations()) << offset << ": no further swell";
        // Back to pulsing for the next round.
        settle(TWKReviewPopupButton::kSpacing);
        checkAndDecide();
        ASSERT_TRUE(button_->isPulsing());
    }
}
