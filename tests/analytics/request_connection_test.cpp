// One collection request carried by TLYURLConnection against the loopback kit:
// what its block receives, where and how often.
#include <gtest/gtest.h>

#include <thread>

#include "analytics/TLYRequestBuilder.h"
#include "analytics/TLYURLConnection.h"
#include "dispatch_support.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/HttpServerKit.h"

using platform::foundation::RunLoop;
using qmtest::HttpServerKit;

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    std::shared_ptr<TLYURLConnection> send(const platform::net::URLRequest& request) {
        return TLYURLConnection::initWithRequest(
            request, &platform::foundation::dispatch::mainQueue(),
            [this](const TLYURLConnection::Answer& answer) {
                answers_.push_back(answer);
                threads_.push_back(std::this_thread::get_id());
            },
            &RunLoop::main());
    }
    bool answered(size_t count = 1) {
        return tlytest::pumpUntil([&] { return answers_.size() >= count; });
    }

    HttpServerKit server_;
    TLYRequestBuilder builder_;
    std::vector<TLYURLConnection::Answer> answers_;
    std::vector<std::thread::id> threads_;
};

}  // namespace

TEST_F(ConnectionTest, TheAnswerReachesTheBlockOnceOnItsQueue) {
    server_.on("/collect", HttpServerKit::Reply::text("taken", 201));
    auto connection = send(builder_.requestGetUrl(server_.url("/collect"), "t=screenview&ht=1"));
    ASSERT_TRUE(answered());
    tlytest::pumpUntil([] { return false; }, 0.2);
    ASSERT_EQ(answers_.size(), 1u);
    const auto& answer = answers_[0];
    EXPECT_TRUE(answer.hasResponse && answer.isHTTP);
    EXPECT_EQ(answer.statusCode, 201);
    EXPECT_EQ(std::string(answer.data.begin(), answer.data.end()), "taken");
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(threads_[0], std::this_thread::get_id());  // the main queue
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].params.at("t"), "screenview");
}

TEST_F(ConnectionTest, ARefusedConnectionGivesAnErrorAndNoResponse) {
    send(builder_.requestGetUrl(qmtest::refusedURL("/collect"), "t=screenview&ht=1"));
    ASSERT_TRUE(answered());
    EXPECT_FALSE(answers_[0].hasResponse);
    EXPECT_EQ(answers_[0].statusCode, -1);
    EXPECT_TRUE(answers_[0].error);
}

TEST_F(ConnectionTest, ACancelledRequestCompletesOnceWithNeitherDataNorError) {
    server_.on("/collect", HttpServerKit::Reply::hanging());
    auto connection = send(builder_.requestPostUrl(server_.url("/collect"), "t=screenview&ht=1", kTLYCompressionNone));
    ASSERT_TRUE(tlytest::pumpUntil([&] { return server_.requestCount() == 1; }));
    connection->cancel();
    ASSERT_TRUE(answered());
    server_.releaseHangs();
    tlytest::pumpUntil([] { return false; }, 0.3);
    ASSERT_EQ(answers_.size(), 1u);
    EXPECT_TRUE(answers_[0].data.empty());
    EXPECT_FALSE(answers_[0].error);
}

TEST_F(ConnectionTest, DryRunAnswers200WithAnEmptyBodyAndSendsNothing) {
    TLYURLConnection::setDryRun(true);
    send(builder_.requestGetUrl(server_.url("/collect"), "t=screenview&ht=1"));
    const bool done = answered();
    TLYURLConnection::setDryRun(false);
    ASSERT_TRUE(done);
    EXPECT_TRUE(answers_[0].hasResponse && answers_[0].isHTTP);
    EXPECT_EQ(answers_[0].statusCode, 200);
    EXPECT_TRUE(answers_[0].data.empty());
    EXPECT_FALSE(answers_[0].error);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(ConnectionTest, AHugeAnswerCostsOnlyItsStatusAndNoCompressionIsAskedFor) {
    // 64 MiB once inflated, a few kilobytes on the wire.
    server_.on("/collect", HttpServerKit::Reply::text(std::string(64 << 20, '\0')).gzipped());
    send(builder_.requestPostUrl(server_.url("/collect"), "t=screenview&ht=1", kTLYCompressionNone));
    ASSERT_TRUE(answered());
    EXPECT_EQ(answers_[0].statusCode, 200);
    EXPECT_FALSE(answers_[0].error);
    EXPECT_LE(answers_[0].data.size(), 1024u);
    EXPECT_FALSE(server_.requests()[0].hasHeader("Accept-Encoding"));
}
