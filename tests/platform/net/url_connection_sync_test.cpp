// Synchronous loading against the loopback server.
#include <gtest/gtest.h>

#include <string>

#include "load_support.h"
#include "platform/net/URLConnection.h"
#include "tests/support/HttpServerKit.h"

namespace net = platform::net;
namespace pf = platform::foundation;
using qmtest::HttpServerKit;

namespace {

std::string text(const net::Data& d) { return std::string(d.begin(), d.end()); }

using nettest::load;

TEST(URLConnectionSync, SendsMethodHeadersAndBody) {
    HttpServerKit server;
    server.on("/collect", HttpServerKit::Reply::text("ok"));
    net::URLRequest request(server.url("/collect?v=1&tid=UA-1"));
    request.setHTTPMethod("POST");
    request.setValue("application/x-www-form-urlencoded; charset=UTF-8", "Content-Type");
    request.setValue("Quenmira/1.0", "User-Agent");
    request.addValue("a", "X-Multi");
    request.addValue("b", "x-multi");
    request.setHTTPBody(std::string("t=screenview&cd=Main"));

    auto l = load(request);
    ASSERT_TRUE(l.data.has_value()) << l.error.description();
    EXPECT_EQ(text(*l.data), "ok");
    EXPECT_EQ(l.response.statusCode(), 200);

    auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 1u);
    const auto& r = recorded[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/collect");
    EXPECT_EQ(r.query, "v=1&tid=UA-1");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_EQ(r.header("User-Agent"), "Quenmira/1.0");
    EXPECT_EQ(r.header("X-Multi"), "a, b");
    EXPECT_FALSE(r.hasHeader("Expect"));
    EXPECT_EQ(r.body, "t=screenview&cd=Main");
    EXPECT_EQ(r.params.at("cd"), "Main");
}

TEST(URLConnectionSync, OtherMethods) {
    HttpServerKit server;
    server.on("/thing", HttpServerKit::Reply::text("x"));
    net::URLRequest put(server.url("/thing"));
    put.setHTTPMethod("PUT");
    put.setHTTPBody(std::string("payload"));
    ASSERT_TRUE(load(put).data.has_value());
    net::URLRequest del(server.url("/thing"));
    del.setHTTPMethod("DELETE");
    ASSERT_TRUE(load(del).data.has_value());
    net::URLRequest emptyPost(server.url("/thing"));
    emptyPost.setHTTPMethod("POST");
    ASSERT_TRUE(load(emptyPost).data.has_value());

    auto r = server.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].method, "PUT");
    EXPECT_EQ(r[0].body, "payload");
    EXPECT_EQ(r[1].method, "DELETE");
    EXPECT_EQ(r[2].method, "POST");
    EXPECT_EQ(r[2].body, "");
}

TEST(URLConnectionSync, ResponseHead) {
    HttpServerKit server;
    server.on("/list", HttpServerKit::Reply::text("APPLISTVERSION 2")
                           .withHeader("X-Server", "kit")
                           .withHeader("Cache-Control", "no-cache"));
    auto l = load(net::URLRequest(server.url("/list")));
    ASSERT_TRUE(l.data.has_value());
    EXPECT_EQ(l.response.url(), server.url("/list"));
    EXPECT_EQ(l.response.valueForHTTPHeaderField("x-server"), "kit");
    EXPECT_EQ(l.response.mimeType(), "text/plain");
    EXPECT_EQ(l.response.expectedContentLength(), 16);
    EXPECT_TRUE(l.response.isSuccess());
}

TEST(URLConnectionSync, ErrorStatusIsAnAnswerNotAnError) {
    HttpServerKit server;
    server.on("/missing", HttpServerKit::Reply::text("<html>gone</html>", 404));
    auto l = load(net::URLRequest(server.url("/missing")));
    ASSERT_TRUE(l.data.has_value());
    EXPECT_EQ(l.response.statusCode(), 404);
    EXPECT_FALSE(l.response.isSuccess());
    EXPECT_EQ(text(*l.data), "<html>gone</html>");
}

