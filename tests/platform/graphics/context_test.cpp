// Pixel tests of the drawing context: exact colours where the arithmetic is
// exact, the orientation of image draws and masks, gradients, text placement.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/graphics/Context.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::graphics;

namespace {

// A w x h image whose top half is opaque `top` and bottom half opaque `bottom`.
std::shared_ptr<Image> halves(int w, int h, Color top, Color bottom, double scale = 1) {
    auto ctx = Context::beginImageContext({w / scale, h / scale}, false, scale);
    ctx->setFillColor(top);
    ctx->fillRect({0, 0, w / scale, h / scale / 2});
    ctx->setFillColor(bottom);
    ctx->fillRect({0, h / scale / 2, w / scale, h / scale / 2});
    return ctx->image();
}

}  // namespace

TEST(Context, ImageContextHasScaledPixelsAndStartsTransparent) {
    auto ctx = Context::beginImageContext({10, 5}, false, 2);
    EXPECT_EQ(Context::current(), ctx.get());
    ctx->setFillColor(Color::rgba(0, 0, 1));
    ctx->fillRect({0, 0, 5, 5});
    auto img = ctx->image();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixelWidth(), 20);
    EXPECT_EQ(img->pixelHeight(), 10);
    EXPECT_EQ(img->size(), (Size{10, 5}));
    EXPECT_EQ(img->pixelAt(9, 9), (Image::Pixel{255, 0, 0, 255}));
    EXPECT_EQ(img->pixelAt(10, 0), (Image::Pixel{0, 0, 0, 0}));
    ctx.reset();
    EXPECT_EQ(Context::current(), nullptr);
}

TEST(Context, ATakenImageIsTheDrawingItselfAndLaterDrawingMissesIt) {
    auto ctx = Context::beginImageContext({4, 2}, false, 2);
    ctx->setFillColor(Color::rgba(0, 1, 0));
    ctx->fillRect({0, 0, 2, 2});
    auto copy = ctx->image();
    auto taken = ctx->takeImage();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->pixelWidth(), 8);
    EXPECT_EQ(taken->pixelHeight(), 4);
    EXPECT_EQ(taken->scale(), 2);
    EXPECT_EQ(taken->pngData(), copy->pngData());
    ctx->setFillColor(Color::rgba(1, 0, 0));
    ctx->fillRect({0, 0, 4, 2});
    ctx.reset();
    EXPECT_EQ(taken->pixelAt(0, 0), (Image::Pixel{255, 0, 255, 0}));
    EXPECT_EQ(taken->pixelAt(7, 3), (Image::Pixel{0, 0, 0, 0}));
    EXPECT_EQ(Context::current(), nullptr);
}

TEST(Context, OpaqueContextStartsBlackAndScaleZeroUsesTheScreenScale) {
    qmtest::GlobalStateGuard guard;
    Image::setScreenScale(3);
    auto ctx = Context::beginImageContext({2, 2}, true, 0);
    auto img = ctx->image();
    EXPECT_EQ(img->scale(), 3);
    EXPECT_EQ(img->pixelWidth(), 6);
    EXPECT_EQ(img->pixelAt(5, 5), (Image::Pixel{255, 0, 0, 0}));
}

TEST(Context, MultiplyTintsAnImageByItsShading) {
    // A grey shading image multiplied over a colour: each channel scales exactly.
    auto shade = halves(4, 4, Color::white(1), Color::white(0.5));
    auto ctx = Context::beginImageContext({4, 4}, false, 1);
    ctx->setFillColor(Color::rgba(1, 0.5, 0));
    ctx->fillRect({0, 0, 4, 4});
    ctx->setBlendMode(BlendMode::Multiply);
    ctx->drawImage(*shade, {0, 0, 4, 4});
    auto img = ctx->image();
    EXPECT_EQ(img->pixelAt(1, 0), (Image::Pixel{255, 255, 128, 0}));
    Image::Pixel dark = img->pixelAt(1, 3);
    EXPECT_EQ(dark.a, 255);
    EXPECT_NEAR(dark.r, 128, 1);
    EXPECT_NEAR(dark.g, 64, 1);
    EXPECT_EQ(dark.b, 0);
}

