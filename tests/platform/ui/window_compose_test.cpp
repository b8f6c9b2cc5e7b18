// The window's composed picture: exact pixels, dirty tracking, hit testing
// through transforms, PNG output.
#include <cmath>
#include <filesystem>

#include "platform/foundation/Error.h"
#include "platform/ui/GradientLayer.h"
#include "platform/ui/HeadlessPresenter.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "tests/platform/ui/view_test_support.h"

using namespace viewtest;
namespace fs = std::filesystem;

namespace {

class Compose : public OnManualClock {};

std::shared_ptr<View> box(Rect frame, Color c) {
    auto v = std::make_shared<View>(frame);
    v->setBackgroundColor(c);
    return v;
}

// Tints a grey shape with a colour: fill through the shape as a mask, then
// multiply the shape's shading over it.
class TintView : public View {
public:
    TintView(Rect frame, std::shared_ptr<Image> shape, Color tint)
        : View(frame), shape_(std::move(shape)), tint_(tint) {}
    void drawRect(Context& ctx, const Rect&) override {
        Rect r{0, 0, bounds().width(), bounds().height()};
        ctx.save();
        ctx.clipToMask(r, *shape_);
        ctx.setFillColor(tint_);
        ctx.fillRect(r);
        ctx.restore();
        ctx.setBlendMode(platform::graphics::BlendMode::Multiply);
        ctx.drawImageBottomUp(*shape_, r);
    }

private:
    std::shared_ptr<Image> shape_;
    Color tint_;
};

struct CountingView : View {
    using View::View;
    int draws = 0, layouts = 0;
    void drawRect(Context& ctx, const Rect&) override {
        ++draws;
        ctx.setFillColor(Color::rgba(0, 0, 1));
        ctx.fillRect({0, 0, 2, 2});
    }
    void layoutSubviews() override { ++layouts; }
};

}  // namespace

TEST_F(Compose, HalfTransparentViewOverAnother) {
    auto win = makeWindow(20, 20);
    auto back = box({0, 0, 20, 20}, Color::rgba(0, 0, 1));
    auto front = box({5, 5, 10, 10}, Color::rgba(1, 0, 0));
    front->setAlpha(0.5);
    win->addSubview(back);
    win->addSubview(front);
    auto img = win->composedImage();
    EXPECT_EQ(img->pixelAt(2, 2), (Image::Pixel{255, 0, 0, 255}));
    Image::Pixel mixed = img->pixelAt(10, 10);
    EXPECT_EQ(mixed.a, 255);
    EXPECT_NEAR(mixed.r, 128, 1);
    EXPECT_EQ(mixed.g, 0);
    EXPECT_NEAR(mixed.b, 127, 1);
    EXPECT_EQ(int(mixed.r) + int(mixed.b), 255);
}

TEST_F(Compose, TranslucentGroupIsBlendedAsOnePicture) {
    // A half-transparent parent with an opaque child: the child does not let
    // the parent's own background through (group opacity).
    auto win = makeWindow(20, 20);
    auto parent = box({0, 0, 20, 20}, Color::rgba(0, 1, 0));
    parent->addSubview(box({0, 0, 20, 20}, Color::rgba(1, 0, 0)));
    parent->setAlpha(0.5);
    win->addSubview(parent);
    Image::Pixel p = pixel(*win, 10, 10);
    EXPECT_EQ(p.g, 127 + 0 * p.g);  // white below at half: 255 * 0.5, nothing green
    EXPECT_NEAR(p.b, 127, 1);
    EXPECT_EQ(p.r, 255);
}

