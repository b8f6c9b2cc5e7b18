#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "framework/GSVButton.h"
#include "framework/GSVLabel.h"
#include "framework/GSVTextField.h"
#include "framework/GSVTextView.h"
#include "framework/GSVVerticalSlider.h"
#include "framework/TWKButtonDark.h"
#include "framework/TWKTableViewCell.h"
#include "framework/TWKViewOpen.h"
#include "framework/UILabelUnderlined.h"
#include "framework/UIPaddingLabel.h"
#include "platform/graphics/Context.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

using platform::graphics::Color;
using platform::graphics::Context;
using platform::graphics::Image;
using platform::graphics::Rect;
using platform::graphics::Size;

namespace {

void expectColor(const Color& c, double r, double g, double b, double a = 1.0) {
    EXPECT_DOUBLE_EQ(c.redValue(), r);
    EXPECT_DOUBLE_EQ(c.greenValue(), g);
    EXPECT_DOUBLE_EQ(c.blueValue(), b);
    EXPECT_DOUBLE_EQ(c.alpha(), a);
}

// Draws `view` through its drawRect into a bitmap at scale 1.
std::shared_ptr<Image> render(platform::ui::View& view) {
    auto ctx = Context::beginImageContext(view.bounds().size, false, 1.0);
    view.drawRect(*ctx, view.bounds());
    return ctx->image();
}

}  // namespace

TEST(TWKButtonDarkTest, GlobalColoursAreTheFrameworkPalette) {
    expectColor(TWKButtonDark::globalColorTint(), 3 / 255.0, 169 / 255.0, 244 / 255.0);
    expectColor(TWKButtonDark::globalColorBG(), 225 / 255.0, 245 / 255.0, 254 / 255.0);
    expectColor(TWKButtonDark::globalColorText(), 43 / 255.0, 43 / 255.0, 43 / 255.0);
}

TEST(TWKButtonDarkTest, SetupStylesTheButton) {
    TWKButtonDark button(Rect(0, 0, 100, 30));
    EXPECT_EQ(button.colorBG(), TWKButtonDark::globalColorTint());
    EXPECT_EQ(button.colorBGHighlighted(), TWKButtonDark::globalColorTint().withAlpha(0.5));
    EXPECT_EQ(button.layer()->backgroundColor(), TWKButtonDark::globalColorTint());
    EXPECT_DOUBLE_EQ(button.layer()->cornerRadius(), 3.5);
    EXPECT_TRUE(button.titleLabel()->font().isBold());
    EXPECT_DOUBLE_EQ(button.titleLabel()->font().pointSize(), 13);
    EXPECT_EQ(button.titleColorForState(platform::ui::kControlStateNormal), Color::whiteColor());
    EXPECT_EQ(button.titleColorForState(platform::ui::kControlStateHighlighted), Color::white(1.0, 0.3));
    EXPECT_EQ(button.titleColorForState(platform::ui::kControlStateDisabled), Color::gray());
}

TEST(TWKButtonDarkTest, HighlightChangesBackgroundOnlyOnARealChange) {
    TWKButtonDark button(Rect(0, 0, 100, 30));
    button.layer()->removeAllAnimations();
    button.setHighlighted(false);  // already not highlighted
    EXPECT_FALSE(button.layer()->hasAnimations());
    EXPECT_EQ(button.layer()->backgroundColor(), button.colorBG());

    button.setHighlighted(true);
    EXPECT_TRUE(button.isHighlighted());
    EXPECT_EQ(button.layer()->backgroundColor(), button.colorBGHighlighted());
    auto anim = button.layer()->animationForKey("backgroundColor");
    ASSERT_NE(anim, nullptr);
    EXPECT_DOUBLE_EQ(anim->duration(), 0.25);

    button.setHighlighted(false);
    EXPECT_EQ(button.layer()->backgroundColor(), button.colorBG());
}

TEST(TWKButtonDarkTest, PlusIconColourFollowsTheState) {
    TWKButtonDark button(Rect(0, 0, 40, 20));
    EXPECT_EQ(button.plusIconColor(), button.tintColor());
    button.setEnabled(false);
    EXPECT_EQ(button.plusIconColor(), Color::gray());
    button.setHighlighted(true);  // highlighted wins, even disabled
    EXPECT_EQ(button.plusIconColor(), Color::whiteColor());
}

