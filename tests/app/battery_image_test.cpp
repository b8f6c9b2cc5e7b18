// The combined fill picture: heights worked out by hand from the part sizes
// the bundle carries (phone parts 140 x 14 caps, tablet 129 x 15; natural
// height 14 + 185 + 14 = 213), placement of the parts, and its cache.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/BatteryImage.h"
#include "platform/foundation/Bundle.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Device.h"
#include "tests/support/GlobalStateGuard.h"

namespace pg = platform::graphics;
namespace pf = platform::foundation;

namespace {

class BatteryImageTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override { use(QM_BUNDLE_DIR, 1.0, "iPhone7,2"); }
    void TearDown() override {
        std::filesystem::remove_all(emptyBundle_);
        use(QM_BUNDLE_DIR, 1.0, "iPhone7,2");
    }
    void use(const std::string& bundle, double screenScale, const std::string& device) {
        pf::Bundle::setMainBundlePath(bundle);
        pg::Image::setScreenScale(screenScale);
        platform::ui::Device::current().setHardwareIdentifier(device);
        BatteryImage::sharedInstance().setCachedScaledImage(nullptr);
    }
    static int alphaAt(const pg::Image& image, int x, int y) { return image.pixelAt(x, y).a; }

    std::string emptyBundle_;
};

struct Case {
    double screenScale;
    double width, height;
    float level;
    double pictureHeight;  // points, by hand
};

class CombinedHeight : public BatteryImageTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CombinedHeight, FollowsTheLevelBetweenTheCapsAndTheMargin) {
    const Case c = GetParam();
    use(QM_BUNDLE_DIR, c.screenScale, "iPhone7,2");
    auto picture = BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, c.width, c.height}, c.level);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->size().width, c.width);
    EXPECT_EQ(picture->size().height, c.pictureHeight);
    EXPECT_EQ(picture->scale(), c.screenScale);
    EXPECT_EQ(picture->pixelHeight(), c.pictureHeight * c.screenScale);
}

INSTANTIATE_TEST_SUITE_P(ByHand, CombinedHeight,
                         ::testing::Values(
                             // s = 1: m 16, caps 14 and 14, middle round(169 L).
                             Case{1, 140, 213, 0.0f, 28}, Case{1, 140, 213, 0.5f, 113 /* 84.5 -> 85 */},
                             Case{1, 140, 213, 1.0f, 197}, Case{2, 140, 213, 0.0f, 28}, Case{2, 140, 213, 0.5f, 113},
                             Case{2, 140, 213, 1.0f, 197},
                             // s = 2: m 32, caps 28 and 28, middle round(338 L).
                             Case{1, 280, 426, 0.0f, 56}, Case{1, 280, 426, 0.5f, 225}, Case{1, 280, 426, 1.0f, 394},
                             Case{2, 280, 426, 0.5f, 225},
                             // Height limits: s = 300 / 213; m round(22.54) = 23, caps round(19.72) = 20,
                             // middle round(237 x 0.5 = 118.5) = 119.
                             Case{1, 300, 300, 0.0f, 40}, Case{1, 300, 300, 0.5f, 159}, Case{2, 300, 300, 1.0f, 277},
                             // Width limits: s = 70 / 140 = 0.5 on a tall layer; m 8, caps 7, middle round(400 - 22).
                             Case{1, 70, 400, 1.0f, 392}));

TEST_F(BatteryImageTest, LayoutArithmeticIsSinglePrecisionWithHalvesAwayFromZero) {
    const auto l = BatteryImage::layoutFor({0, 0, 300, 300}, 0.5f, {140, 14}, {140, 14});
    EXPECT_FLOAT_EQ(l.scale, 300.0f / 213.0f);
    EXPECT_EQ(l.margin, 23.0f);
    EXPECT_EQ(l.topHeight, 20.0f);
    EXPECT_EQ(l.bottomHeight, 20.0f);
    EXPECT_EQ(l.middleHeight, 119.0f);
    // The origin of the bounds plays no part.
    EXPECT_EQ(BatteryImage::layoutFor({5, 9, 300, 300}, 0.5f, {140, 14}, {140, 14}).height(), l.height());
    // A level below zero never gives a middle of negative height.
    EXPECT_EQ(BatteryImage::layoutFor({0, 0, 140, 213}, -1.0f, {140, 14}, {140, 14}).middleHeight, 0.0f);
}

