// The fill view: layers built from the interface file's frame, level and
// colour handed to the fill layer, the fade; and a snapshot of the battery at
// three levels in the charge colours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/BatteryFillView.h"
#include "app/BatteryImage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/graphics/Context.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/Device.h"
#include "platform/ui/GradientLayer.h"
#include "platform/ui/Screen.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
namespace pg = platform::graphics;
namespace pu = platform::ui;

namespace {

class BatteryFillViewTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>();
        pf::Clock::setCurrent(clock_);
        useBundle(QM_BUNDLE_DIR);
        pf::setLogSink([this](const std::string& line) { log_.push_back(line); });
    }
    void TearDown() override {
        pf::RunLoop::main().runUntilIdle();
        pf::setLogSink(nullptr);
        useBundle(QM_BUNDLE_DIR);
        if (!tempBundle_.empty()) std::filesystem::remove_all(tempBundle_);
    }
    void useBundle(const std::string& path) {
        pf::Bundle::setMainBundlePath(path);
        pu::Device::current().setHardwareIdentifier("iPhone7,2");
        pu::Screen::main().configure(pu::Device::current().profile());
        pg::Image::setScreenScale(pu::Screen::main().scale());
        BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
    }
    std::shared_ptr<BatteryFillView> loaded(pg::Rect frame) {
        auto view = std::make_shared<BatteryFillView>(frame);
        view->awakeFromNib();
        return view;
    }

    std::shared_ptr<pf::ManualClock> clock_;
    std::vector<std::string> log_;
    std::string tempBundle_;
};

TEST_F(BatteryFillViewTest, LayersFromTheFrameBackFillShineInThatOrder) {
    auto view = loaded({10, 20, 140, 213});
    auto fill = view->batLayer();
    ASSERT_NE(fill, nullptr);
    const auto& subs = view->layer()->sublayers();
    ASSERT_EQ(subs.size(), 3u);
    EXPECT_EQ(subs[0], view->backLayer());
    EXPECT_EQ(subs[1], fill);
    EXPECT_EQ(subs[2], view->shineLayer());

    EXPECT_EQ(fill->frame(), (pg::Rect{0, 0, 140, 213}));
    EXPECT_EQ(fill->contentsScale(), pu::Screen::main().scale());
    EXPECT_NEAR(view->backLayer()->frame().height(), 213 * 1.17, 1e-9);
    EXPECT_EQ(view->backLayer()->frame().width(), 140);
    EXPECT_EQ(view->backLayer()->contents(), BatteryImage::imgBack());
    // s = 1: the shine keeps its own height.
    EXPECT_EQ(view->shineLayer()->frame(), (pg::Rect{0, 0, 140, 213}));
    EXPECT_EQ(view->shineLayer()->contents(), BatteryImage::imgShine());

    EXPECT_FLOAT_EQ(view->backLayer()->opacity(), 0.7f);
    EXPECT_FLOAT_EQ(view->shineLayer()->opacity(), 0.7f);
    EXPECT_FLOAT_EQ(fill->opacity(), 0.0f);  // invisible until faded in
    EXPECT_FALSE(view->isOpaque());
    EXPECT_FALSE(fill->isOpaque());
}

TEST_F(BatteryFillViewTest, TheShineScalesByTheTighterOfWidthAndHeight) {
    // Parts of the sizes in the example: top 160 wide, natural height 400.
    char pattern[] = "/tmp/qm-parts-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tempBundle_ = pattern;
    auto write = [&](const std::string& name, double w, double h) {
        auto ctx = pg::Context::beginImageContext({w, h}, false, 1);
        ctx->setFillColor(pg::Color::white(0.8));
        ctx->fillRect({0, 0, w, h});
        ASSERT_TRUE(ctx->image()->writePNG(tempBundle_ + "/" + name));
    };
    write("new-filltop.png", 160, 100);
    write("new-fillbottom.png", 160, 115);
    write("new-fillmiddle.png", 160, 185);
    write("top.png", 160, 201);
    write("backshade.png", 160, 468);
    useBundle(tempBundle_);
    pg::Image::setScreenScale(1);

    auto view = loaded({0, 0, 320, 300});
    // s = min(320 / 160, 300 / 400) = 0.75; 201 x 0.75 = 150.75 -> 151.
    EXPECT_EQ(view->shineLayer()->frame(), (pg::Rect{0, 0, 320, 151}));
    // The combined picture follows the same scale: caps 75 and 86, margin 12.
    const auto l = BatteryImage::layoutFor({0, 0, 320, 300}, 1.0f, {160, 100}, {160, 115});
    EXPECT_EQ(l.scale, 0.75f);
    EXPECT_EQ(l.topHeight, 75.0f);
    EXPECT_EQ(l.bottomHeight, 86.0f);  // 86.25
    EXPECT_EQ(l.margin, 12.0f);
    EXPECT_EQ(l.height(), 288.0f);
}

