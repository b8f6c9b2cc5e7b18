// The information area: tab order, tags and titles, the short link, the
// missing-key alerts, Done closing the whole area, and snapshots of each tab.
#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TWKMoreInfo.h"
#include "framework/TWKOneApp.h"
#include "info_support.h"
#include "platform/foundation/Dispatch.h"
#include "platform/ui/NavigationController.h"

using namespace infotest;

namespace {

class BackListener : public RootScreen, public TWKBackFromMoreApps {
public:
    int backs = 0;
    void backFromMoreApps() override { ++backs; }
};

class InfoAreaTest : public InfoTest {
protected:
    // A tab's background work (the list request, the logo frames) has
    // reached the main thread and the screen shows its outcome.
    void finishBackgroundWork() {
        for (int round = 0; round < 3; ++round) {
            settle();
            pf::dispatch::drainGlobalQueues();
        }
        settle();
    }
    std::shared_ptr<TWKMoreInfoTabBarController> open(const std::shared_ptr<ui::ViewController>& from) {
        auto info = std::make_shared<TWKMoreInfo>();
        info->setDelegate(std::dynamic_pointer_cast<TWKMoreInfoDelegate>(from));
        auto tabs = info->showFromController(from);
        settle(1);
        return tabs;
    }
    static std::shared_ptr<TWKMoreAppsBaseViewController> screenOf(const std::shared_ptr<ui::ViewController>& tab) {
        auto nav = std::dynamic_pointer_cast<ui::NavigationController>(tab);
        return nav ? std::dynamic_pointer_cast<TWKMoreAppsBaseViewController>(nav->topViewController()) : nullptr;
    }
};

}  // namespace

TEST_F(InfoAreaTest, TabsComeInOrderWithTheirTagsTitlesAndOwnColours) {
    auto tabs = open(root_);
    ASSERT_EQ(root_->presentedViewController(), tabs);
    ASSERT_EQ(tabs->viewControllers().size(), 3u);
    const std::vector<std::pair<std::string, int64_t>> expected = {{"Feedback", 3}, {"More apps", 2}, {"About", 1}};
    for (size_t i = 0; i < 3; ++i) {
        auto item = ui::tabBarItem(*tabs->viewControllers()[i]);
        EXPECT_EQ(item->title(), expected[i].first);
        EXPECT_EQ(item->tag(), expected[i].second);
        EXPECT_TRUE(item->image()) << "tab image from the framework bundle";
        EXPECT_TRUE(item->keepsOriginalColors());
        auto screen = screenOf(tabs->viewControllers()[i]);
        ASSERT_TRUE(screen);
        EXPECT_EQ(screen->backToViewController(), root_);
        EXPECT_TRUE(screen->moreInfoParent());
        EXPECT_EQ(screen->view()->backgroundColor(), TWKButtonDark::globalColorBG());
    }
    EXPECT_EQ(tabs->selectedIndex(), 0);
    EXPECT_EQ(tabs->tabBar()->items().size(), 3u);
    EXPECT_TRUE(alertTitles().empty()) << "the bundle has both links";
}

TEST_F(InfoAreaTest, AnOptionControllerComesFirst) {
    auto info = std::make_shared<TWKMoreInfo>();
    auto extra = std::make_shared<ui::ViewController>();
    info->setOptionController(extra);
    auto tabs = info->showFromController(root_);
    ASSERT_EQ(tabs->viewControllers().size(), 4u);
    EXPECT_EQ(tabs->viewControllers()[0], extra);
}

TEST_F(InfoAreaTest, ShortLinkWithAndWithoutLocale) {
    pf::UserDefaults::standard().setString("AppleLocale", "de_CH");
    EXPECT_EQ(TWKMoreInfo::getAppShortlinkWithLocale(false), "https://tarnowick.example/s/quenmira");
    EXPECT_EQ(TWKMoreInfo::getAppShortlinkWithLocale(true), "https://tarnowick.example/s/quenmira,de_CH");
    useInfoPlist("<key>CFBundleIdentifier</key><string>x</string>");
    EXPECT_EQ(TWKMoreInfo::getAppShortlinkWithLocale(false), "MISSING_KEY_FOR_APP_SHORT_LINK");
    EXPECT_EQ(TWKMoreInfo::getAppShortlinkWithLocale(true), "MISSING_KEY_FOR_APP_SHORT_LINK,de_CH");
}

TEST_F(InfoAreaTest, MissingLinksAreReportedAndTheAreaOpensAnyway) {
    useInfoPlist("<key>CFBundleIdentifier</key><string>x</string>");
    auto tabs = open(root_);
    EXPECT_EQ(root_->presentedViewController(), tabs);
    EXPECT_EQ(alertTitles(), (std::vector<std::string>{"Missing Weblink", "Missing ShortLinkFree"}));
}

TEST_F(InfoAreaTest, DoneClosesTheWholeAreaAndTellsAListeningPresenter) {
    auto listener = std::make_shared<BackListener>();
    ui::setRootViewController(*window_, listener);
    settle(0.1);
    auto tabs = open(listener);
    tabs->setSelectedIndex(2);
    settle(0.1);
    auto screen = screenOf(tabs->viewControllers()[2]);
    ASSERT_TRUE(screen);
    screen->goBack(nullptr);
    EXPECT_EQ(listener->backs, 0);
    settle(1);
    EXPECT_EQ(listener->presentedViewController(), nullptr) << "the tab bar is gone, not only the tab";
    EXPECT_EQ(listener->backs, 1) << "told after the dismissal";
}

TEST_F(InfoAreaTest, APresenterThatDoesNotListenIsSimplyNotTold) {
    auto tabs = open(root_);
    screenOf(tabs->viewControllers()[0])->goBack(nullptr);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(InfoAreaTest, TheAreaDoesNotKeepItsPresenterAlive) {
    auto presenter = std::make_shared<RootScreen>();
    ui::setRootViewController(*window_, presenter);
    settle(0.1);
    auto tabs = open(presenter);
    std::weak_ptr<RootScreen> weak = presenter;
    // The window lets the presenter go while the area's screens live on.
    ui::setRootViewController(*window_, root_);
    presenter->dismissViewControllerAnimated(false);
    presenter.reset();
    settle(0.1);
    EXPECT_TRUE(weak.expired());
    auto screen = screenOf(tabs->viewControllers()[0]);
    EXPECT_EQ(screen->backToViewController(), nullptr);
    screen->goBack(nullptr);  // nothing left to close: nothing happens
    EXPECT_EQ(screen->moreInfoParent()->delegate(), nullptr);
}

TEST_F(InfoAreaTest, SnapshotsOfEachTab) {
    auto tabs = open(root_);
    const char* names[] = {"info_tab_feedback.png", "info_tab_moreapps.png", "info_tab_about.png"};
    for (int i = 0; i < 3; ++i) {
        tabs->tapItem(size_t(i));
        settle(0.1);
        finishBackgroundWork();
        EXPECT_EQ(tabs->selectedIndex(), i);
        auto nav = std::dynamic_pointer_cast<ui::NavigationController>(tabs->selectedViewController());
        EXPECT_EQ(nav->navigationBar()->titleLabel()->text(), ui::tabBarItem(*nav)->title())
            << "the screens that come later show their titles";
        ASSERT_TRUE(writeSnapshot(names[i]));
    }
}
