#pragma once
// A loopback HTTP server for tests: listens on 127.0.0.1 on a free port,
// records every request, and answers as the test scripts it.
//
//   HttpServerKit server;
//   server.on("/list", HttpServerKit::Reply::text("APPLISTVERSION 1").gzipped());
//   ... request server.url("/list") ...
//   ASSERT_TRUE(server.waitForRequests(1));
//   EXPECT_EQ(server.requests()[0].header("User-Agent"), "gzip");
//
// Unscripted paths answer 404. Request bodies sent with a gzip or deflate
// "Content-Encoding" are recorded decoded (the header stays recorded).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qmtest {

class HttpServerKit {
public:
    struct Request {
        std::string method;
        std::string path;                           // without the query
        std::string query;                          // raw, without "?"
        std::map<std::string, std::string> params;  // query (and form body) parameters
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        // The first header of that name (any case), "" when absent.
        std::string header(const std::string& name) const;
        bool hasHeader(const std::string& name) const;
    };

    struct Reply {
        int status = 200;
        std::string body;
        std::string contentType = "text/plain";
        std::vector<std::pair<std::string, std::string>> headers;
        std::string encoding;     // "gzip" or "deflate": the body is sent compressed
        double delaySeconds = 0;  // real time before answering
        bool hang = false;        // answer only when released (releaseHangs() or the kit stops)

        static Reply text(std::string body, int status = 200);
        static Reply json(std::string body, int status = 200);
        static Reply bytes(std::string body, std::string contentType, int status = 200);
        static Reply statusOnly(int code);  // no body
        static Reply redirect(std::string location, int status = 302);
        static Reply hanging();
        Reply& gzipped() {
            encoding = "gzip";
            return *this;
        }
        Reply& deflated() {
            encoding = "deflate";
            return *this;
        }
        Reply& withHeader(std::string name, std::string value) {
            headers.emplace_back(std::move(name), std::move(value));
            return *this;
        }
        Reply& after(double seconds) {
            delaySeconds = seconds;
            return *this;
        }
    };
    using Handler = std::function<Reply(const Request&)>;

    HttpServerKit();   // listening when the constructor returns
    // On a given port, e.g. one a client was pointed at before the service came up.
    explicit HttpServerKit(int port);
    ~HttpServerKit();  // stop()
    HttpServerKit(const HttpServerKit&) = delete;
    HttpServerKit& operator=(const HttpServerKit&) = delete;

    int port() const { return port_; }
    std::string baseURL() const;                     // "http://127.0.0.1:PORT"
    std::string url(const std::string& path) const;  // baseURL() + path

    // Every request to `path` (any method) gets this reply / the handler's.
    void on(const std::string& path, Reply reply);
    void on(const std::string& path, Handler handler);
    // One-time replies for `path`, used in order before the standing one.
    void enqueue(const std::string& path, Reply reply);

    std::vector<Request> requests() const;
    std::vector<Request> requests(const std::string& path) const;
    size_t requestCount() const;
    void clearRequests();
    // Waits (at most `timeoutSeconds` of real time) until `count` requests came.
    bool waitForRequests(size_t count, double timeoutSeconds = 60.0) const;

    // Lets every hanging reply to a request seen so far go (with its status and body).
    void releaseHangs();
    void stop();  // idempotent

    // Body codecs, for scripting and for checking what a client sent.
    static std::string gzip(const std::string& data);
    static std::string deflate(const std::string& data);                 // zlib format, as HTTP's "deflate"
    static std::optional<std::string> inflate(const std::string& data);  // gzip or zlib

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

// An address on 127.0.0.1 where nothing listens (for refused connections).
std::string refusedURL(const std::string& path = "/");

}  // namespace qmtest
