#include <gtest/gtest.h>

#include <random>
#include <string>

#include "analytics/TLYCompressionUtil.h"
#include "dispatch_support.h"

using Data = TLYCompressionUtil::Data;

namespace {
Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }
std::string text(const Data& d) { return std::string(d.begin(), d.end()); }
}  // namespace

TEST(CompressTest, GzipOfAbcIsAGzipStreamThatOnlyTheHeaderAwareInflaterTakes) {
    auto gz = TLYCompressionUtil::tly_dataByGzippingData(bytes("abc"));
    ASSERT_TRUE(gz);
    ASSERT_GE(gz->size(), 2u);
    EXPECT_EQ((*gz)[0], 0x1F);
    EXPECT_EQ((*gz)[1], 0x8B);
    auto back = TLYCompressionUtil::tly_dataByInflatingData(*gz);
    ASSERT_TRUE(back);
    EXPECT_EQ(text(*back), "abc");
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByRawInflatingData(*gz));
    EXPECT_EQ(tlytest::pythonDecompress(*gz, 31), "abc");
}

TEST(CompressTest, EachModeIsReadableByAnIndependentDecoder) {
    std::string payload;
    for (int i = 0; i < 400; ++i) payload += "t=screenview&cd=Main+View&ht=14500000" + std::to_string(i) + "\n";
    auto zlibbed = TLYCompressionUtil::tly_dataByDeflatingData(bytes(payload));
    auto raw = TLYCompressionUtil::tly_dataByRawDeflatingData(bytes(payload));
    auto gz = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload));
    ASSERT_TRUE(zlibbed && raw && gz);
    EXPECT_EQ((*zlibbed)[0], 0x78);
    EXPECT_EQ(tlytest::pythonDecompress(*zlibbed, 15), payload);
    EXPECT_EQ(tlytest::pythonDecompress(*raw, -15), payload);
    EXPECT_EQ(tlytest::pythonDecompress(*gz, 31), payload);
    // The header-detecting inflater takes zlib and gzip; raw needs the raw one.
    EXPECT_EQ(text(*TLYCompressionUtil::tly_dataByInflatingData(*zlibbed)), payload);
    EXPECT_EQ(text(*TLYCompressionUtil::tly_dataByRawInflatingData(*raw)), payload);
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByInflatingData(*raw));
}

TEST(CompressTest, LevelsOutsideOneToNineAreClamped) {
    std::string payload;
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) payload += char('a' + rng() % 6);
    auto at0 = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload), 0);
    auto at1 = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload), 1);
    auto at12 = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload), 12);
    auto at9 = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload), 9);
    ASSERT_TRUE(at0 && at1 && at12 && at9);
    EXPECT_EQ(*at0, *at1);
    EXPECT_EQ(*at12, *at9);
    EXPECT_NE(*at1, *at9);  // the levels really differ on this input
    EXPECT_EQ(tlytest::pythonDecompress(*at0, 31), payload);
}

TEST(CompressTest, EmptyInputGivesNothingFromEveryOperation) {
    Data empty;
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByGzippingData(empty));
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByDeflatingData(empty));
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByRawDeflatingData(empty));
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByInflatingData(empty));
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByRawInflatingData(empty));
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByCompressingBytes(nullptr, 10, -1, 1));
}

TEST(CompressTest, DamagedStreamsAreRefused) {
    std::string payload(5000, 'x');
    for (size_t i = 0; i < payload.size(); i += 7) payload[i] = char('a' + i % 26);
    auto gz = TLYCompressionUtil::tly_dataByGzippingData(bytes(payload));
    ASSERT_TRUE(gz);
    Data truncated(gz->begin(), gz->begin() + gz->size() / 2);
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByInflatingData(truncated));
    Data trailing = *gz;
    trailing.push_back(0);
    trailing.push_back(1);
    tlytest::LogCapture log;
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByInflatingData(trailing));
    EXPECT_EQ(log.count("tfinished inflate w/o using all input, 2 bytes left"), 1u);
    Data garbage = bytes("definitely not deflate data");
    EXPECT_FALSE(TLYCompressionUtil::tly_dataByInflatingData(garbage));
}

TEST(CompressTest, OutputLargerThanOneWindowIsComplete) {
    std::mt19937 rng(11);
    Data noise(64 * 1024);
    for (auto& b : noise) b = uint8_t(rng());
    auto deflated = TLYCompressionUtil::tly_dataByDeflatingData(noise);
    ASSERT_TRUE(deflated);
    EXPECT_GT(deflated->size(), 60u * 1024);
    auto back = TLYCompressionUtil::tly_dataByInflatingData(*deflated);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, noise);
}