TEST_F(BatteryFillViewTest, ColourReachesTheFillAndAGreyTintsItWhite) {
    auto view = loaded({0, 0, 140, 213});
    auto fill = view->batLayer();
    view->setColor(pg::Color::rgba(0.9, 0.5, 0.0, 0.3));
    EXPECT_FLOAT_EQ(fill->red(), 0.9f);
    EXPECT_FLOAT_EQ(fill->green(), 0.5f);
    EXPECT_FLOAT_EQ(fill->blue(), 0.0f);
    // Two components (white, alpha): not red, green and blue, so white.
    view->setColor(pg::Color::white(0.5, 1.0));
    EXPECT_FLOAT_EQ(fill->red(), 1.0f);
    EXPECT_FLOAT_EQ(fill->green(), 1.0f);
    EXPECT_FLOAT_EQ(fill->blue(), 1.0f);
    view->setColor(pg::Color::rgba(0.2, 0.3, 0.4));
    view->setColor(pg::Color::white(0.0, 0.4));
    EXPECT_FLOAT_EQ(fill->red(), 1.0f);
    EXPECT_FLOAT_EQ(fill->green(), 1.0f);
    EXPECT_FLOAT_EQ(fill->blue(), 1.0f);
    // Each change glides.
    EXPECT_NE(fill->animationForKey("red"), nullptr);
    EXPECT_NE(fill->animationForKey("blue"), nullptr);
    EXPECT_TRUE(log_.empty());
}

TEST_F(BatteryFillViewTest, AViewMadeInCodeHasNoFillAndIgnoresLevelAndColour) {
    auto view = std::make_shared<BatteryFillView>(pg::Rect{0, 0, 140, 213});
    EXPECT_EQ(view->batLayer(), nullptr);
    EXPECT_TRUE(view->layer()->sublayers().empty());
    view->setLevel(0.5f);
    EXPECT_EQ(view->getLevel(), 0.0f);
    view->setColor(pg::Color::red());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("batLayer IS NIL"), std::string::npos);
    view->prepareForFade();
    view->fadeInContentAtSpeed(true);
}

TEST_F(BatteryFillViewTest, LevelIsTheModelValueWhileTheGlideShowsTheOldOne) {
    auto view = loaded({0, 0, 140, 213});
    view->setLevel(0.3f);
    clock_->advance(1.0);
    view->setLevel(0.9f);
    EXPECT_FLOAT_EQ(view->getLevel(), 0.9f);
    EXPECT_NEAR(view->batLayer()->presentationLayer()->doubleForKey("level"), 0.3, 1e-6);
}

TEST_F(BatteryFillViewTest, FadeInHoldsTheFillVisibleWhileItsOwnOpacityStaysZero) {
    auto view = loaded({0, 0, 140, 213});
    auto fill = view->batLayer();
    view->fadeInContentAtSpeed(true);
    auto fade = std::dynamic_pointer_cast<pu::BasicAnimation>(fill->animationForKey("animateRotation"));
    ASSERT_NE(fade, nullptr);
    EXPECT_EQ(fade->keyPath(), "opacity");
    EXPECT_EQ(fade->duration(), 1.0);
    EXPECT_EQ(fade->fillMode(), pu::FillMode::Forwards);
    EXPECT_FALSE(fade->isRemovedOnCompletion());
    EXPECT_EQ(std::get<double>(fade->fromValue()), 0.0);
    EXPECT_EQ(std::get<double>(fade->toValue()), 1.0);

    clock_->advance(0.5);
    EXPECT_NEAR(fill->presentationLayer()->opacity(), 0.5, 1e-3);
    clock_->advance(5.0);
    pf::RunLoop::main().runUntilIdle();
    EXPECT_FLOAT_EQ(fill->presentationLayer()->opacity(), 1.0f);
    EXPECT_FLOAT_EQ(fill->opacity(), 0.0f);

    // Hidden again; NO asks for no duration, which the platform plays as its
    // default short one.
    view->prepareForFade();
    EXPECT_TRUE(fill->needsDisplay());
    view->fadeInContentAtSpeed(false);
    EXPECT_EQ(fill->animationForKey("animateRotation")->duration(), 0.0);
    clock_->advance(0.3);
    EXPECT_FLOAT_EQ(fill->presentationLayer()->opacity(), 1.0f);
}

