// Tab bar controller: items and tags, selection by a tap through the
// delegate's should-select and did-select, programmatic selection, the
// appearance callbacks of the tabs, and the bar's look from the appearance.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/TabBarController.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/RecordingViewController.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

std::vector<std::string> gEvents;

using Tab = qmtest::RecordingViewController;

std::shared_ptr<Tab> tab(const std::string& name, int64_t tag) {
    auto t = std::make_shared<Tab>(name, gEvents);
    setTabBarItem(*t, std::make_shared<TabBarItem>(name, nullptr, tag));
    return t;
}

class Chooser : public TabBarControllerDelegate {
public:
    std::vector<int64_t> refuse;  // tags not to select
    std::vector<std::string> log;
    bool shouldSelectViewController(TabBarController& c, ViewController& vc) override {
        const int64_t t = tabBarItem(vc)->tag();
        log.push_back("should " + std::to_string(t) + " from " + std::to_string(c.selectedIndex()));
        return std::find(refuse.begin(), refuse.end(), t) == refuse.end();
    }
    void didSelectViewController(TabBarController& c, ViewController& vc) override {
        log.push_back("did " + std::to_string(tabBarItem(vc)->tag()) + " at " + std::to_string(c.selectedIndex()));
    }
};

class TabTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        gEvents.clear();
        pf::Clock::setCurrent(clock_);
        window_ = std::make_shared<Window>(Size{300, 480}, 1);
        tabs_ = std::make_shared<TabBarController>();
        a_ = tab("a", 3);
        b_ = tab("b", 2);
        c_ = tab("c", 1);
        tabs_->setViewControllers({a_, b_, c_});
        tabs_->setDelegate(&chooser_);
    }
    void TearDown() override {
        setRootViewController(*window_, nullptr);
        window_.reset();
        pf::RunLoop::main().runUntilIdle();
    }
    void show() {
        setRootViewController(*window_, tabs_);
        window_->makeKeyAndVisible();
        windowDidBecomeVisible(*window_);
        pf::RunLoop::main().runUntilIdle();
        gEvents.clear();
    }
    // A finger on item `i` of the bar.
    void tapItem(size_t i) {
        window_->layoutIfNeeded();
        auto bar = tabs_->tabBar();
        const Rect r = bar->itemRect(i);
        const Point p = bar->convertPointTo({r.midX(), r.midY()}, window_.get());
        window_->sendPointer(PointerPhase::Down, p);
        window_->sendPointer(PointerPhase::Up, p);
    }

    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
    std::shared_ptr<Window> window_;
    std::shared_ptr<TabBarController> tabs_;
    std::shared_ptr<Tab> a_, b_, c_;
    Chooser chooser_;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(TabTest, TheBarShowsTheControllersItemsInOrderAndTheFirstIsSelected) {
    show();
    auto bar = tabs_->tabBar();
    ASSERT_EQ(bar->items().size(), 3u);
    EXPECT_EQ(bar->items()[0]->tag(), 3);
    EXPECT_EQ(bar->items()[2]->title(), "c");
    EXPECT_EQ(tabs_->selectedIndex(), 0);
    EXPECT_EQ(bar->selectedIndex(), 0);
    EXPECT_EQ(tabs_->selectedViewController(), a_);
    EXPECT_TRUE(a_->isAppeared());
    EXPECT_FALSE(b_->isViewLoaded()) << "a tab loads when it is first selected";
    EXPECT_EQ(a_->view()->frame(), (Rect{0, 0, 300, 480 - TabBar::kHeight}));
    EXPECT_EQ(bar->frame(), (Rect{0, 480 - TabBar::kHeight, 300, TabBar::kHeight}));
    EXPECT_EQ(bar->itemRect(1), (Rect{100, 0, 100, TabBar::kHeight}));
    EXPECT_EQ(tabBarController(*b_), tabs_);
}

TEST_F(TabTest, ATapAsksTheDelegateSelectsAndTellsIt) {
    show();
    tapItem(2);
    EXPECT_EQ(chooser_.log, (Strings{"should 1 from 0", "did 1 at 2"}));
    EXPECT_EQ(tabs_->selectedViewController(), c_);
    EXPECT_EQ(tabs_->tabBar()->selectedIndex(), 2);
    EXPECT_EQ(gEvents, (Strings{"a.viewWillDisappear", "a.viewDidDisappear", "c.viewDidLoad", "c.viewWillAppear",
                                "c.viewDidAppear"}));
    EXPECT_EQ(a_->view()->superview(), nullptr);
    EXPECT_EQ(c_->view()->superview(), tabs_->view());
    EXPECT_EQ(c_->view()->frame(), (Rect{0, 0, 300, 480 - TabBar::kHeight}));

    // A refused tab stays unselected and nothing is told.
    chooser_.log.clear();
    gEvents.clear();
    chooser_.refuse = {2};
    tapItem(1);
    EXPECT_EQ(chooser_.log, (Strings{"should 2 from 2"}));
    EXPECT_EQ(tabs_->selectedIndex(), 2);
    EXPECT_TRUE(gEvents.empty());

    // The selected tab again: asked and told, the views stay.
    chooser_.log.clear();
    tapItem(2);
    EXPECT_EQ(chooser_.log, (Strings{"should 1 from 2", "did 1 at 2"}));
    EXPECT_TRUE(gEvents.empty());

    // A disabled item takes no taps.
    chooser_.log.clear();
    tabBarItem(*a_)->setEnabled(false);
    tapItem(0);
    EXPECT_TRUE(chooser_.log.empty());
    EXPECT_EQ(tabs_->selectedIndex(), 2);
}

