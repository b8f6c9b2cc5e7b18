// The main screen's information button: it opens the information area, Done
// closes it, and the same button runs the review check after each refresh on
// appearing and on returning to the foreground.
#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TWKReviewAsk.h"
#include "framework/TWKReviewPopupButton.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/TabBarController.h"
#include "tests/app/main_test_support.h"

using namespace qmtest;
using platform::graphics::Point;

namespace {

class MainInfoTest : public ScreenFixture {
protected:
    // A finger down and up at the centre of `view`, through the window, on
    // the laid-out screen a user would see.
    void tap(const std::shared_ptr<pu::View>& view) {
        window_->layoutIfNeeded();
        const auto b = view->bounds();
        const Point p = view->convertPointTo({b.width() / 2, b.height() / 2}, window_.get());
        window_->sendPointer(pu::PointerPhase::Down, p);
        window_->sendPointer(pu::PointerPhase::Up, p);
    }
    static pf::UserDefaults& defaults() { return pf::UserDefaults::standard(); }
    static int64_t launches() { return defaults().integerForKey("review_nb_launches"); }
    static double lastAsk() { return defaults().doubleForKey("lastReviewAsk_v2"); }
};

std::shared_ptr<TWKMoreAppsBaseViewController> rootOf(const std::shared_ptr<pu::ViewController>& tab) {
    auto nav = std::dynamic_pointer_cast<pu::NavigationController>(tab);
    return nav ? std::dynamic_pointer_cast<TWKMoreAppsBaseViewController>(nav->viewControllers().front()) : nullptr;
}

}  // namespace

TEST_F(MainInfoTest, TheInformationButtonOpensTheAreaAndDoneClosesIt) {
    auto vc = showMain();
    auto button = vc->outlet<TWKReviewPopupButton>("buttonMoreApps");
    ASSERT_NE(button, nullptr);
    EXPECT_NE(button->imageForState(pu::kControlStateNormal), nullptr);

    tap(button);
    pf::RunLoop::main().runFor(1.0);
    auto tabs = std::dynamic_pointer_cast<TWKMoreInfoTabBarController>(vc->presentedViewController());
    ASSERT_NE(tabs, nullptr) << "the area is presented by the main screen";
    ASSERT_EQ(tabs->viewControllers().size(), 3u);
    const std::vector<std::pair<std::string, int64_t>> expected = {{"Feedback", 3}, {"More apps", 2}, {"About", 1}};
    for (size_t i = 0; i < 3; ++i) {
        auto item = pu::tabBarItem(*tabs->viewControllers()[i]);
        EXPECT_EQ(item->title(), expected[i].first);
        EXPECT_EQ(item->tag(), expected[i].second);
        auto screen = rootOf(tabs->viewControllers()[i]);
        ASSERT_NE(screen, nullptr);
        EXPECT_EQ(screen->backToViewController(), vc);
        ASSERT_NE(screen->moreInfoParent(), nullptr);
        EXPECT_EQ(screen->moreInfoParent()->delegate(), std::dynamic_pointer_cast<TWKMoreInfoDelegate>(vc))
            << "the main screen is the area's delegate";
    }
    EXPECT_EQ(tabs->selectedIndex(), 0);

    // The More-apps tab carries Done.
    tap(tabs->tabBar());  // the middle of the bar is the second of three items
    pf::RunLoop::main().runFor(0.5);
    ASSERT_EQ(tabs->selectedIndex(), 1);
    auto nav = std::dynamic_pointer_cast<pu::NavigationController>(tabs->selectedViewController());
    auto done = nav->navigationBar()->leftButton();
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->titleForState(pu::kControlStateNormal), "Done");
    tap(done);
    pf::RunLoop::main().runFor(1.0);
    EXPECT_EQ(vc->presentedViewController(), nullptr) << "the whole area closed, not only the tab";
    EXPECT_NE(vc->levelTimer(), nullptr) << "the main screen is back in view";
}

TEST_F(MainInfoTest, BothInterfaceFilesConnectTheButtonToTheArea) {
    for (const char* file : {"MainView", "MainView-iPad"}) {
        SCOPED_TRACE(file);
        auto vc = std::make_shared<MainViewController>(file);
        show(vc, 0.5);
        auto button = vc->outlet<TWKReviewPopupButton>("buttonMoreApps");
        ASSERT_NE(button, nullptr) << "the outlet takes a review button";
        button->sendActionsForControlEvents(pu::kControlEventTouchUpInside);
        pf::RunLoop::main().runFor(1.0);
        EXPECT_NE(std::dynamic_pointer_cast<TWKMoreInfoTabBarController>(vc->presentedViewController()), nullptr);
        vc->dismissViewControllerAnimated(false);
        pf::RunLoop::main().runFor(0.5);
    }
}

