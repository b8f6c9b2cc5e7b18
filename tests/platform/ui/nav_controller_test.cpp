// Navigation controller: push and pop with the appearance callbacks in the
// platform's order, the bar's title and back button, bar button items,
// containment, a stack that is not on screen, and the bar's look.
#include <gtest/gtest.h>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/RecordingViewController.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

std::vector<std::string> gEvents;

using Page = qmtest::RecordingViewController;

// A page whose navigation item carries `title`.
std::shared_ptr<Page> page(const std::string& tag, const std::string& title = "") {
    auto p = std::make_shared<Page>(tag, gEvents);
    if (!title.empty()) navigationItem(*p)->setTitle(title);
    return p;
}

class NavTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        gEvents.clear();
        pf::Clock::setCurrent(clock_);
        window_ = std::make_shared<Window>(Screen::main().bounds().size, 1);
    }
    void TearDown() override {
        setRootViewController(*window_, nullptr);
        window_.reset();
        pf::RunLoop::main().runFor(2);
    }
    void show(const std::shared_ptr<ViewController>& root) {
        setRootViewController(*window_, root);
        window_->makeKeyAndVisible();
        windowDidBecomeVisible(*window_);
        pf::RunLoop::main().runUntilIdle();
    }
    void tap(const std::shared_ptr<View>& view) {
        window_->layoutIfNeeded();
        const Rect b = view->bounds();
        const Point p = view->convertPointTo({b.width() / 2, b.height() / 2}, window_.get());
        window_->sendPointer(PointerPhase::Down, p);
        window_->sendPointer(PointerPhase::Up, p);
    }
    std::vector<std::string> take() {
        auto e = gEvents;
        gEvents.clear();
        return e;
    }

    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
    std::shared_ptr<Window> window_;
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(NavTest, PushAndPopSendTheAppearanceCallbacksInOrder) {
    auto a = page("a", "Inbox");
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    EXPECT_EQ(take(), (Events{"a.viewDidLoad", "a.viewWillAppear", "a.viewDidAppear"}));
    EXPECT_EQ(parentViewController(*a), nav);
    EXPECT_EQ(navigationController(*a), nav);
    EXPECT_EQ(a->view()->frame(), nav->contentFrame()) << "the top view fills the area under the bar";
    EXPECT_DOUBLE_EQ(nav->contentFrame().y(), NavigationBar::kStatusBarHeight + NavigationBar::kBarHeight);

    auto b = page("b", "Message");
    nav->pushViewController(b, true);
    EXPECT_EQ(take(), (Events{"b.viewDidLoad", "a.viewWillDisappear+", "b.viewWillAppear+"}));
    EXPECT_EQ(nav->topViewController(), b);
    pf::RunLoop::main().runFor(NavigationController::kPushDuration / 2);
    EXPECT_TRUE(take().empty()) << "nothing more while the views slide";
    EXPECT_EQ(a->view()->superview(), nav->view()) << "the old view slides out, still there";
    pf::RunLoop::main().runFor(NavigationController::kPushDuration);
    EXPECT_EQ(take(), (Events{"a.viewDidDisappear+", "b.viewDidAppear+"}));
    EXPECT_EQ(a->view()->superview(), nullptr);
    EXPECT_EQ(b->view()->frame(), nav->contentFrame());

    auto bar = nav->navigationBar();
    EXPECT_EQ(bar->titleLabel()->text(), "Message");
    ASSERT_NE(bar->leftButton(), nullptr);
    EXPECT_EQ(bar->leftButton()->titleForState(kControlStateNormal), "< Inbox") << "back to the previous title";

    // The back button pops, animated.
    tap(bar->leftButton());
    EXPECT_EQ(take(), (Events{"b.viewWillDisappear+", "a.viewWillAppear+"}));
    EXPECT_EQ(bar->titleLabel()->text(), "Inbox");
    EXPECT_EQ(bar->leftButton(), nullptr) << "no back button at the root";
    pf::RunLoop::main().runFor(NavigationController::kPushDuration + 0.1);
    EXPECT_EQ(take(), (Events{"b.viewDidDisappear+", "a.viewDidAppear+"}));
    EXPECT_EQ(nav->viewControllers(), (std::vector<std::shared_ptr<ViewController>>{a}));
    EXPECT_EQ(parentViewController(*b), nullptr);
    EXPECT_EQ(b->view()->superview(), nullptr);
    EXPECT_EQ(a->view()->transform(), platform::graphics::AffineTransform::identity());
    EXPECT_EQ(nav->popViewControllerAnimated(true), nullptr) << "the root stays";
    EXPECT_TRUE(take().empty());
}

