// The pictures the build draws into the bundle: every one at both scales, the
// battery parts sized for the fill layout, and a colour spectrum the picker
// can pick from everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/Image.h"

namespace pg = platform::graphics;

namespace {

std::shared_ptr<pg::Image> load(const std::string& file) {
    return pg::Image::fromFile(std::string(QM_BUNDLE_DIR) + "/" + file);
}

TEST(BatteryResources, EveryPictureComesAtBothScales) {
    for (const char* name : {"new-filltop",
                             "new-fillmiddle",
                             "new-fillbottom",
                             "backshade",
                             "top",
                             "new-filltop-ipad",
                             "new-fillmiddle-ipad",
                             "new-fillbottom-ipad",
                             "backshade-ipad",
                             "top-ipad",
                             "charging",
                             "bubble",
                             "icon_music",
                             "icon_web",
                             "icon_video",
                             "icon_talk",
                             "icon_chargetime",
                             "icon_photo",
                             "icon_flashlight",
                             "settingsgray",
                             "moreappsgray",
                             "Icon",
                             "Icon-ipad",
                             "TWKResourcesMain.bundle/colors",
                             "TWKResourcesMain.bundle/selector",
                             "TWKResourcesMain.bundle/selector-off"}) {
        auto one = load(std::string(name) + ".png"), two = load(std::string(name) + "@2x.png");
        ASSERT_NE(one, nullptr) << name;
        ASSERT_NE(two, nullptr) << name;
        EXPECT_EQ(one->size(), two->size()) << name;
        EXPECT_EQ(two->pixelWidth(), 2 * one->pixelWidth()) << name;
    }
}

TEST(BatteryResources, PartsFitTheFillLayout) {
    for (const std::string suffix : {"", "-ipad"}) {
        auto top = load("new-filltop" + suffix + "@2x.png"), bottom = load("new-fillbottom" + suffix + "@2x.png");
        auto middle = load("new-fillmiddle" + suffix + "@2x.png"), shine = load("top" + suffix + "@2x.png");
        auto back = load("backshade" + suffix + "@2x.png");
        const double natural = top->size().height + 185.0 + bottom->size().height;
        const double width = top->size().width;
        for (const auto& part : {bottom, middle, shine, back}) EXPECT_EQ(part->size().width, width) << suffix;
        EXPECT_EQ(top->size().height, bottom->size().height) << suffix;
        // The shine covers the natural height, the back reaches 1.17 times it.
        EXPECT_EQ(shine->size().height, natural) << suffix;
        EXPECT_EQ(back->size().height, std::round(natural * 1.17)) << suffix;
        // The middle is shaded across only: every row alike, so stretching is exact.
        for (int y = 1; y < middle->pixelHeight(); ++y)
            for (int x = 0; x < middle->pixelWidth(); x += 7)
                ASSERT_EQ(middle->pixelAt(x, y), middle->pixelAt(x, 0)) << suffix << " " << x << "," << y;
        // Opaque light greys, so that multiplying keeps the colour recognisable.
        const auto lit = middle->pixelAt(middle->pixelWidth() * 3 / 10, 0);
        EXPECT_EQ(lit.a, 255);
        EXPECT_EQ(lit.r, lit.g);
        EXPECT_EQ(lit.g, lit.b);
        EXPECT_GT(lit.r, 230);
        const auto wall = middle->pixelAt(middle->pixelWidth() / 20 + 2, 0);
        EXPECT_EQ(wall.a, 255);
        EXPECT_GT(wall.r, 120);
        EXPECT_LT(wall.r, lit.r);
    }
}

// The frame of the first view of `cls` in an interface file of the bundle.
std::optional<platform::foundation::Value> frameOf(const platform::foundation::Value& node, const std::string& cls) {
    if (node.isDictionary() && node["class"].isString() && node["class"].string() == cls) return node["frame"];
    if (node.isDictionary() || node.isArray()) {
        const auto children =
            node.isArray() ? node.array() : platform::foundation::Value::Array{node["objects"], node["subviews"]};
        for (const auto& child : children)
            if (auto f = frameOf(child, cls)) return f;
    }
    return std::nullopt;
}

TEST(BatteryResources, PartsHaveTheProportionsOfTheirBatteryView) {
    // The fill view scales the fill by the smaller of width and height ratios,
    // and the glass and the shine by both: only matching proportions keep
    // the shine over the glass.
    for (const auto& [file, suffix] : {std::pair{"MainView.json", ""}, std::pair{"MainView-iPad.json", "-ipad"}}) {
        auto text = platform::foundation::FileManager::readFile(std::string(QM_BUNDLE_DIR) + "/" + file);
        ASSERT_TRUE(text) << file;
        auto doc = platform::foundation::Value::fromJSON(*text);
        ASSERT_TRUE(doc) << file;
        auto frame = frameOf(*doc, "BatteryFillView");
        ASSERT_TRUE(frame && frame->isArray() && frame->size() == 4) << file;
        const double w = frame->at(2).doubleValue(), h = frame->at(3).doubleValue();
        auto top = load(std::string("new-filltop") + suffix + ".png");
        ASSERT_NE(top, nullptr) << suffix;
        const double natural = 2 * top->size().height + 185.0;
        EXPECT_NEAR(w / top->size().width, h / natural, 1e-3)
            << file << ": " << w << " x " << h << " for parts " << top->size().width << " x " << natural;
    }
}

TEST(BatteryResources, SpectrumHasNoBlackToPickAndRunsThroughTheHues) {
    auto colors = load("TWKResourcesMain.bundle/colors.png");
    ASSERT_NE(colors, nullptr);
    const int w = colors->pixelWidth(), h = colors->pixelHeight();
    // Inside the rounded corners every pixel is opaque and never black,
    // since a black pixel picks nothing.
    for (int y = 6; y < h - 6; ++y) {
        for (int x = 6; x < w - 6; ++x) {
            const auto p = colors->pixelAt(x, y);
            ASSERT_EQ(p.a, 255) << x << "," << y;
            ASSERT_GT(p.r + p.g + p.b, 0) << x << "," << y;
        }
    }
    // Along the middle row: red, green and blue at 0, 1/3 and 2/3 of the width.
    const int y = h / 2;
    const auto red = colors->pixelAt(7, y), green = colors->pixelAt(w / 3, y), blue = colors->pixelAt(2 * w / 3, y);
    EXPECT_GT(red.r, 200);
    EXPECT_LT(red.g + red.b, 80);
    EXPECT_GT(green.g, 200);
    EXPECT_LT(green.r + green.b, 80);
    EXPECT_GT(blue.b, 200);
    EXPECT_LT(blue.r + blue.g, 80);
    // Lighter above, darker below.
    const auto light = colors->pixelAt(w / 3, 8), dark = colors->pixelAt(w / 3, h - 8);
    EXPECT_GT(light.r, green.r + 100);
    EXPECT_LT(dark.g, green.g - 100);
}

}  // namespace