// Renders the three levels in the three charge colours on the main screen's
// dark gradient, checks the fills and leaves the picture in the build folder.
TEST_F(BatteryFillViewTest, SnapshotAtThreeLevelsInTheChargeColours) {
    const double cell = 160, rowHeight = 260;
    const pg::Size size{3 * cell, 3 * rowHeight};
    auto root = std::make_shared<pu::View>(pg::Rect{0, 0, size.width, size.height});
    auto gradient = std::make_shared<pu::GradientLayer>();
    gradient->setFrame({0, 0, size.width, size.height});
    gradient->setColors({pg::Color::white(0.0), pg::Color::white(0.12), pg::Color::white(0.2), pg::Color::white(0.0)});
    gradient->setLocations({0.2, 0.5, 0.8, 1.0});
    root->layer()->addSublayer(gradient);

    const float levels[] = {0.25f, 0.6f, 1.0f};
    const pg::Color colours[] = {pg::Color::rgba(0.9, 0.5, 0.0), pg::Color::rgba(0.0, 0.5, 0.9),
                                 pg::Color::rgba(0.0, 0.9, 0.0)};
    std::vector<std::shared_ptr<BatteryFillView>> views;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            auto view = loaded({col * cell + 10, row * rowHeight + 10, 140, 213});
            root->addSubview(view);
            view->setColor(colours[row]);
            view->setLevel(levels[col]);
            view->fadeInContentAtSpeed(true);
            views.push_back(view);
        }
    }
    clock_->advance(2.0);
    const double scale = pu::Screen::main().scale(), now = pu::currentMediaTime();
    auto canvas = pg::Context::beginImageContext(size, false, scale);
    pu::Compositor::render(*gradient, *canvas, now);
    // The battery layers share one render cache: each is drawn in turn, as
    // the screens show one battery at a time.
    for (auto& view : views) {
        for (int i = 0; i < 3; ++i) {
            pu::Compositor::displayTree(*view->layer(), now);
            pf::RunLoop::main().runUntilIdle();
        }
        pu::Compositor::render(*view->layer(), *canvas, now);
    }
    auto picture = canvas->image();
    ASSERT_NE(picture, nullptr);
    ASSERT_TRUE(picture->writePNG(std::string(QM_BUILD_DIR) + "/battery_fill_snapshot.png"));

    // Each fill rises to its level: sample the middle column just below and
    // well above where the liquid's surface must be.
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            const double x = col * cell + 10 + 60;  // the lit side of the liquid
            const double bottom = row * rowHeight + 10 + 213;
            const double fillHeight = 28 + std::round(169 * levels[col]);
            auto at = [&](double y) { return picture->pixelAt(int(x * scale), int(y * scale)); };
            const auto inside = at(bottom - fillHeight + 20);
            const pg::Color& c = colours[row];
            // The colour dominates where it is strong.
            if (c.redValue() > 0.5) {
                EXPECT_GT(inside.r, inside.b + 80) << row << col;
            }
            if (c.greenValue() > 0.5) {
                EXPECT_GT(inside.g, inside.r + 60) << row << col;
            }
            if (c.blueValue() > 0.5) {
                EXPECT_GT(inside.b, inside.r + 80) << row << col;
            }
            if (col < 2) {
                const auto above = at(bottom - fillHeight - 30);  // glass only
                EXPECT_LT(std::abs(int(above.r) - int(above.g)) + std::abs(int(above.g) - int(above.b)), 12)
                    << row << col;
            }
        }
    }
}

}  // namespace