TEST(Context, DrawImageIsUprightAndBottomUpIsMirrored) {
    auto img = halves(2, 2, Color::rgba(1, 0, 0), Color::rgba(0, 0, 1));
    auto ctx = Context::beginImageContext({2, 4}, false, 1);
    ctx->drawImage(*img, {0, 0, 2, 2});
    ctx->drawImageBottomUp(*img, {0, 2, 2, 2});
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(0, 0).r, 255);  // upright: red on top
    EXPECT_EQ(out->pixelAt(0, 1).b, 255);
    EXPECT_EQ(out->pixelAt(0, 2).b, 255);  // bottom-up: blue on top
    EXPECT_EQ(out->pixelAt(0, 3).r, 255);
}

TEST(Context, BottomUpDrawInAFlippedContextIsUpright) {
    auto img = halves(2, 2, Color::rgba(1, 0, 0), Color::rgba(0, 0, 1));
    auto ctx = Context::beginImageContext({2, 2}, false, 1);
    ctx->translate(0, 2);
    ctx->scaleBy(1, -1);
    ctx->drawImageBottomUp(*img, {0, 0, 2, 2});
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(1, 0).r, 255);
    EXPECT_EQ(out->pixelAt(1, 1).b, 255);
}

TEST(Context, ClipToMaskLimitsFillsToTheMasksOpaquePart) {
    // Mask: opaque top half, transparent bottom half; mapped bottom-up, so the
    // opaque part covers the bottom of the rectangle.
    auto mask = halves(4, 4, Color::white(1), Color::clear());
    auto ctx = Context::beginImageContext({4, 4}, false, 1);
    ctx->setFillColor(Color::rgba(0, 1, 0));
    ctx->fillRect({0, 0, 4, 4});
    ctx->save();
    ctx->clipToMask({0, 0, 4, 4}, *mask);
    ctx->setFillColor(Color::rgba(1, 0, 0));
    ctx->fillRect({0, 0, 4, 4});
    ctx->restore();
    // After the restore the clip is gone.
    ctx->setFillColor(Color::rgba(0, 0, 1));
    ctx->fillRect({3, 0, 1, 1});
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(0, 0), (Image::Pixel{255, 0, 255, 0}));
    EXPECT_EQ(out->pixelAt(0, 1), (Image::Pixel{255, 0, 255, 0}));
    EXPECT_EQ(out->pixelAt(0, 2), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(out->pixelAt(2, 3), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(out->pixelAt(3, 0), (Image::Pixel{255, 0, 0, 255}));
}

TEST(Context, ClipToMaskThenMultiplyTintsOnlyTheMaskedShape) {
    // The tinting recipe: fill through the mask, then multiply the mask over it.
    auto ctx0 = Context::beginImageContext({4, 4}, false, 1);
    ctx0->setFillColor(Color::white(0.5));
    ctx0->fillRect({0, 0, 4, 2});
    auto mask = ctx0->image();  // grey top half, transparent bottom
    ctx0.reset();
    auto ctx = Context::beginImageContext({4, 4}, false, 1);
    ctx->save();
    ctx->clipToMask({0, 0, 4, 4}, *mask);
    ctx->setFillColor(Color::rgba(1, 1, 0));
    ctx->fillRect({0, 0, 4, 4});
    ctx->restore();
    ctx->setBlendMode(BlendMode::Multiply);
    ctx->drawImageBottomUp(*mask, {0, 0, 4, 4});
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(1, 0).a, 0);  // outside the shape stays clear
    Image::Pixel p = out->pixelAt(1, 3);
    EXPECT_EQ(p.a, 255);
    EXPECT_NEAR(p.r, 128, 1);
    EXPECT_NEAR(p.g, 128, 1);
    EXPECT_EQ(p.b, 0);
}

TEST(Context, LinearGradientHitsItsColoursAtTheStops) {
    // Pixel centres sit exactly on the stops.
    auto ctx = Context::beginImageContext({1, 101}, false, 1);
    ctx->drawLinearGradient({Color::rgba(1, 0, 0), Color::rgba(0, 1, 0), Color::rgba(0, 0, 1)}, {0.0, 0.5, 1.0},
                            {0, 0.5}, {0, 100.5}, kGradientDrawsBeforeStart | kGradientDrawsAfterEnd);
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(0, 0), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(out->pixelAt(0, 50), (Image::Pixel{255, 0, 255, 0}));
    EXPECT_EQ(out->pixelAt(0, 100), (Image::Pixel{255, 0, 0, 255}));
    Image::Pixel mid = out->pixelAt(0, 25);
    EXPECT_NEAR(mid.r, 128, 2);
    EXPECT_NEAR(mid.g, 128, 2);
}