TEST(TWKButtonDarkTest, PlusIconIsDrawnOnlyWhenVisible) {
    TWKButtonDark button(Rect(0, 0, 40, 20));
    EXPECT_EQ(render(button)->pixelAt(5, 5).a, 0);
    button.setPlusIconVisible(true);
    EXPECT_TRUE(button.isPlusIconVisible());
    auto img = render(button);
    // Both bars cross at (5, 5); outside the plus nothing is drawn.
    for (auto [x, y] : {std::pair{5, 3}, {5, 7}, {3, 5}, {7, 5}, {5, 5}}) {
        Image::Pixel px = img->pixelAt(x, y);
        EXPECT_EQ(px.a, 255) << x << "," << y;
        EXPECT_EQ(px.r, 3) << x << "," << y;
        EXPECT_EQ(px.g, 169) << x << "," << y;
        EXPECT_EQ(px.b, 244) << x << "," << y;
    }
    EXPECT_EQ(img->pixelAt(4, 4).a, 0);
    EXPECT_EQ(img->pixelAt(5, 8).a, 0);
    EXPECT_EQ(img->pixelAt(8, 5).a, 0);
}

TEST(TWKButtonDarkTest, SizeThatFitsIgnoresTheAskedSize) {
    TWKButtonDark button(Rect(0, 0, 120, 30));
    button.setTitle("Rate this application");
    Size a = button.sizeThatFits({10, 10});
    Size b = button.sizeThatFits({1000, 1000});
    EXPECT_EQ(a, b);
    Size base = button.Button::sizeThatFits(button.bounds().size);
    EXPECT_DOUBLE_EQ(a.width, base.width + 20);
    EXPECT_DOUBLE_EQ(a.height, base.height - 2);
}

TEST(UILabelUnderlinedTest, UnderlineIsAsLongAsTheText) {
    UILabelUnderlined label(Rect(0, 0, 300, 24));
    label.setText("Mail us");
    label.setTextColor(Color::rgba(1, 0, 0));
    const double u = label.underlineWidth();
    ASSERT_GT(u, 10);
    ASSERT_LT(u, 150);
    auto img = render(label);
    const int row = 24 - 1;
    EXPECT_GT(img->pixelAt(2, row).r, 100);
    EXPECT_GT(img->pixelAt(int(u) - 3, row).r, 100);
    EXPECT_EQ(img->pixelAt(int(u) + 3, row).a, 0);
    EXPECT_EQ(img->pixelAt(250, row).a, 0);
}

TEST(UIPaddingLabelTest, TextKeepsFivePointsFromTheLeftEdge) {
    UIPaddingLabel padded(Rect(0, 0, 200, 30));
    platform::ui::Label plain(Rect(0, 0, 200, 30));
    for (platform::ui::Label* l : {static_cast<platform::ui::Label*>(&padded), &plain}) {
        l->setText("WWWW");
        l->setTextColor(Color::black());
    }
    auto firstInk = [](const std::shared_ptr<Image>& img) {
        for (int x = 0; x < img->pixelWidth(); ++x)
            for (int y = 0; y < img->pixelHeight(); ++y)
                if (img->pixelAt(x, y).a > 0) return x;
        return -1;
    };
    int plainX = firstInk(render(plain)), paddedX = firstInk(render(padded));
    ASSERT_GE(plainX, 0);
    EXPECT_EQ(paddedX - plainX, 5);
}

TEST(TWKViewOpenTest, RendersTheBandAndDrawsItBack) {
    TWKViewOpen top(Rect(0, 0, 100, 60), true, 20, 4);
    EXPECT_FALSE(top.isOpaque());
    EXPECT_EQ(top.backgroundColor(), Color::clear());
    EXPECT_EQ(top.renderedImage(), nullptr);
    EXPECT_EQ(render(top)->pixelAt(50, 10).a, 0);  // nothing kept yet

    top.preRenderInImageOfSize(top.bounds());
    ASSERT_NE(top.renderedImage(), nullptr);
    auto img = render(top);
    Image::Pixel inside = img->pixelAt(50, 5);
    EXPECT_EQ(inside.a, 255);
    EXPECT_NEAR(inside.r, 64, 2);  // 0.25 grey
    // Below the slanted edge on the right side the band is open.
    EXPECT_LT(img->pixelAt(95, 55).a, 255);

    TWKViewOpen bottom(Rect(0, 0, 100, 60), false, 20, 4);
    bottom.preRenderInImageOfSize(bottom.bounds());
    auto b = render(bottom);
    EXPECT_EQ(b->pixelAt(50, 55).a, 255);
    EXPECT_LT(b->pixelAt(5, 2).a, 255);  // above the slant at the left
}