TEST(URLConnectionSync, GzipAndDeflateAnswersAreDecoded) {
    HttpServerKit server;
    const std::string body(5000, 'q');
    server.on("/gz", HttpServerKit::Reply::text(body).gzipped());
    server.on("/zz", HttpServerKit::Reply::text(body).deflated());

    net::URLRequest gz(server.url("/gz"));
    gz.setValue("gzip", "Accept-Encoding");
    gz.setValue("gzip", "User-Agent");
    auto a = load(gz);
    ASSERT_TRUE(a.data.has_value()) << a.error.description();
    EXPECT_EQ(text(*a.data), body);
    EXPECT_EQ(a.response.valueForHTTPHeaderField("Content-Encoding"), "gzip");

    auto b = load(net::URLRequest(server.url("/zz")));
    ASSERT_TRUE(b.data.has_value()) << b.error.description();
    EXPECT_EQ(text(*b.data), body);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].header("Accept-Encoding"), "gzip");  // the request's own value, once
    EXPECT_FALSE(r[1].hasHeader("Accept-Encoding"));    // compressed unasked, still decoded
}

TEST(URLConnectionSync, CorruptCompressedBodyIsAnError) {
    HttpServerKit server;
    server.on("/bad", HttpServerKit::Reply::text("this is not gzip at all").withHeader("Content-Encoding", "gzip"));
    auto l = load(net::URLRequest(server.url("/bad")));
    EXPECT_FALSE(l.data.has_value());
    EXPECT_EQ(l.error.domain, net::kURLErrorDomain);
    EXPECT_EQ(l.error.code, net::kURLErrorCannotDecodeContentData);
}

TEST(URLConnectionSync, RedirectsFollowedByDefault) {
    HttpServerKit server;
    server.on("/old", HttpServerKit::Reply::redirect("/new"));
    server.on("/new", HttpServerKit::Reply::text("moved here"));
    auto l = load(net::URLRequest(server.url("/old")));
    ASSERT_TRUE(l.data.has_value());
    EXPECT_EQ(l.response.statusCode(), 200);
    EXPECT_EQ(l.response.url(), server.url("/new"));
    EXPECT_EQ(text(*l.data), "moved here");
    EXPECT_FALSE(l.response.allHeaderFields().contains("Location"));  // the redirect's head is gone
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(URLConnectionSync, RedirectOffAnswersTheRedirect) {
    HttpServerKit server;
    server.on("/old", HttpServerKit::Reply::redirect("/new", 301));
    server.on("/new", HttpServerKit::Reply::text("moved here"));
    net::URLRequest request(server.url("/old"));
    request.setFollowsRedirects(false);
    auto l = load(request);
    ASSERT_TRUE(l.data.has_value());
    EXPECT_EQ(l.response.statusCode(), 301);
    EXPECT_EQ(l.response.valueForHTTPHeaderField("Location"), "/new");
    EXPECT_EQ(server.requests("/new").size(), 0u);
}

TEST(URLConnectionSync, EndlessRedirectsFail) {
    HttpServerKit server;
    server.on("/loop", HttpServerKit::Reply::redirect("/loop"));
    auto l = load(net::URLRequest(server.url("/loop")));
    EXPECT_FALSE(l.data.has_value());
    EXPECT_EQ(l.error.code, net::kURLErrorHTTPTooManyRedirects);
}

TEST(URLConnectionSync, RefusedConnectionIsAnErrorWithNoAnswer) {
    net::URLResponse response(std::string("untouched"), 7, {});
    pf::Error error;
    auto data =
        net::URLConnection::sendSynchronousRequest(net::URLRequest(qmtest::refusedURL("/x")), &response, &error);
    EXPECT_FALSE(data.has_value());
    EXPECT_EQ(error.domain, net::kURLErrorDomain);
    EXPECT_EQ(error.code, net::kURLErrorCannotConnectToHost);
    EXPECT_EQ(error.userInfo[net::kURLErrorFailingURLStringKey].stringValue(), qmtest::refusedURL("/x"));
    EXPECT_EQ(response.statusCode(), 7);
}

TEST(URLConnectionSync, UnusableURLs) {
    EXPECT_EQ(load(net::URLRequest("")).error.code, net::kURLErrorBadURL);
    EXPECT_EQ(load(net::URLRequest("ftp://127.0.0.1/file")).error.code, net::kURLErrorUnsupportedURL);
    EXPECT_EQ(load(net::URLRequest("file:///etc/passwd")).error.code, net::kURLErrorUnsupportedURL);
}

TEST(URLConnectionSync, DefaultTimeoutIsSixtySeconds) {
    EXPECT_DOUBLE_EQ(net::URLRequest("http://127.0.0.1/").timeoutInterval(), 60.0);
    EXPECT_TRUE(net::URLRequest("http://127.0.0.1/").followsRedirects());
    EXPECT_EQ(net::URLRequest("http://127.0.0.1/").httpMethod(), "GET");
}

}  // namespace