TEST(Context, LinearGradientExtendsOnlyWhereAsked) {
    auto ctx = Context::beginImageContext({1, 30}, false, 1);
    ctx->drawLinearGradient({Color::rgba(1, 0, 0), Color::rgba(0, 0, 1)}, {}, {0, 10}, {0, 20}, kGradientDrawsAfterEnd);
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(0, 5).a, 0);
    EXPECT_EQ(out->pixelAt(0, 25), (Image::Pixel{255, 0, 0, 255}));
}

TEST(Context, TextIsDrawnInsideItsMeasuredSize) {
    Font font = Font::boldSystemFont(20);
    std::string text = "Battery 85%";
    Size s = font.sizeOfText(text);
    ASSERT_GT(s.width, 60);
    ASSERT_GT(s.height, 15);
    for (double scale : {1.0, 2.0}) {
        auto ctx = Context::beginImageContext({s.width + 20, s.height + 20}, false, scale);
        Size drawn = ctx->drawText(text, Rect{10, 10, s.width, s.height}, font, Color::black());
        EXPECT_EQ(drawn, s);
        auto out = ctx->image();
        int minX = 1 << 20, maxX = -1, minY = 1 << 20, maxY = -1;
        for (int y = 0; y < out->pixelHeight(); ++y)
            for (int x = 0; x < out->pixelWidth(); ++x)
                if (out->pixelAt(x, y).a > 0) {
                    minX = std::min(minX, x);
                    maxX = std::max(maxX, x);
                    minY = std::min(minY, y);
                    maxY = std::max(maxY, y);
                }
        ASSERT_GE(maxX, 0);
        // Ink lies within the measured box (a pixel of antialiasing aside)...
        EXPECT_GE(minX, int(std::floor(10 * scale)) - 1);
        EXPECT_LE(maxX, int(std::ceil((10 + s.width) * scale)));
        EXPECT_GE(minY, int(std::floor(10 * scale)));
        EXPECT_LE(maxY, int(std::ceil((10 + s.height) * scale)));
        // ...and fills most of its width.
        EXPECT_GT(maxX - minX, int(0.85 * s.width * scale));
    }
}

TEST(Context, TextWrapsToTheWidthAndStopsAtTheLineLimit) {
    Font font = Font::systemFont(14);
    Size one = font.sizeOfText("word");
    Size wrapped = font.sizeOfText("word word word word word", one.width * 2.5, 0);
    EXPECT_LE(wrapped.width, std::ceil(one.width * 2.5));
    EXPECT_GE(wrapped.height, one.height * 2.5);
    Size two = font.sizeOfText("word word word word word", one.width * 2.5, 2, LineBreakMode::WordWrap);
    EXPECT_NEAR(two.height, 2 * one.height, 1);
    EXPECT_EQ(font.sizeOfText(""), (Size{0, 0}));
    EXPECT_LT(Font::systemFont(10).sizeOfText("abc").width, Font::systemFont(20).sizeOfText("abc").width);
}

TEST(Context, ShadowDrawsABlurredCopyAtItsOffset) {
    auto ctx = Context::beginImageContext({40, 40}, false, 1);
    ctx->setShadow({0, 10}, 4, Color::black());
    ctx->setFillColor(Color::rgba(1, 0, 0));
    ctx->fillRect({10, 5, 20, 10});
    auto out = ctx->image();
    EXPECT_EQ(out->pixelAt(20, 10), (Image::Pixel{255, 255, 0, 0}));  // the shape
    Image::Pixel below = out->pixelAt(20, 22);                        // the shadow under it
    EXPECT_GT(below.a, 100);
    EXPECT_EQ(below.r, 0);
    EXPECT_EQ(out->pixelAt(20, 38).a, 0);
}

TEST(Context, AlphaAndPathsCompose) {
    auto ctx = Context::beginImageContext({10, 10}, false, 1);
    Path p;
    p.addLines({{0, 0}, {10, 0}, {10, 10}});
    p.closeSubpath();
    ctx->setAlpha(0.5);
    ctx->setFillColor(Color::rgba(0, 0, 1));
    ctx->fill(p);
    auto out = ctx->image();
    EXPECT_NEAR(out->pixelAt(8, 2).a, 128, 1);
    EXPECT_EQ(out->pixelAt(1, 8).a, 0);
}
