// JPEG pictures: decoded from bytes and files alongside PNG, their declared
// size read without decoding, and damaged files refused without harm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/graphics/Image.h"
#include "tests/support/JpegWriter.h"

namespace pg = platform::graphics;

namespace {

bool near(pg::Image::Pixel p, int r, int g, int b) {
    return p.a == 255 && std::abs(p.r - r) < 8 && std::abs(p.g - g) < 8 && std::abs(p.b - b) < 8;
}

}  // namespace

TEST(JpegImage, BaselineAndProgressivePicturesDecodeFromBytesAndFiles) {
    const auto baseline = qmtest::solidJPEG(16, 9, 200, 30, 90);
    auto image = pg::Image::fromData(baseline, 2.0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixelWidth(), 16);
    EXPECT_EQ(image->size().height, 4.5);
    EXPECT_TRUE(near(image->pixelAt(15, 8), 200, 30, 90));

    auto progressive = pg::Image::fromJPEGData(qmtest::solidJPEG(7, 3, 10, 220, 10, true));
    ASSERT_NE(progressive, nullptr);
    EXPECT_TRUE(near(progressive->pixelAt(6, 2), 10, 220, 10));

    const auto dir = std::filesystem::temp_directory_path() / ("qm-jpeg-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "photo@2x.jpg").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(baseline.data()), std::streamsize(baseline.size()));
    auto fromFile = pg::Image::fromFile(path);
    std::filesystem::remove_all(dir);
    ASSERT_NE(fromFile, nullptr);
    EXPECT_EQ(fromFile->scale(), 2.0);
}

TEST(JpegImage, DeclaredSizesAreReadWithoutDecodingAndDamageIsRefused) {
    auto jpeg = qmtest::solidJPEG(33, 17, 1, 2, 3);
    EXPECT_EQ(pg::Image::declaredPixelSize(jpeg), std::make_pair(33, 17));
    auto png = pg::Image::fromData(jpeg)->pngData();
    EXPECT_EQ(pg::Image::declaredPixelSize(png), std::make_pair(33, 17));
    EXPECT_FALSE(pg::Image::declaredPixelSize(std::vector<uint8_t>{'G', 'I', 'F', '8', '9', 'a'}));

    // Cut short, or scribbled over after the header: no picture, no crash.
    std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 3));
    EXPECT_EQ(pg::Image::fromData(cut), nullptr);
    for (size_t i = 200; i < jpeg.size(); i += 7) jpeg[i] = 0xFF;
    (void)pg::Image::fromData(jpeg);
    EXPECT_EQ(pg::Image::fromJPEGData({0xFF, 0xD8, 0xFF}), nullptr);
}