TEST_F(BatteryImageTest, PartsStandUprightBottomCapAtTheBottom) {
    auto& shared = BatteryImage::sharedInstance();
    auto picture = shared.getCombinedImageScaledForBounds({0, 0, 140, 213}, 0.5f);
    ASSERT_NE(picture, nullptr);
    auto top = BatteryImage::imgTop(), bottom = BatteryImage::imgBottom(), middle = BatteryImage::imgFillCenter();
    ASSERT_TRUE(top && bottom && middle);
    const int h = picture->pixelHeight();
    // At scale 1 every part lands pixel for pixel: the top cap's rows first,
    // the middle's (uniform down its height) next, the bottom cap's last.
    for (int x : {3, 10, 40, 70, 100, 135}) {
        for (int y = 0; y < 14; ++y) {
            EXPECT_EQ(picture->pixelAt(x, y), top->pixelAt(x, y)) << x << "," << y;
            EXPECT_EQ(picture->pixelAt(x, h - 14 + y), bottom->pixelAt(x, y)) << x << "," << y;
        }
        for (int y = 14; y < h - 14; y += 7) EXPECT_EQ(picture->pixelAt(x, y), middle->pixelAt(x, 0)) << x << "," << y;
    }
    // The top cap's upper corners are open, the bottom cap's lower corners round.
    EXPECT_EQ(alphaAt(*picture, 8, 0), 0);
    EXPECT_EQ(alphaAt(*picture, 70, 10), 255);
    EXPECT_EQ(alphaAt(*picture, 8, h - 1), 0);
    EXPECT_EQ(alphaAt(*picture, 70, h - 1), 255);
}

TEST_F(BatteryImageTest, SameBoundsAndLevelGiveTheSamePicture) {
    auto& shared = BatteryImage::sharedInstance();
    const pg::Rect b{0, 0, 140, 213};
    auto first = shared.getCombinedImageScaledForBounds(b, 0.4f);
    EXPECT_EQ(shared.getCombinedImageScaledForBounds(b, 0.4f), first);
    EXPECT_EQ(shared.lastLevel(), 0.4f);
    EXPECT_EQ(shared.lastBounds(), b);
    EXPECT_EQ(shared.cachedScaledImage(), first);

    auto nudged = shared.getCombinedImageScaledForBounds(b, 0.401f);
    EXPECT_NE(nudged, first);
    auto moved = shared.getCombinedImageScaledForBounds({1, 0, 140, 213}, 0.401f);
    EXPECT_NE(moved, nudged);  // the whole rectangle is compared, origin too
    // A cleared cache builds again even for the same request.
    shared.setCachedScaledImage(nullptr);
    EXPECT_NE(shared.getCombinedImageScaledForBounds({1, 0, 140, 213}, 0.401f), moved);
}

TEST_F(BatteryImageTest, TabletNamesCarryTheSuffix) {
    EXPECT_EQ(BatteryImage::buildSuffix(), "");
    EXPECT_EQ(BatteryImage::imgFillCenter()->size().width, 140);
    use(QM_BUNDLE_DIR, 2.0, "iPad4,1");
    EXPECT_EQ(BatteryImage::buildSuffix(), "-ipad");
    for (auto image : {BatteryImage::imgBack(), BatteryImage::imgShine(), BatteryImage::imgTop(),
                       BatteryImage::imgBottom(), BatteryImage::imgFillCenter()}) {
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->size().width, 129);  // the tablet parts
        EXPECT_EQ(image->scale(), 2.0);
    }
    // Tablet caps are 15 high: at s = 1 the full picture is 215 - 16.
    auto picture = BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 129, 215}, 1.0f);
    EXPECT_EQ(picture->size().height, 199);
}

TEST_F(BatteryImageTest, MissingPartsGiveATransparentPictureAndEmptyBoundsNone) {
    char pattern[] = "/tmp/qm-nobundle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    emptyBundle_ = pattern;
    use(emptyBundle_, 1.0, "iPhone7,2");
    EXPECT_EQ(BatteryImage::imgTop(), nullptr);
    // Without caps: s = 185 / 185, m 16, middle round((185 - 16) x 1).
    auto picture = BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 100, 185}, 1.0f);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->size(), (pg::Size{100, 169}));
    for (int y = 0; y < picture->pixelHeight(); y += 3)
        for (int x = 0; x < picture->pixelWidth(); x += 3) ASSERT_EQ(alphaAt(*picture, x, y), 0);
    EXPECT_EQ(BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 0, 185}, 1.0f), nullptr);
    EXPECT_EQ(BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 100, 185}, 0.0f), nullptr);
    // Asked again, the empty request is not answered by the full picture built before it.
    EXPECT_EQ(BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 100, 185}, 0.0f), nullptr);
    EXPECT_EQ(BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 0, 185}, 1.0f), nullptr);
    EXPECT_EQ(BatteryImage::sharedInstance().getCombinedImageScaledForBounds({0, 0, 0, 185}, 1.0f), nullptr);
}

}  // namespace