TEST_F(NavTest, PopToRootPassesOverTheControllersBetween) {
    auto a = page("a", "A");
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    auto b = page("b", "B");
    auto c = page("c", "C");
    nav->pushViewController(b, false);
    nav->pushViewController(c, false);
    EXPECT_EQ(nav->navigationBar()->leftButton()->titleForState(kControlStateNormal), "< B");
    take();

    auto popped = nav->popToRootViewControllerAnimated(false);
    EXPECT_EQ(popped, (std::vector<std::shared_ptr<ViewController>>{b, c}));
    EXPECT_EQ(take(), (Events{"c.viewWillDisappear", "a.viewWillAppear", "c.viewDidDisappear", "a.viewDidAppear"}))
        << "b was not on screen and hears nothing";
    EXPECT_EQ(parentViewController(*b), nullptr);
    EXPECT_EQ(parentViewController(*c), nullptr);
    EXPECT_TRUE(nav->popToRootViewControllerAnimated(false).empty());
}

TEST_F(NavTest, TheBarShowsItemButtonsBackTitlesAndHidesTheBackButtonOnRequest) {
    auto a = page("a");  // no title
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    auto b = page("b", "Second");
    nav->pushViewController(b, false);
    auto bar = nav->navigationBar();
    EXPECT_EQ(bar->leftButton()->titleForState(kControlStateNormal), "< Back") << "an untitled page is 'Back'";

    nav->popViewControllerAnimated(false);
    auto c = page("c", "Third");
    navigationItem(*c)->setHidesBackButton(true);
    nav->pushViewController(c, false);
    EXPECT_EQ(bar->leftButton(), nullptr);

    // An item's own buttons; Done is a system item with its bold title.
    int done = 0, added = 0;
    auto d = page("d", "Fourth");
    navigationItem(*d)->setLeftBarButtonItem(
        std::make_shared<BarButtonItem>(BarButtonItem::SystemItem::Done, [&] { ++done; }));
    navigationItem(*d)->setRightBarButtonItem(
        std::make_shared<BarButtonItem>(BarButtonItem::SystemItem::Add, [&] { ++added; }));
    nav->pushViewController(d, false);
    ASSERT_NE(bar->leftButton(), nullptr);
    EXPECT_EQ(bar->leftButton()->titleForState(kControlStateNormal), "Done") << "the item's button, not the back one";
    EXPECT_EQ(navigationItem(*d)->leftBarButtonItem()->style(), BarButtonItem::Style::Done);
    tap(bar->leftButton());
    tap(bar->rightButton());
    EXPECT_EQ(done, 1);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(nav->topViewController(), d) << "Done does not pop";

    window_->layoutIfNeeded();
    EXPECT_LT(bar->leftButton()->frame().maxX(), bar->titleLabel()->frame().minX());
    EXPECT_GT(bar->rightButton()->frame().minX(), bar->titleLabel()->frame().maxX());

    navigationItem(*d)->leftBarButtonItem()->setEnabled(false);
    navigationItem(*d)->leftBarButtonItem()->trigger();
    EXPECT_EQ(done, 1) << "a disabled item does nothing";
}

TEST_F(NavTest, PushingAControllerTwiceOrANullOneRaises) {
    auto a = page("a");
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    auto b = page("b");
    nav->pushViewController(b, false);
    for (auto vc :
         {std::shared_ptr<ViewController>(b), std::shared_ptr<ViewController>(a), std::shared_ptr<ViewController>()}) {
        try {
            nav->pushViewController(vc, false);
            ADD_FAILURE() << "no exception";
        } catch (const pf::Exception& e) {
            EXPECT_EQ(e.name(), pf::kInvalidArgumentException);
        }
    }
    auto other = std::make_shared<NavigationController>(page("x"));
    other->view();
    EXPECT_THROW(nav->pushViewController(other->topViewController(), false), pf::Exception)
        << "a controller of another stack";
    EXPECT_EQ(nav->viewControllers().size(), 2u);
}