TEST_F(Compose, ScaleTwoAndMultiplyTintedImage) {
    auto shapeCtx = Context::beginImageContext({4, 4}, false, 2);
    shapeCtx->setFillColor(Color::white(0.5));
    shapeCtx->fillRect({0, 0, 4, 2});  // grey top half (bottom half once mapped bottom-up)
    auto shape = shapeCtx->image();
    shapeCtx.reset();
    auto win = makeWindow(4, 8, 2);
    win->addSubview(std::make_shared<TintView>(Rect{0, 4, 4, 4}, shape, Color::rgba(1, 1, 0)));
    auto img = win->composedImage();
    EXPECT_EQ(img->pixelWidth(), 8);
    EXPECT_EQ(img->pixelHeight(), 16);
    EXPECT_EQ(img->pixelAt(3, 9), (Image::Pixel{255, 255, 255, 255}));  // outside the shape: window white
    Image::Pixel tinted = img->pixelAt(3, 14);
    EXPECT_NEAR(tinted.r, 128, 1);
    EXPECT_NEAR(tinted.g, 128, 1);
    EXPECT_EQ(tinted.b, 0);
}

TEST_F(Compose, GradientLayerColoursAtItsStops) {
    auto win = makeWindow(10, 100);
    auto g = std::make_shared<GradientLayer>();
    g->setFrame({0, 0, 10, 100});
    g->setColors({Color::white(0.0), Color::white(0.4), Color::white(0.8), Color::white(1.0)});
    g->setLocations({0.2, 0.5, 0.8, 1.0});
    win->layer()->insertSublayer(g, 0);
    auto img = win->composedImage();
    auto grey = [&](int y) { return int(img->pixelAt(5, y).r); };
    // Pixel row y samples t = (y + 0.5) / 100: piecewise linear between stops.
    auto expected = [](int y) {
        double t = (y + 0.5) / 100, stops[] = {0.2, 0.5, 0.8, 1.0}, grey[] = {0, 0.4, 0.8, 1.0};
        if (t <= stops[0]) return 0.0;
        for (int i = 1; i < 4; ++i)
            if (t <= stops[i])
                return 255 * (grey[i - 1] + (grey[i] - grey[i - 1]) * (t - stops[i - 1]) / (stops[i] - stops[i - 1]));
        return 255.0;
    };
    EXPECT_EQ(grey(5), 0);  // before the first stop: its colour
    EXPECT_EQ(grey(19), 0);
    for (int y : {20, 35, 49, 50, 65, 79, 80, 90, 99}) EXPECT_NEAR(grey(y), expected(y), 1) << y;
}

TEST_F(Compose, RotatedViewIsHitWhereItIsDrawn) {
    auto win = makeWindow(100, 100);
    auto bar = box({30, 45, 40, 10}, Color::rgba(1, 0, 0));  // 40 wide, 10 high, centre (50, 50)
    win->addSubview(bar);
    bar->setTransform(AffineTransform::rotation(M_PI / 2));
    EXPECT_EQ(win->hitTest({50, 65}, nullptr), bar);  // inside once turned upright
    EXPECT_EQ(win->hitTest({65, 50}, nullptr), win);  // only inside the unturned bar
    EXPECT_EQ(pixel(*win, 50, 65), (Image::Pixel{255, 255, 0, 0}));
    EXPECT_EQ(pixel(*win, 65, 50), (Image::Pixel{255, 255, 255, 255}));
    Point local = bar->convertPointFrom({50, 69}, win.get());
    EXPECT_NEAR(local.x, 39, 1e-9);
    EXPECT_NEAR(local.y, 5, 1e-9);
    bar->setHidden(true);
    EXPECT_EQ(win->hitTest({50, 65}, nullptr), win);
}

TEST_F(Compose, LabelTextIsDrawnWhereItsMeasuredSizeSays) {
    auto win = makeWindow(200, 60);
    auto label = std::make_shared<Label>(Rect{20, 10, 160, 40});
    label->setText("Charge 42%");
    label->setFont(Font::boldSystemFont(18));
    label->setTextAlignment(TextAlignment::Center);
    win->addSubview(label);
    Size s = label->font().sizeOfText(label->text());
    Rect expected{20 + (160 - s.width) / 2, 10 + std::floor((40 - s.height) / 2), s.width, s.height};
    auto img = win->composedImage();
    int minX = 1000, maxX = -1, minY = 1000, maxY = -1;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x)
            if (img->pixelAt(x, y).r < 200) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
    ASSERT_GE(maxX, 0);
    EXPECT_GE(minX, int(std::floor(expected.minX())) - 1);
    EXPECT_LE(maxX, int(std::ceil(expected.maxX())));
    EXPECT_GE(minY, int(std::floor(expected.minY())));
    EXPECT_LE(maxY, int(std::ceil(expected.maxY())));
    EXPECT_GT(maxX - minX, int(s.width * 0.85));
    EXPECT_EQ(label->sizeThatFits({0, 0}), s);
}

