// Geometry, transforms and colours as callers read them.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/graphics/AffineTransform.h"
#include "platform/graphics/Color.h"

using namespace platform::graphics;

TEST(Geometry, RectsIntersectUniteAndContainHalfOpen) {
    Rect a{0, 0, 10, 10}, b{5, 5, 10, 10};
    EXPECT_EQ(a.intersection(b), (Rect{5, 5, 5, 5}));
    EXPECT_EQ(a.unionWith(b), (Rect{0, 0, 15, 15}));
    EXPECT_TRUE(a.intersection(Rect{10, 0, 5, 5}).isEmpty());
    EXPECT_TRUE(a.contains({0, 0}));
    EXPECT_FALSE(a.contains({10, 5}));
    EXPECT_EQ((Rect{10, 10, -4, -4}).standardized(), (Rect{6, 6, 4, 4}));
    EXPECT_EQ((Rect{0.5, 0.5, 1, 1}).integral(), (Rect{0, 0, 2, 2}));
    EXPECT_EQ(a.insetBy(EdgeInsets{1, 2, 3, 4}), (Rect{2, 1, 4, 6}));
}

TEST(Geometry, TransformsConcatInOrderAndInvert) {
    auto t = AffineTransform::scale(2, 3).concat(AffineTransform::translation(10, 20));
    EXPECT_EQ(t.apply(Point{1, 1}), (Point{12, 23}));
    Point back = t.inverted().apply(Point{12, 23});
    EXPECT_NEAR(back.x, 1, 1e-12);
    EXPECT_NEAR(back.y, 1, 1e-12);
    Point r = AffineTransform::rotation(M_PI / 2).apply(Point{1, 0});
    EXPECT_NEAR(r.x, 0, 1e-12);
    EXPECT_NEAR(r.y, 1, 1e-12);  // clockwise on a y-down screen
    Rect box = AffineTransform::rotation(M_PI / 4).apply(Rect{-1, -1, 2, 2});
    EXPECT_NEAR(box.width(), 2 * std::sqrt(2.0), 1e-12);
}

TEST(Geometry, ColoursKeepTheirSpaceAndComponentCount) {
    Color grey = Color::white(0.25, 0.5);
    EXPECT_EQ(grey.numberOfComponents(), 2u);
    EXPECT_EQ(grey.component(0), 0.25);
    EXPECT_EQ(grey.alpha(), 0.5);
    EXPECT_EQ(grey.blueValue(), 0.25);
    Color rgb = Color::rgb255(3, 169, 244);
    EXPECT_EQ(rgb.numberOfComponents(), 4u);
    EXPECT_DOUBLE_EQ(rgb.component(1), 169 / 255.0);
    EXPECT_EQ(rgb.withAlpha(0.5).alpha(), 0.5);
    EXPECT_EQ(Color::black().numberOfComponents(), 2u);
    EXPECT_EQ(Color::red().numberOfComponents(), 4u);
    EXPECT_TRUE(Color::clear().isClear());
    Color mid = Color::interpolate(Color::white(0), Color::white(1), 0.5);
    EXPECT_EQ(mid.numberOfComponents(), 2u);
    EXPECT_EQ(mid.component(0), 0.5);
}
