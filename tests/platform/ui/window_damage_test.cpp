// Damage tracking: a window that recomposes only what changed shows exactly
// the picture of a full composition, and redraws only near the change.
#include <algorithm>
#include <cmath>

#include "platform/ui/Compositor.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;

namespace {

std::shared_ptr<View> box(Rect frame, Color c) {
    auto v = std::make_shared<View>(frame);
    v->setBackgroundColor(c);
    return v;
}

std::shared_ptr<Image> checker(Color a, Color b) {
    auto ctx = Context::beginImageContext({6, 6}, false, 2);
    ctx->setFillColor(a);
    ctx->fillRect({0, 0, 6, 6});
    ctx->setFillColor(b);
    ctx->fillRect({0, 0, 3, 3});
    ctx->fillRect({3, 3, 3, 3});
    return ctx->image();
}

class Damage : public OnManualClock {
protected:
    void SetUp() override {
        OnManualClock::SetUp();
        win = makeWindow(64, 48, 2);
        back = box({0, 0, 64, 48}, Color::rgba(0.2, 0.4, 0.6));
        win->addSubview(back);
        mover = box({3.3, 4.6, 7.5, 6.25}, Color::rgba(1, 0.5, 0, 0.8));
        back->addSubview(mover);
        group = box({30, 6, 20, 16}, Color::rgba(0, 1, 0));
        group->setAlpha(0.6f);
        inner = box({4, 4, 20, 6}, Color::rgba(1, 0, 1));
        group->addSubview(inner);
        back->addSubview(group);
        clipper = box({6, 26, 22, 16}, Color::black());
        clipper->layer()->setCornerRadius(5);
        clipper->setClipsToBounds(true);
        clipped = box({-4, -4, 14, 14}, Color::rgba(1, 1, 0));
        clipper->addSubview(clipped);
        back->addSubview(clipper);
        picture = std::make_shared<ImageView>(checker(Color::whiteColor(), Color::rgba(1, 0, 0)));
        picture->setFrame({40, 30, 9, 9});
        picture->layer()->setBorderWidth(1);
        picture->layer()->setBorderColor(Color::rgba(0, 0, 1));
        back->addSubview(picture);
        label = std::make_shared<Label>(Rect{2, 14, 26, 10});
        label->setText("Ab");
        back->addSubview(label);
        win->composedImage();
    }

    // The window's picture (after whatever it redrew) against a full composition.
    void expectSameAsFull(const char* step, bool partial = true) {
        SCOPED_TRACE(step);
        auto shown = win->composedImage();
        if (partial) {
            ASSERT_FALSE(win->lastDamage().empty());
            double area = 0;
            for (auto& r : win->lastDamage()) area += r.width() * r.height();
            EXPECT_LT(area, 128.0 * 96 * 0.6) << "redrew most of the window";
        }
        auto full = Compositor::compose(*win->layer(), win->bounds().size, win->scale(), currentMediaTime());
        ASSERT_EQ(shown->pixelWidth(), full->pixelWidth());
        int differing = 0;
        for (int y = 0; y < full->pixelHeight(); ++y)
            for (int x = 0; x < full->pixelWidth(); ++x)
                if (!(shown->pixelAt(x, y) == full->pixelAt(x, y)) && differing++ < 3)
                    ADD_FAILURE() << "pixel " << x << "," << y << " differs";
        EXPECT_EQ(differing, 0);
    }

    std::shared_ptr<Window> win;
    std::shared_ptr<View> back, mover, group, inner, clipper, clipped;
    std::shared_ptr<ImageView> picture;
    std::shared_ptr<Label> label;
};

}  // namespace

TEST_F(Damage, PartialRecompositionMatchesAFullOne) {
    mover->setCenter({12.7, 9.1});
    expectSameAsFull("move");
    auto held = win->composedImage();  // a holder keeps its picture; the next one starts from a copy
    group->setAlpha(0.3f);
    expectSameAsFull("group opacity");
    EXPECT_NE(win->composedImage(), held);
    inner->setHidden(true);
    expectSameAsFull("hidden inside a group");
    inner->setHidden(false);
    inner->setCenter({6, 12});
    expectSameAsFull("shown and moved");
    clipped->setCenter({20, 12});
    expectSameAsFull("moved under a rounded clip");
    clipper->setClipsToBounds(false);
    expectSameAsFull("clip off");
    clipped->removeFromSuperview();
    expectSameAsFull("sublayer removed");
    picture->setTransform(AffineTransform::rotation(0.3));
    expectSameAsFull("rotated");
    picture->setImage(checker(Color::black(), Color::rgba(0, 1, 0)));
    expectSameAsFull("new contents");
    back->bringSubviewToFront(mover.get());
    mover->setCenter({34, 10});
    expectSameAsFull("reordered over the group");
    label->setText("Cd");
    expectSameAsFull("text drawn again");
    View::animate(1.0, [&] {
        mover->setCenter({50, 40});
        group->setAlpha(1);
    });
    for (int i = 0; i < 4; ++i) {
        runFor(0.25);
        expectSameAsFull("animation frame", false);
    }
    group->removeFromSuperview();
    expectSameAsFull("subtree removed");
}

TEST_F(Damage, RedrawsOnlyAroundTheChange) {
    mover->setCenter({10, 10});
    win->composedImage();
    mover->setCenter({11, 10});
    win->composedImage();
    ASSERT_EQ(win->lastDamage().size(), 1u);
    Rect d = win->lastDamage()[0];
    // Old and new place of a 7.5 x 6.25 box at scale 2, a pixel around.
    EXPECT_LE(d.width(), (7.5 + 1) * 2 + 4);
    EXPECT_LE(d.height(), 6.25 * 2 + 4);
    EXPECT_TRUE(d.contains({20, 20}));
    // Nothing that shows changed: the same picture, nothing redrawn.
    auto before = win->composedImage();
    mover->setCenter({11, 10});
    inner->setNeedsLayout();
    EXPECT_EQ(win->composedImage(), before);
    EXPECT_TRUE(win->lastDamage().empty());
    // The presenter's share: everything since it last looked, once.
    win->takeDamage();
    mover->setCenter({20, 10});
    win->composedImage();
    label->setAlpha(0.5f);
    win->composedImage();
    auto pending = win->takeDamage();
    auto covered = [&](Point p) {
        return std::any_of(pending.begin(), pending.end(), [&](const Rect& r) { return r.contains(p); });
    };
    EXPECT_TRUE(covered({2 * 20, 2 * 10}));  // where the box went
    EXPECT_TRUE(covered({2 * 15, 2 * 20}));  // the label
    EXPECT_FALSE(covered({2 * 60, 2 * 45}));
    EXPECT_TRUE(win->takeDamage().empty());
}