TEST_F(Compose, ComposesOnlyWhenSomethingChanged) {
    auto win = makeWindow(10, 10);
    auto presenter = std::make_shared<HeadlessPresenter>();
    win->setPresenter(presenter);
    auto v = std::make_shared<CountingView>(Rect{0, 0, 10, 10});
    win->addSubview(v);
    auto first = win->composedImage();
    EXPECT_EQ(win->compositionCount(), 1u);
    EXPECT_EQ(v->draws, 1);
    EXPECT_EQ(v->layouts, 1);
    uint64_t changes = presenter->changeCount();
    runFor(5);
    EXPECT_EQ(win->composedImage(), first);
    EXPECT_EQ(win->compositionCount(), 1u);
    EXPECT_EQ(presenter->changeCount(), changes);
    // Moving a view recomposes without redrawing it.
    v->setCenter({6, 6});
    EXPECT_EQ(presenter->changeCount(), changes + 1);
    win->composedImage();
    EXPECT_EQ(win->compositionCount(), 2u);
    EXPECT_EQ(v->draws, 1);
    v->setNeedsDisplay();
    v->setNeedsLayout();
    win->composedImage();
    EXPECT_EQ(v->draws, 2);
    EXPECT_EQ(v->layouts, 2);
}

TEST_F(Compose, APreparedFrameDrawsTheLayersAndTheNextCompositionPaintsThem) {
    auto win = makeWindow(10, 10);
    auto v = std::make_shared<CountingView>(Rect{0, 0, 10, 10});
    win->addSubview(v);
    auto first = win->composedImage();
    v->setCenter({7, 7});
    v->setNeedsDisplay();
    win->prepareFrame();
    EXPECT_EQ(v->draws, 2);
    EXPECT_FALSE(win->needsComposition());
    EXPECT_EQ(win->compositionCount(), 1u);  // nothing painted yet
    win->prepareFrame();                     // nothing new to draw
    EXPECT_EQ(v->draws, 2);
    auto painted = win->composedImage();
    EXPECT_EQ(win->compositionCount(), 2u);
    EXPECT_EQ(v->draws, 2);  // drawn once, by the prepared frame
    // The blue corner moved from (0, 0) to (2, 2); white shows where it was.
    EXPECT_EQ(first->pixelAt(0, 0).r, 0);
    EXPECT_EQ(painted->pixelAt(2, 2).r, 0);
    EXPECT_EQ(painted->pixelAt(2, 2).b, 255);
    EXPECT_EQ(painted->pixelAt(0, 0).r, 255);
    EXPECT_EQ(win->composedImage(), painted);
}

TEST_F(Compose, AnimationFramesMarkTheWindowUntilTheyEnd) {
    auto win = makeWindow(10, 10);
    auto v = box({0, 0, 10, 10}, Color::black());
    win->addSubview(v);
    win->composedImage();
    View::animate(0.1, [&] { v->setAlpha(0); });
    win->composedImage();
    runFor(1.0 / 60);
    EXPECT_TRUE(win->needsComposition());
    win->composedImage();
    runFor(0.2);
    win->composedImage();
    EXPECT_EQ(pixel(*win, 5, 5), (Image::Pixel{255, 255, 255, 255}));
    runFor(0.5);
    EXPECT_FALSE(win->needsComposition());
}

