// The fill layer: the tinted render, the render cache every battery layer
// shares and the passes it schedules, and the glide of level and colour on the manual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "app/BatteryCALayer.h"
#include "app/BatteryImage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
namespace pg = platform::graphics;
namespace pu = platform::ui;

namespace {

class BatteryLayerTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        useScale(1.0);
        pu::Device::current().setHardwareIdentifier("iPhone7,2");
        // The cache lives for the process: each test starts it empty, as a launch does.
        cache().setRenderedKey({});
        cache().setRenderedImage(nullptr);
    }
    static BatteryImage& cache() { return BatteryImage::sharedInstance(); }
    void TearDown() override { pf::RunLoop::main().runUntilIdle(); }
    void useScale(double scale) {
        pg::Image::setScreenScale(scale);
        BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
    }
    std::shared_ptr<BatteryCALayer> makeLayer(pg::Rect bounds, float level, float r, float g, float b) {
        auto layer = std::make_shared<BatteryCALayer>();
        layer->setContentsScale(pg::Image::screenScale());
        layer->setBounds(bounds);
        layer->setLevel(level);
        layer->setRed(r);
        layer->setGreen(g);
        layer->setBlue(b);
        clock_->advance(1.0);  // past the glide
        return layer;
    }
    // One drawing pass when marked, then the main queue's follow-up requests.
    void pass(pu::Layer& layer) {
        layer.displayIfNeeded();
        pf::RunLoop::main().runUntilIdle();
    }
    // Passes until the layer stops asking; the number of passes it took.
    int settle(pu::Layer& layer) {
        pf::RunLoop::main().runUntilIdle();
        int n = 0;
        while (layer.needsDisplay() && n < 10) {
            pass(layer);
            ++n;
        }
        return n;
    }

    std::shared_ptr<pf::ManualClock> clock_;
};

class TintedRender : public BatteryLayerTest, public ::testing::WithParamInterface<double> {};

TEST_P(TintedRender, IsTheColourTimesTheShadingStandingOnTheBottomEdge) {
    const double scale = GetParam();
    useScale(scale);
    const float r = 0.9f, g = 0.5f, b = 0.0f;
    auto layer = makeLayer({0, 0, 140, 213}, 0.5f, r, g, b);
    auto tinted = layer->renderInImageOfSize(layer->bounds());
    ASSERT_NE(tinted, nullptr);
    EXPECT_EQ(tinted->size(), (pg::Size{140, 213}));
    EXPECT_EQ(tinted->scale(), scale);

    auto mask = BatteryImage::sharedInstance().getCombinedImageScaledForBounds(layer->bounds(), 0.5f);
    ASSERT_EQ(mask->size().height, 113);  // 14 + 85 + 14
    const int top = tinted->pixelHeight() - mask->pixelHeight();
    ASSERT_EQ(top, static_cast<int>(100 * scale));

    // Above the fill nothing is drawn.
    for (int y = 0; y < top; y += 5)
        for (int x = 0; x < tinted->pixelWidth(); x += 5) ASSERT_EQ(tinted->pixelAt(x, y).a, 0) << x << "," << y;
    // Where the parts are opaque: colour x grey; where they are clear: nothing.
    int opaque = 0;
    for (int y = 0; y < mask->pixelHeight(); y += 3) {
        for (int x = 0; x < mask->pixelWidth(); x += 3) {
            const auto m = mask->pixelAt(x, y), t = tinted->pixelAt(x, top + y);
            if (m.a == 0) {
                ASSERT_EQ(t.a, 0) << x << "," << y;
            } else if (m.a == 255) {
                ++opaque;
                ASSERT_EQ(t.a, 255);
                ASSERT_NEAR(t.r, r * m.r, 2.0) << x << "," << y;
                ASSERT_NEAR(t.g, g * m.g, 2.0) << x << "," << y;
                ASSERT_NEAR(t.b, b * m.b, 2.0) << x << "," << y;
            }
        }
    }
    EXPECT_GT(opaque, 500);
    // The shading is there: the wall side is darker than the lit middle.
    const int row = top + mask->pixelHeight() / 2;
    EXPECT_LT(tinted->pixelAt(static_cast<int>(10 * scale), row).r,
              tinted->pixelAt(static_cast<int>(42 * scale), row).r);
}

INSTANTIATE_TEST_SUITE_P(Scales, TintedRender, ::testing::Values(1.0, 2.0));