TEST_F(NavTest, AStackOffScreenChangesQuietlyAndAppearsWithItsTop) {
    auto a = page("a", "A");
    auto nav = std::make_shared<NavigationController>(a);
    nav->pushViewController(page("b", "B"), true);
    EXPECT_TRUE(take().empty()) << "nothing is loaded or told before the stack shows";
    show(nav);
    EXPECT_EQ(take(), (Events{"b.viewDidLoad", "b.viewWillAppear", "b.viewDidAppear"}));
    EXPECT_EQ(nav->navigationBar()->leftButton()->titleForState(kControlStateNormal), "< A");

    // Covered by a presented controller: changes reach no one until it returns.
    auto sheet = page("sheet");
    nav->presentViewController(sheet, false);
    EXPECT_EQ(nav->visibleViewController(), nav->topViewController()) << "the top presents nothing itself";
    take();
    nav->popViewControllerAnimated(true);
    EXPECT_EQ(take(), (Events{"a.viewDidLoad"})) << "put in place, not told it appears";
    EXPECT_EQ(nav->navigationBar()->leftButton(), nullptr);
    nav->dismissViewControllerAnimated(false);
    EXPECT_EQ(take(),
              (Events{"sheet.viewWillDisappear", "a.viewWillAppear", "sheet.viewDidDisappear", "a.viewDidAppear"}));
}

TEST_F(NavTest, SetViewControllersReplacesTheStackAndReleasesTheOldOnes) {
    auto a = page("a", "A");
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    auto b = page("b", "B"), c = page("c", "C");
    take();
    nav->setViewControllers({b, c}, false);
    EXPECT_EQ(take(), (Events{"c.viewDidLoad", "a.viewWillDisappear", "c.viewWillAppear", "a.viewDidDisappear",
                              "c.viewDidAppear"}));
    EXPECT_EQ(parentViewController(*a), nullptr);
    EXPECT_EQ(parentViewController(*b), nav);
    EXPECT_EQ(nav->navigationBar()->titleLabel()->text(), "C");
    EXPECT_FALSE(b->isViewLoaded()) << "a controller under the top loads when it shows";

    std::weak_ptr<NavigationController> weakNav = nav;
    setRootViewController(*window_, nullptr);
    nav.reset();
    EXPECT_TRUE(weakNav.expired());
    EXPECT_EQ(parentViewController(*c), nullptr) << "children outlive their container without a dangling parent";

    auto hidden = std::make_shared<NavigationController>(page("h"));
    hidden->setNavigationBarHidden(true);
    show(hidden);
    EXPECT_TRUE(hidden->navigationBar()->isHidden());
    EXPECT_DOUBLE_EQ(hidden->topViewController()->view()->frame().y(), 0);
}

TEST_F(NavTest, TheBarTakesItsLookFromTheAppearanceUnlessItSetsItsOwn) {
    const Color tint = Color::rgb255(3, 169, 244);
    auto& barLook = Appearance::forClass(Appearance::kNavigationBar);
    barLook.setBarTintColor(tint);
    barLook.setTintColor(Color::whiteColor());
    TextAttributes white;
    white.foregroundColor = Color::whiteColor();
    Appearance::forClass(Appearance::kBarButtonItem).setTitleTextAttributes(white, kControlStateNormal);

    auto a = page("a", "Settings");
    navigationItem(*a)->setLeftBarButtonItem(std::make_shared<BarButtonItem>(BarButtonItem::SystemItem::Done, [] {}));
    auto nav = std::make_shared<NavigationController>(a);
    show(nav);
    auto bar = nav->navigationBar();
    EXPECT_EQ(bar->barTintColor(), tint);
    EXPECT_EQ(bar->leftButton()->titleColorForState(kControlStateNormal), Color::whiteColor());
    EXPECT_EQ(bar->titleLabel()->textColor(), Color::black()) << "no title attributes: the platform's";
    auto px = window_->composedImage()->pixelAt(2, 10);
    EXPECT_NEAR(px.r, 3, 2);
    EXPECT_NEAR(px.g, 169, 2);
    EXPECT_NEAR(px.b, 244, 2);

    bar->setBarTintColor(Color::rgb255(200, 0, 0));
    bar->setBarStyle(BarStyle::Black);
    EXPECT_EQ(bar->titleLabel()->textColor(), Color::whiteColor()) << "a black bar's title";
    px = window_->composedImage()->pixelAt(2, 10);
    EXPECT_NEAR(px.r, 200, 2);
    EXPECT_NEAR(px.g, 0, 2);
}
