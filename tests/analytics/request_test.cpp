#include <gtest/gtest.h>

#include "analytics/TLYCompressionUtil.h"
#include "analytics/TLYRequestBuilder.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;
using platform::foundation::Value;

namespace {

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1450000000.0);
        Clock::setCurrent(clock_);
    }
    void TearDown() override { Clock::setCurrent(nullptr); }

    static Value hit(Value::Dictionary parameters, double timestamp) {
        Value h(Value::Dictionary{});
        h["parameters"] = Value(std::move(parameters));
        h["timestamp"] = Value::date(timestamp);
        return h;
    }
    std::shared_ptr<ManualClock> clock_;
    TLYRequestBuilder builder_;
};

}  // namespace

TEST_F(RequestTest, PayloadEndsWithHitTimeQueueTimeAndCacheBuster) {
    Value h = hit({{"&t", "screenview"}, {"&cd", "Main View"}}, 1450000000.0);
    clock_->advance(1.5);
    std::string payload = builder_.parametersForHit(h);
    EXPECT_TRUE(payload == "t=screenview&cd=Main+View&ht=1450000000000&qt=1500" ||
                payload == "cd=Main+View&t=screenview&ht=1450000000000&qt=1500")
        << payload;

    Value withZ = hit({{"&z", "123456"}, {"&t", "event"}, {"&a", "9"}}, 1450000000.0);
    payload = builder_.parametersForHit(withZ);
    EXPECT_EQ(payload.substr(payload.size() - std::string("&ht=1450000000000&qt=1500&z=123456").size()),
              "&ht=1450000000000&qt=1500&z=123456");
    EXPECT_EQ(payload.find("z="), payload.size() - 8);
}

TEST_F(RequestTest, FieldValuesOnTheWire) {
    Value h = hit({{"&cd", ""},
                   {"&ni", 1},
                   {"&ev", 2.5},
                   {"&date", Value::date(5)},
                   {"&list", Value(Value::Array{Value("a")})},
                   {"&gone", Value()},
                   {"useSecure", "0"},
                   {"plain", "x"},
                   {"&el", "a b+c/d'e"}},
                  1450000000.0);
    std::string payload = builder_.parametersForHit(h);
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t amp; (amp = payload.find('&', start)) != std::string::npos; start = amp + 1)
        pieces.push_back(payload.substr(start, amp - start));
    pieces.push_back(payload.substr(start));
    // Same millisecond as the hit: no queue time.
    EXPECT_EQ(pieces, (std::vector<std::string>{"cd", "el=a+b%2Bc%2Fd'e", "ev=2.5", "ni=1", "ht=1450000000000"}));
}

TEST_F(RequestTest, GetCarriesThePayloadInTheUrlWithTheCommonHeaders) {
    auto request = builder_.requestGetUrl("https://host.example/collect", "t=screenview&ht=1");
    EXPECT_EQ(request.httpMethod(), "GET");
    EXPECT_EQ(request.url(), "https://host.example/collect?t=screenview&ht=1");
    EXPECT_TRUE(request.httpBody().empty());
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(request.valueForHTTPHeaderField("User-Agent"), builder_.userAgent());
    EXPECT_TRUE(request.followsRedirects());
    EXPECT_EQ(request.timeoutInterval(), 60.0);
    EXPECT_EQ(request.cachePolicy(), platform::net::CachePolicy::ReloadIgnoringLocalAndRemoteCacheData);
}

TEST_F(RequestTest, PostBodiesByCompression) {
    std::vector<std::string> payloads = {"t=screenview&cd=A&ht=1", "t=screenview&cd=B&ht=2"};
    std::string body = TLYRequestBuilder::batchBody(payloads);
    EXPECT_EQ(body, "t=screenview&cd=A&ht=1\nt=screenview&cd=B&ht=2");

    auto gz = builder_.requestPostUrl("https://host.example/batch", body, kTLYCompressionGzip);
    EXPECT_EQ(gz.httpMethod(), "POST");
    EXPECT_FALSE(gz.followsRedirects());  // a 302 to a batch is the dispatcher's to see
    EXPECT_EQ(gz.url(), "https://host.example/batch");
    ASSERT_GE(gz.httpBody().size(), 2u);
    EXPECT_EQ(gz.httpBody()[0], 0x1F);
    EXPECT_EQ(gz.httpBody()[1], 0x8B);
    EXPECT_EQ(gz.valueForHTTPHeaderField("Content-Encoding"), "gzip");
    EXPECT_EQ(gz.valueForHTTPHeaderField("Content-Length"), std::to_string(gz.httpBody().size()));
    EXPECT_EQ(tlytest::pythonDecompress(gz.httpBody(), 31), body);

    auto deflated = builder_.requestPostUrl("https://host.example/batch", body, kTLYCompressionDeflate);
    EXPECT_EQ(deflated.valueForHTTPHeaderField("Content-Encoding"), "deflate");
    EXPECT_EQ(tlytest::pythonDecompress(deflated.httpBody(), 15), body);

    auto plain = builder_.requestPostUrl("https://host.example/collect", body, 7);
    EXPECT_FALSE(plain.allHTTPHeaderFields().contains("Content-Encoding"));
    EXPECT_EQ(std::string(plain.httpBody().begin(), plain.httpBody().end()), body);
    EXPECT_EQ(plain.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST_F(RequestTest, ABodyThatCannotBeCompressedGoesPlainAndUnlabelled) {
    // Compression refuses empty input; the request must not claim an encoding.
    auto request = builder_.requestPostUrl("https://host.example/batch", "", kTLYCompressionGzip);
    EXPECT_FALSE(request.allHTTPHeaderFields().contains("Content-Encoding"));
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), "0");
}