TEST_F(TabTest, SelectingInCodeSkipsTheDelegateAndIgnoresIndexesOutOfRange) {
    show();
    tabs_->setSelectedIndex(1);
    EXPECT_EQ(tabs_->selectedViewController(), b_);
    EXPECT_EQ(gEvents, (Strings{"a.viewWillDisappear", "a.viewDidDisappear", "b.viewDidLoad", "b.viewWillAppear",
                                "b.viewDidAppear"}));
    tabs_->setSelectedIndex(3);
    tabs_->setSelectedIndex(-1);
    EXPECT_EQ(tabs_->selectedIndex(), 1);
    tabs_->setSelectedViewController(std::make_shared<Tab>("stranger", gEvents));
    EXPECT_EQ(tabs_->selectedIndex(), 1);
    tabs_->setSelectedViewController(c_);
    EXPECT_EQ(tabs_->selectedIndex(), 2);
    EXPECT_TRUE(chooser_.log.empty());
}

TEST_F(TabTest, NewControllersKeepTheSelectedIndexWhenTheyCan) {
    show();
    tabs_->setSelectedIndex(2);
    gEvents.clear();
    auto d = tab("d", 7), e = tab("e", 8), f = tab("f", 9);
    tabs_->setViewControllers({d, e, f});
    EXPECT_EQ(tabs_->selectedViewController(), f);
    EXPECT_EQ(gEvents, (Strings{"c.viewWillDisappear", "c.viewDidDisappear", "f.viewDidLoad", "f.viewWillAppear",
                                "f.viewDidAppear"}));
    EXPECT_EQ(tabBarController(*a_), nullptr) << "the old tabs are released";
    EXPECT_EQ(tabs_->tabBar()->items()[0]->tag(), 7);

    gEvents.clear();
    tabs_->setViewControllers({e});
    EXPECT_EQ(tabs_->selectedViewController(), e) << "out of range: the first";
    EXPECT_EQ(gEvents, (Strings{"f.viewWillDisappear", "f.viewDidDisappear", "e.viewDidLoad", "e.viewWillAppear",
                                "e.viewDidAppear"}));
    EXPECT_EQ(tabs_->tabBar()->selectedIndex(), 0);
}

TEST_F(TabTest, ATabThatIsANavigationStackPassesTheCallbacksToItsTop) {
    auto inner = tab("inner", 0);
    auto nav = std::make_shared<NavigationController>(inner);
    setTabBarItem(*nav, std::make_shared<TabBarItem>("stack", nullptr, 5));
    tabs_->setViewControllers({a_, nav});
    show();
    tabs_->setSelectedIndex(1);
    EXPECT_EQ(gEvents, (Strings{"a.viewWillDisappear", "a.viewDidDisappear", "inner.viewDidLoad",
                                "inner.viewWillAppear", "inner.viewDidAppear"}));
    EXPECT_EQ(tabBarController(*inner), tabs_) << "found through the stack";
    EXPECT_EQ(navigationController(*inner), nav);
    gEvents.clear();
    setRootViewController(*window_, nullptr);
    EXPECT_EQ(gEvents, (Strings{"inner.viewWillDisappear", "inner.viewDidDisappear"}));
}

TEST_F(TabTest, TheBarDrawsItsTintAndTitlesFromTheAppearance) {
    const Color tint = Color::rgb255(3, 169, 244);
    Appearance::forClass(Appearance::kTabBar).setBarTintColor(tint);
    TextAttributes white;
    white.foregroundColor = Color::whiteColor();
    Appearance::forClass(Appearance::kTabBarItem).setTitleTextAttributes(white, kControlStateNormal);
    show();
    auto image = window_->composedImage();
    const int barTop = int(480 - TabBar::kHeight);
    // The bar's tint where nothing is drawn (above the title, between the items' middles).
    auto px = image->pixelAt(50, barTop + 10);
    EXPECT_NEAR(px.r, 3, 2);
    EXPECT_NEAR(px.g, 169, 2);
    EXPECT_NEAR(px.b, 244, 2);
    // Every item's title shows in white (red well above the tint's) in its lower part.
    for (int i = 0; i < 3; ++i) {
        int whites = 0;
        for (int y = barTop + 30; y < 480; ++y)
            for (int x = i * 100; x < (i + 1) * 100; ++x) {
                auto p = image->pixelAt(x, y);
                whites += p.r > 128 && p.g > 200 && p.b > 230;
            }
        EXPECT_GT(whites, 3) << "item " << i;
    }
}