TEST(TWKViewOpenTest, LineColoursAndTheFaintDiscBelowTheOpenEdge) {
    // W 100, H 60, A 20, h 2: the open edge runs from (0, 22) to (100, 2).
    TWKViewOpen bottom(Rect(0, 0, 100, 60), false, 20, 4);
    bottom.preRenderInImageOfSize(bottom.bounds());
    auto b = render(bottom);
    const Image::Pixel line = b->pixelAt(50, 12);
    EXPECT_EQ(line.a, 255);
    EXPECT_NEAR(line.r, 178, 3);  // 0.7 grey
    EXPECT_EQ(line.r, line.b);
    // The disc in (50, 0, 200, 200) darkens the band by 7 % where it reaches.
    const Image::Pixel outside = b->pixelAt(5, 55), inside = b->pixelAt(95, 55);
    EXPECT_NEAR(outside.r, 64, 1);
    EXPECT_NEAR(inside.r, 64 * 0.93, 1);
    EXPECT_EQ(inside.a, 255);

    // Top mode: a black line from (0, 58) to (100, 38), no disc.
    TWKViewOpen top(Rect(0, 0, 100, 60), true, 20, 4);
    top.preRenderInImageOfSize(top.bounds());
    auto t = render(top);
    EXPECT_EQ(t->pixelAt(50, 48).a, 255);
    EXPECT_LT(t->pixelAt(50, 48).r, 3);
    EXPECT_NEAR(t->pixelAt(95, 2).r, 64, 1);
}

TEST(GSVVerticalSliderTest, StandsUprightAfterLoading) {
    GSVVerticalSlider slider(Rect(0, 0, 200, 30));
    EXPECT_TRUE(slider.transform().isIdentity());
    slider.awakeFromNib();
    auto t = slider.transform();
    EXPECT_NEAR(t.a, 0, 1e-12);
    EXPECT_NEAR(t.b, -1, 1e-12);
    EXPECT_NEAR(t.c, 1, 1e-12);
    EXPECT_NEAR(t.d, 0, 1e-12);
}

namespace {

// Plays a device for the iPad mini tests.
class IpadMiniTest : public ::testing::Test {
protected:
    void play(const std::string& identifier) {
        platform::ui::Device::resetCurrent();
        platform::ui::Device::current().setHardwareIdentifier(identifier);
    }
    qmtest::GlobalStateGuard guard_;
};

}  // namespace

TEST_F(IpadMiniTest, TextGrowsToTwentyPointsOnAnIpadMiniOnly) {
    for (const char* id : {"iPad2,5", "iPad4,1"}) {
        play(id);
        const bool mini = std::string(id) == "iPad2,5";
        const double expected = mini ? 20 : 13;

        GSVLabel label(Rect(0, 0, 100, 20));
        label.setFont(platform::graphics::Font::boldSystemFont(13));
        label.awakeFromNib();
        EXPECT_DOUBLE_EQ(label.font().pointSize(), expected) << id;
        EXPECT_TRUE(label.font().isBold()) << "the face stays";

        GSVButton button(Rect(0, 0, 100, 20));
        button.titleLabel()->setFont(platform::graphics::Font::systemFont(13));
        button.awakeFromNib();
        EXPECT_DOUBLE_EQ(button.titleLabel()->font().pointSize(), expected) << id;

        GSVTextField field(Rect(0, 0, 100, 20));
        field.setFont(platform::graphics::Font::boldSystemFont(13));
        field.awakeFromNib();
        EXPECT_DOUBLE_EQ(field.font().pointSize(), expected) << id;
        EXPECT_TRUE(field.font().isBold());

        GSVTextView view(Rect(0, 0, 100, 60));
        view.setFont(platform::graphics::Font::systemFont(13));
        view.awakeFromNib();
        EXPECT_DOUBLE_EQ(view.font().pointSize(), expected) << id;

        TWKTableViewCell cell;
        EXPECT_EQ(cell.reuseIdentifier(), "TWKTableViewCell");
        cell.textLabel()->setFont(platform::graphics::Font::systemFont(13));
        cell.awakeFromNib();
        EXPECT_DOUBLE_EQ(cell.textLabel()->font().pointSize(), expected) << id;
    }
}