TEST_F(BatteryLayerTest, FourAnimatableKeysRedrawTheLayer) {
    for (const char* key : {"level", "red", "green", "blue"}) {
        EXPECT_TRUE(BatteryCALayer::isMyCustomAnimatedKey(key));
        EXPECT_TRUE(BatteryCALayer().needsDisplayForKey(key));
    }
    EXPECT_FALSE(BatteryCALayer::isMyCustomAnimatedKey("opacity"));
    EXPECT_FALSE(BatteryCALayer::isMyCustomAnimatedKey("Level"));
    auto layer = makeLayer({0, 0, 140, 213}, 0.5f, 1, 0, 0);
    settle(*layer);
    ASSERT_FALSE(layer->needsDisplay());
    layer->setGreen(0.25f);
    EXPECT_TRUE(layer->needsDisplay());
}

TEST_F(BatteryLayerTest, FirstPassDrawsNothingAndTheScheduledOneDrawsThePicture) {
    auto layer = makeLayer({0, 0, 140, 213}, 1.0f, 0.0f, 0.9f, 0.0f);
    ASSERT_TRUE(layer->needsDisplay());
    layer->displayIfNeeded();
    EXPECT_EQ(cache().renderedKey(), "140.000000-213.000000-1.000000-0.000000-0.900000-0.000000");
    ASSERT_NE(cache().renderedImage(), nullptr);
    auto first = layer->backingImage();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->pixelAt(70, 150).a, 0);  // nothing shown yet
    EXPECT_FALSE(layer->needsDisplay());

    pf::RunLoop::main().runUntilIdle();  // the render's follow-up request
    ASSERT_TRUE(layer->needsDisplay());
    layer->displayIfNeeded();
    auto shown = layer->backingImage();
    EXPECT_EQ(shown->pixelAt(70, 150).a, 255);
    EXPECT_GT(shown->pixelAt(70, 150).g, 100);
    EXPECT_EQ(shown->pixelAt(70, 5).a, 0);  // the margin above a full fill
    pf::RunLoop::main().runUntilIdle();
    EXPECT_FALSE(layer->needsDisplay());  // no render, no further request
}

TEST_F(BatteryLayerTest, UnchangedValuesRenderNothingNewAndANewSizeRendersAgain) {
    auto layer = makeLayer({0, 0, 140, 213}, 0.3f, 0.9f, 0.0f, 0.0f);
    EXPECT_EQ(settle(*layer), 2);
    auto rendered = cache().renderedImage();

    layer->setLevel(0.3f);  // the same values again
    layer->setRed(0.9f);
    clock_->advance(1.0);
    settle(*layer);
    EXPECT_EQ(cache().renderedImage(), rendered);

    layer->setBounds({0, 0, 100, 150});  // size alone
    layer->setNeedsDisplay();
    EXPECT_EQ(settle(*layer), 2);
    EXPECT_NE(cache().renderedImage(), rendered);
    EXPECT_EQ(cache().renderedImage()->size(), (pg::Size{100, 150}));

    layer->setBounds({20, 30, 100, 150});  // the origin is not part of the key
    layer->setNeedsDisplay();
    auto before = cache().renderedImage();
    EXPECT_EQ(settle(*layer), 1);
    EXPECT_EQ(cache().renderedImage(), before);
    // Still drawn over the whole bounds: liquid in the middle, glass room at the side.
    EXPECT_EQ(layer->backingImage()->pixelAt(50, 149).a, 255);
    EXPECT_EQ(layer->backingImage()->pixelAt(97, 140).a, 0);
}

TEST_F(BatteryLayerTest, EveryBatteryLayerSharesOneRenderCache) {
    auto a = makeLayer({0, 0, 140, 213}, 0.42f, 0.9f, 0.5f, 0.0f);
    EXPECT_EQ(settle(*a), 2);
    auto picture = cache().renderedImage();
    ASSERT_NE(picture, nullptr);

    // A second layer of the same size and values finds the picture already
    // rendered: its first pass shows it and asks for nothing more.
    auto twin = makeLayer({0, 0, 140, 213}, 0.42f, 0.9f, 0.5f, 0.0f);
    pf::RunLoop::main().runUntilIdle();
    clock_->advance(1.0);
    twin->displayIfNeeded();
    EXPECT_EQ(twin->backingImage()->pixelAt(70, 200).a, 255);
    pf::RunLoop::main().runUntilIdle();
    EXPECT_FALSE(twin->needsDisplay());
    EXPECT_EQ(cache().renderedImage(), picture);

    // Another layer's render replaces the cache, so the first one renders again.
    auto preview = makeLayer({0, 0, 70, 106}, 0.75f, 0.2f, 0.4f, 0.9f);
    EXPECT_EQ(settle(*preview), 2);
    EXPECT_EQ(cache().renderedKey(), "70.000000-106.000000-0.750000-0.200000-0.400000-0.900000");
    a->setNeedsDisplay();
    EXPECT_EQ(settle(*a), 2);
    EXPECT_NE(cache().renderedImage(), picture);
    EXPECT_EQ(cache().renderedImage()->size(), (pg::Size{140, 213}));
}