TEST_F(MainInfoTest, TheReviewCheckRunsEachTimeTheScreenHasAppeared) {
    const double shown = clock_->now();
    auto vc = showMain(1.0);
    EXPECT_DOUBLE_EQ(lastAsk(), shown) << "the spacing test passed and stored its time";
    EXPECT_EQ(launches(), 0) << "the decision waits 5 s";
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay);
    EXPECT_EQ(launches(), 1);

    // Gone and back within a minute: the spacing test stops it.
    vc->viewWillDisappear(false);
    vc->viewDidDisappear(false);
    vc->viewWillAppear(false);
    vc->viewDidAppear(false);
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay + 1);
    EXPECT_EQ(launches(), 1);
    EXPECT_DOUBLE_EQ(lastAsk(), shown);

    pf::RunLoop::main().runFor(TWKReviewPopupButton::kSpacing);
    vc->viewWillDisappear(false);
    vc->viewDidDisappear(false);
    vc->viewWillAppear(false);
    const double again = clock_->now();
    vc->viewDidAppear(false);
    EXPECT_DOUBLE_EQ(lastAsk(), again);
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay + 0.5);
    EXPECT_EQ(launches(), 2);
}

TEST_F(MainInfoTest, TheReviewCheckFollowsTheRefreshOnReturnToTheForeground) {
    auto vc = showMain(1.0);
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay);
    ASSERT_EQ(launches(), 1);
    const double first = lastAsk();

    // Within the minute: the figures refresh, the review check is spaced out.
    battery_->set(0.5f, pu::BatteryState::Charging);
    vc->comingBackfromBackground();
    EXPECT_EQ(vc->label("labelPercentage")->text(), "50 %");
    EXPECT_DOUBLE_EQ(lastAsk(), first);
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay + 1);
    EXPECT_EQ(launches(), 1);

    pf::RunLoop::main().runFor(TWKReviewPopupButton::kSpacing);
    battery_->set(0.25f, pu::BatteryState::Charging);
    const double back = clock_->now();
    vc->comingBackfromBackground();
    EXPECT_EQ(vc->label("labelPercentage")->text(), "25 %");
    EXPECT_DOUBLE_EQ(lastAsk(), back);
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay + 0.5);
    EXPECT_EQ(launches(), 2);
}

TEST_F(MainInfoTest, AReviewDueMakesTheButtonPulseAndATapAsksInsteadOfOpeningTheArea) {
    defaults().setInteger("review_nb_launches", 7);
    defaults().setDouble("review_install_time_v2", clock_->now() - 100);
    auto vc = showMain(1.0);
    auto button = vc->outlet<TWKReviewPopupButton>("buttonMoreApps");
    EXPECT_FALSE(button->isPulsing());
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kDelay);
    EXPECT_EQ(launches(), 8);
    ASSERT_TRUE(button->isPulsing());
    EXPECT_EQ(button->parentController(), vc);
    EXPECT_EQ(button->imageForState(pu::kControlStateNormal), nullptr) << "the pulse replaces the image";

    tap(button);
    pf::RunLoop::main().runFor(1.0);
    auto ask = std::dynamic_pointer_cast<TWKReviewAsk>(vc->presentedViewController());
    ASSERT_NE(ask, nullptr) << "the overlay takes the tap";
    ask->goNeverAsk(nullptr);
    pf::RunLoop::main().runFor(1.0);
    EXPECT_EQ(vc->presentedViewController(), nullptr);

    // Never again: the next appearance ends the pulse and the button opens the area.
    pf::RunLoop::main().runFor(TWKReviewPopupButton::kSpacing);
    vc->viewDidAppear(false);
    EXPECT_FALSE(button->isPulsing());
    EXPECT_NE(button->imageForState(pu::kControlStateNormal), nullptr) << "its own image is back";
    tap(button);
    pf::RunLoop::main().runFor(1.0);
    EXPECT_NE(std::dynamic_pointer_cast<TWKMoreInfoTabBarController>(vc->presentedViewController()), nullptr);
}
