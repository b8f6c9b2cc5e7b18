// Images: PNG round trips, named lookup by scale through a bundle, the cache.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/graphics/Context.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::graphics;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<Image> solid(Size size, double scale, Color c) {
    auto ctx = Context::beginImageContext(size, false, scale);
    ctx->setFillColor(c);
    ctx->fillRect({0, 0, size.width, size.height});
    return ctx->image();
}

class NamedImages : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qm-images-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        solid({4, 4}, 1, Color::rgba(1, 0, 0))->writePNG((dir_ / "dot.png").string());
        solid({4, 4}, 2, Color::rgba(0, 0, 1))->writePNG((dir_ / "dot@2x.png").string());
        solid({3, 3}, 1, Color::rgba(0, 1, 0))->writePNG((dir_ / "dot-ipad.png").string());
        solid({5, 5}, 2, Color::rgba(0, 1, 0))->writePNG((dir_ / "only@2x.png").string());
        std::ofstream(dir_ / "broken.png") << "not a png";
        bundle_ = std::make_unique<platform::foundation::Bundle>(dir_.string());
    }
    void TearDown() override { fs::remove_all(dir_); }
    qmtest::GlobalStateGuard guard_;
    fs::path dir_;
    std::unique_ptr<platform::foundation::Bundle> bundle_;
};

}  // namespace

TEST(Image, PNGRoundTripKeepsPixelsAndScale) {
    auto img = solid({3, 2}, 2, Color::rgba(1, 0.5, 0, 1));
    auto bytes = img->pngData();
    ASSERT_FALSE(bytes.empty());
    auto back = Image::fromPNGData(bytes, 2);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size(), (Size{3, 2}));
    EXPECT_EQ(back->pixelAt(5, 3), img->pixelAt(5, 3));
}

TEST(Image, TranslucentPicturesRoundTripAsRGBAAndOpaqueOnesAsRGB) {
    auto ctx = Context::beginImageContext({64, 8}, false, 1);
    for (int x = 0; x < 64; ++x) {
        ctx->setFillColor(Color::rgba(1.0 - x / 64.0, 0.5, x / 64.0, x / 63.0));
        ctx->fillRect({double(x), 0, 1, 8});
    }
    auto img = ctx->image();
    auto bytes = img->pngData();
    ASSERT_GT(bytes.size(), 26u);
    EXPECT_EQ(bytes[25], 6);  // colour type RGBA
    auto back = Image::fromPNGData(bytes);
    ASSERT_TRUE(back);
    for (int x = 0; x < 64; ++x) {
        const auto a = img->pixelAt(x, 3), b = back->pixelAt(x, 3);
        EXPECT_EQ(b.a, a.a) << x;
        EXPECT_NEAR(b.r, a.r, 1) << x;
        EXPECT_NEAR(b.g, a.g, 1) << x;
        EXPECT_NEAR(b.b, a.b, 1) << x;
    }
    EXPECT_EQ(solid({4, 4}, 1, Color::rgba(0.2, 0.4, 0.6))->pngData()[25], 2);  // colour type RGB
}

TEST(Image, UnreadableBytesGiveNoImage) {
    EXPECT_EQ(Image::fromPNGData({}), nullptr);
    EXPECT_EQ(Image::fromPNGData({0x89, 'P', 'N', 'G', 0, 0}), nullptr);
    auto bytes = solid({8, 8}, 1, Color::black())->pngData();
    bytes.resize(bytes.size() / 2);  // truncated
    EXPECT_EQ(Image::fromPNGData(bytes), nullptr);
    EXPECT_EQ(Image::fromFile("/nonexistent/x.png"), nullptr);
}

TEST_F(NamedImages, ScaleOnePrefersThePlainFile) {
    auto img = Image::named("dot", bundle_.get());
    ASSERT_TRUE(img);
    EXPECT_EQ(img->scale(), 1);
    EXPECT_EQ(img->pixelAt(0, 0).r, 255);
    // With or without the extension, the same cached object.
    EXPECT_EQ(Image::named("dot.png", bundle_.get()), img);
}

TEST_F(NamedImages, ScaleTwoPrefersTheAt2xFile) {
    Image::setScreenScale(2);
    auto img = Image::named("dot.png", bundle_.get());
    ASSERT_TRUE(img);
    EXPECT_EQ(img->scale(), 2);
    EXPECT_EQ(img->size(), (Size{4, 4}));
    EXPECT_EQ(img->pixelAt(0, 0).b, 255);
}

TEST_F(NamedImages, FallsBackToTheOtherScaleAndTakesTabletNamesAsGiven) {
    auto only = Image::named("only", bundle_.get());
    ASSERT_TRUE(only);
    EXPECT_EQ(only->scale(), 2);
    EXPECT_EQ(only->size(), (Size{5, 5}));
    auto ipad = Image::named("dot-ipad.png", bundle_.get());
    ASSERT_TRUE(ipad);
    EXPECT_EQ(ipad->size(), (Size{3, 3}));
    EXPECT_EQ(Image::named("missing", bundle_.get()), nullptr);
    EXPECT_EQ(Image::named("broken", bundle_.get()), nullptr);
    EXPECT_EQ(Image::named("", bundle_.get()), nullptr);
}

TEST_F(NamedImages, ConcurrentFirstLookupsShareOneImage) {
    std::vector<std::shared_ptr<Image>> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = Image::named("dot", bundle_.get()); });
    for (auto& t : threads) t.join();
    for (auto& g : got) EXPECT_EQ(g, got[0]);
    EXPECT_TRUE(got[0]);
}

TEST(Image, FileScaleComesFromTheSuffix) {
    auto dir = fs::temp_directory_path() / ("qm-img-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    solid({2, 2}, 2, Color::black())->writePNG((dir / "a@2x.png").string());
    auto img = Image::fromFile((dir / "a@2x.png").string());
    ASSERT_TRUE(img);
    EXPECT_EQ(img->scale(), 2);
    EXPECT_EQ(img->size(), (Size{2, 2}));
    fs::remove_all(dir);
}

TEST(Image, AHeaderDeclaringAHugePictureIsRefusedBeforeDecoding) {
    // A real 4x4 PNG whose header is made to declare 20000x20000, checksum and all.
    auto bytes = solid({4, 4}, 1, Color::black())->pngData();
    ASSERT_GT(bytes.size(), 33u);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (24 - 8 * i));
    };
    put32(16, 20000);
    put32(20, 20000);
    uint32_t crc = 0xFFFFFFFFu;  // over the chunk type and data: bytes 12..28
    for (size_t i = 12; i < 29; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    put32(29, ~crc);

    std::vector<std::string> lines;
    platform::foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(Image::fromPNGData(bytes), nullptr);
    const std::string path = (fs::temp_directory_path() / ("qm-huge-" + std::to_string(::getpid()) + ".png")).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    EXPECT_EQ(Image::fromFile(path), nullptr);
    platform::foundation::setLogSink(nullptr);
    fs::remove(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("declares 20000x20000 pixels"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(path), std::string::npos) << lines[1];
}