TEST_F(Compose, ImageViewShowsItsImageAndWritesAPNG) {
    auto ctx = Context::beginImageContext({2, 2}, true, 2);
    ctx->setFillColor(Color::rgba(0, 1, 0));
    ctx->fillRect({0, 0, 1, 2});
    auto img = ctx->image();
    ctx.reset();
    auto win = makeWindow(8, 8);
    auto iv = std::make_shared<ImageView>(img);
    EXPECT_EQ(iv->frame(), (Rect{0, 0, 2, 2}));
    iv->setFrame({0, 0, 8, 8});
    iv->setContentMode(ContentMode::Center);
    win->addSubview(iv);
    EXPECT_EQ(pixel(*win, 3, 4), (Image::Pixel{255, 0, 255, 0}));
    EXPECT_EQ(pixel(*win, 4, 4), (Image::Pixel{255, 0, 0, 0}));
    EXPECT_EQ(pixel(*win, 1, 1), (Image::Pixel{255, 255, 255, 255}));
    auto path = fs::temp_directory_path() / ("qm-window-" + std::to_string(::getpid()) + ".png");
    auto presenter = std::make_shared<HeadlessPresenter>();
    win->setPresenter(presenter);
    ASSERT_TRUE(presenter->snapshot(path.string()));
    auto back = Image::fromFile(path.string());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixelAt(3, 4), (Image::Pixel{255, 0, 255, 0}));
    fs::remove(path);
    platform::foundation::Error error;
    EXPECT_FALSE(presenter->snapshot("/nonexistent-dir/x.png", &error));
}

TEST_F(Compose, ImageViewFrameAnimationCyclesOnTheClock) {
    auto make = [](Color c) {
        auto ctx = Context::beginImageContext({1, 1}, true, 1);
        ctx->setFillColor(c);
        ctx->fillRect({0, 0, 1, 1});
        return ctx->image();
    };
    auto win = makeWindow(4, 4);
    auto iv = std::make_shared<ImageView>(Rect{0, 0, 4, 4});
    iv->setAnimationImages({make(Color::rgba(1, 0, 0)), make(Color::rgba(0, 1, 0)), make(Color::rgba(0, 0, 1))});
    iv->setAnimationDuration(0.3);
    iv->setAnimationRepeatCount(1);
    win->addSubview(iv);
    iv->startAnimating();
    EXPECT_EQ(pixel(*win, 1, 1).r, 255);
    runFor(0.1);
    EXPECT_EQ(pixel(*win, 1, 1).g, 255);
    runFor(0.1);
    EXPECT_EQ(pixel(*win, 1, 1).b, 255);
    runFor(0.2);
    EXPECT_FALSE(iv->isAnimating());
    EXPECT_EQ(pixel(*win, 1, 1), (Image::Pixel{255, 255, 255, 255}));  // no still image
}

TEST_F(Compose, CornerRadiusAndMasksToBounds) {
    auto win = makeWindow(20, 20);
    auto v = box({0, 0, 20, 20}, Color::black());
    v->layer()->setCornerRadius(6);
    v->setClipsToBounds(true);
    v->addSubview(box({-5, -5, 30, 30}, Color::rgba(1, 0, 0)));
    win->addSubview(v);
    EXPECT_EQ(pixel(*win, 0, 0), (Image::Pixel{255, 255, 255, 255}));  // the cut corner
    EXPECT_EQ(pixel(*win, 10, 0), (Image::Pixel{255, 255, 0, 0}));
}

TEST_F(Compose, ALayerAskingForAnotherPassWhileDrawingGetsAnotherFrame) {
    // Like a layer that renders off to the side and draws the result next pass.
    struct TwoPass : Layer {
        int passes = 0;
        void drawInContext(Context& ctx) override {
            if (++passes == 1) {
                platform::foundation::RunLoop::current().perform([this] { setNeedsDisplay(); });
                return;
            }
            ctx.setFillColor(Color::rgba(0, 0, 1));
            ctx.fillRect(bounds());
        }
    };
    auto win = makeWindow(4, 4);
    auto layer = std::make_shared<TwoPass>();
    layer->setFrame({0, 0, 4, 4});
    win->layer()->addSublayer(layer);
    EXPECT_EQ(pixel(*win, 1, 1), (Image::Pixel{255, 255, 255, 255}));
    EXPECT_FALSE(win->needsComposition());
    runUntilIdle();
    EXPECT_TRUE(win->needsComposition());
    EXPECT_EQ(pixel(*win, 1, 1), (Image::Pixel{255, 0, 0, 255}));
    EXPECT_EQ(layer->passes, 2);
}
