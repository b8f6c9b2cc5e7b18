// View geometry, tree and layout.
#include <cmath>

#include "platform/ui/View.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;

namespace {

class Views : public OnManualClock {};

struct Watch : View {
    using View::View;
    int moves = 0;
    Window* seenWindow = nullptr;
    void didMoveToWindow() override {
        ++moves;
        seenWindow = window();
    }
};

}  // namespace

TEST_F(Views, FrameBoundsAndCenterAgree) {
    auto v = std::make_shared<View>(Rect{10, 20, 40, 60});
    EXPECT_EQ(v->bounds(), (Rect{0, 0, 40, 60}));
    EXPECT_EQ(v->center(), (Point{30, 50}));
    v->setCenter({100, 100});
    EXPECT_EQ(v->frame(), (Rect{80, 70, 40, 60}));
    v->setBounds({0, 0, 20, 20});
    EXPECT_EQ(v->frame(), (Rect{90, 90, 20, 20}));
    v->setTransform(AffineTransform::scale(2, 2));
    EXPECT_EQ(v->frame(), (Rect{80, 80, 40, 40}));
    EXPECT_EQ(v->bounds(), (Rect{0, 0, 20, 20}));
    // A changed anchor keeps the centre where the layer's position is.
    auto marker = std::make_shared<View>(Rect{0, 0, 10, 10});
    marker->layer()->setAnchorPoint({1, 1});
    marker->setCenter({52, 22});
    EXPECT_EQ(marker->frame(), (Rect{42, 12, 10, 10}));
}

TEST_F(Views, AutoresizingSharesTheChangeAmongFlexibleParts) {
    auto parent = std::make_shared<View>(Rect{0, 0, 100, 100});
    auto fill = std::make_shared<View>(Rect{10, 10, 80, 80});
    fill->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    auto pinned = std::make_shared<View>(Rect{70, 0, 30, 10});
    pinned->setAutoresizingMask(kAutoresizingFlexibleLeftMargin);
    auto centred = std::make_shared<View>(Rect{40, 40, 20, 20});
    centred->setAutoresizingMask(kAutoresizingFlexibleLeftMargin | kAutoresizingFlexibleRightMargin);
    for (auto& v : {fill, pinned, centred}) parent->addSubview(v);
    parent->setFrame({0, 0, 200, 150});
    EXPECT_EQ(fill->frame(), (Rect{10, 10, 180, 130}));
    EXPECT_EQ(pinned->frame(), (Rect{170, 0, 30, 10}));
    EXPECT_EQ(centred->frame(), (Rect{90, 40, 20, 20}));
    parent->setAutoresizesSubviews(false);
    parent->setFrame({0, 0, 100, 100});
    EXPECT_EQ(fill->frame(), (Rect{10, 10, 180, 130}));
}

TEST_F(Views, TreeOrderTagsAndLayers) {
    auto root = std::make_shared<View>(Rect{0, 0, 100, 100});
    auto a = std::make_shared<View>(), b = std::make_shared<View>(), c = std::make_shared<View>();
    a->setTag(1);
    b->setTag(2);
    c->setTag(3);
    root->addSubview(a);
    root->addSubview(b);
    root->insertSubview(c, 0);
    EXPECT_EQ(root->subviews(), (std::vector<ViewPtr>{c, a, b}));
    EXPECT_EQ(root->layer()->sublayers(), (std::vector<std::shared_ptr<Layer>>{c->layer(), a->layer(), b->layer()}));
    root->bringSubviewToFront(c.get());
    EXPECT_EQ(root->subviews().back(), c);
    EXPECT_EQ(root->layer()->sublayers().back(), c->layer());
    // A foreign sublayer below the views keeps its place.
    auto extra = std::make_shared<Layer>();
    root->layer()->insertSublayer(extra, 0);
    root->sendSubviewToBack(b.get());
    EXPECT_EQ(root->layer()->sublayers()[0], extra);
    EXPECT_EQ(root->layer()->sublayers()[1], b->layer());
    auto deep = std::make_shared<View>();
    deep->setTag(9);
    a->addSubview(deep);
    EXPECT_EQ(root->viewWithTag(9), deep);
    EXPECT_EQ(root->viewWithTag(42), nullptr);
    EXPECT_TRUE(deep->isDescendantOfView(root.get()));
    // Moving a view to another parent takes it out of the first.
    b->addSubview(deep);
    EXPECT_TRUE(a->subviews().empty());
    EXPECT_EQ(deep->superview(), b);
    deep->removeFromSuperview();
    EXPECT_EQ(deep->superview(), nullptr);
    EXPECT_EQ(deep->layer()->superlayer(), nullptr);
}

TEST_F(Views, WindowMembershipIsAnnouncedAndConversionCrossesBoundsOrigins) {
    auto win = makeWindow(100, 100, 2);
    auto container = std::make_shared<View>(Rect{10, 10, 50, 50});
    auto watch = std::make_shared<Watch>(Rect{5, 5, 10, 10});
    container->addSubview(watch);
    EXPECT_EQ(watch->window(), nullptr);
    win->addSubview(container);
    EXPECT_EQ(watch->moves, 1);
    EXPECT_EQ(watch->seenWindow, win.get());
    EXPECT_EQ(watch->contentScaleFactor(), 2);
    container->setBounds({0, 20, 50, 50});  // scrolled by 20
    EXPECT_EQ(watch->convertPointTo({0, 0}, win.get()), (Point{15, -5}));
    EXPECT_EQ(watch->convertRectTo({0, 0, 10, 10}, nullptr), (Rect{15, -5, 10, 10}));
    container->removeFromSuperview();
    EXPECT_EQ(watch->moves, 2);
    EXPECT_EQ(watch->seenWindow, nullptr);
}

TEST_F(Views, TintIsInheritedAndHiddenViewsAreNotHit) {
    auto win = makeWindow(100, 100);
    auto v = std::make_shared<View>(Rect{0, 0, 50, 50});
    win->addSubview(v);
    win->setTintColor(Color::rgb255(3, 169, 244));
    EXPECT_EQ(v->tintColor(), Color::rgb255(3, 169, 244));
    v->setTintColor(Color::red());
    EXPECT_EQ(v->tintColor(), Color::red());
    EXPECT_EQ(win->hitTest({10, 10}, nullptr), v);
    v->setAlpha(0);
    EXPECT_EQ(win->hitTest({10, 10}, nullptr), win);
}