TEST_F(BatteryLayerTest, ClearingTheSharedKeyOrPictureReachesEveryLayer) {
    auto a = makeLayer({0, 0, 140, 213}, 0.5f, 0.9f, 0.0f, 0.0f);
    settle(*a);
    auto picture = cache().renderedImage();

    cache().setRenderedKey({});
    a->setNeedsDisplay();
    a->displayIfNeeded();
    EXPECT_NE(cache().renderedImage(), picture);            // rendered again
    EXPECT_EQ(a->backingImage()->pixelAt(70, 200).a, 255);  // showing the old picture meanwhile
    settle(*a);

    cache().setRenderedImage(nullptr);
    cache().setRenderedKey({});
    a->setNeedsDisplay();
    a->displayIfNeeded();  // picture dropped: this pass shows nothing and renders
    EXPECT_EQ(a->backingImage()->pixelAt(70, 200).a, 0);
    EXPECT_NE(cache().renderedImage(), nullptr);
    EXPECT_EQ(settle(*a), 1);
    EXPECT_EQ(a->backingImage()->pixelAt(70, 200).a, 255);
}

TEST_F(BatteryLayerTest, AnEmptyLayerRendersNothingAndAsksForNothing) {
    auto layer = makeLayer({0, 0, 0, 0}, 0.5f, 1, 1, 1);
    EXPECT_EQ(layer->renderInImageOfSize({0, 0, 0, 0}), nullptr);
    layer->setNeedsDisplay();
    settle(*layer);
    EXPECT_EQ(cache().renderedImage(), nullptr);
    EXPECT_EQ(cache().renderedKey(), "");
}

TEST_F(BatteryLayerTest, AChangeInMidFlightStartsFromTheShownLevel) {
    auto layer = makeLayer({0, 0, 140, 213}, 0.2f, 0, 0.9f, 0);
    auto shownLevel = [&] { return layer->presentationLayer()->doubleForKey("level"); };
    EXPECT_NEAR(shownLevel(), 0.2, 1e-6);

    layer->setLevel(0.8f);
    auto glide = std::dynamic_pointer_cast<pu::BasicAnimation>(layer->animationForKey("level"));
    ASSERT_NE(glide, nullptr);
    EXPECT_EQ(glide->duration(), 0.35);
    EXPECT_FALSE(glide->isRemovedOnCompletion());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(glide->toValue()));
    EXPECT_NEAR(shownLevel(), 0.2, 1e-6);
    EXPECT_FLOAT_EQ(layer->level(), 0.8f);  // the model value moves at once

    clock_->advance(0.1);
    const double midway = shownLevel();
    EXPECT_NEAR(midway, 0.2 + 0.6 * (0.1 / 0.35), 1e-3);
    // The pass renders what is shown now.
    layer->setNeedsDisplay();
    layer->displayIfNeeded();
    char expected[32];
    std::snprintf(expected, sizeof expected, "-%f-", static_cast<double>(static_cast<float>(midway)));
    EXPECT_NE(cache().renderedKey().find(expected), std::string::npos) << cache().renderedKey();

    layer->setLevel(0.1f);
    glide = std::dynamic_pointer_cast<pu::BasicAnimation>(layer->animationForKey("level"));
    ASSERT_NE(glide, nullptr);
    ASSERT_TRUE(std::holds_alternative<double>(glide->fromValue()));
    EXPECT_NEAR(std::get<double>(glide->fromValue()), midway, 1e-6);
    EXPECT_NEAR(shownLevel(), midway, 1e-6);  // no jump back to 0.2
    clock_->advance(0.35);
    EXPECT_NEAR(shownLevel(), 0.1, 1e-6);
}

TEST_F(BatteryLayerTest, ColourGlidesToo) {
    auto layer = makeLayer({0, 0, 140, 213}, 0.5f, 0.9f, 0, 0);
    layer->setRed(0.0f);
    layer->setGreen(0.9f);
    clock_->advance(0.35 / 2);
    auto shown = layer->presentationLayer();
    EXPECT_NEAR(shown->doubleForKey("red"), 0.45, 1e-3);
    EXPECT_NEAR(shown->doubleForKey("green"), 0.45, 1e-3);
}

}  // namespace
