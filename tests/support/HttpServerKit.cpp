#include "tests/support/HttpServerKit.h"

// Must match how the system's cpp-httplib was built (its pkg-config flags).
#ifndef CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#endif
#include <httplib.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace qmtest {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string compress(const std::string& data, int windowBits) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&zs, data.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(zs.total_out);
    return out;
}

}  // namespace

std::string HttpServerKit::Request::header(const std::string& name) const {
    for (const auto& [k, v] : headers)
        if (sameName(k, name)) return v;
    return "";
}

bool HttpServerKit::Request::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return sameName(h.first, name); });
}

HttpServerKit::Reply HttpServerKit::Reply::text(std::string body, int status) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

HttpServerKit::Reply HttpServerKit::Reply::json(std::string body, int status) {
    Reply r = text(std::move(body), status);
    r.contentType = "application/json";
    return r;
}

HttpServerKit::Reply HttpServerKit::Reply::bytes(std::string body, std::string contentType, int status) {
    Reply r = text(std::move(body), status);
    r.contentType = std::move(contentType);
    return r;
}

HttpServerKit::Reply HttpServerKit::Reply::statusOnly(int code) { return text("", code); }

HttpServerKit::Reply HttpServerKit::Reply::redirect(std::string location, int status) {
    Reply r = text("", status);
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

HttpServerKit::Reply HttpServerKit::Reply::hanging() {
    Reply r;
    r.hang = true;
    return r;
}

struct HttpServerKit::Impl {
    httplib::Server server;
    std::thread thread;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Request> requests;
    std::map<std::string, Handler> standing;
    std::map<std::string, std::deque<Reply>> queued;
    uint64_t releaseGeneration = 0;
    bool stopping = false;

    Reply replyFor(const Request& req) {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto q = queued.find(req.path);
            if (q != queued.end() && !q->second.empty()) {
                Reply r = std::move(q->second.front());
                q->second.pop_front();
                return r;
            }
            auto s = standing.find(req.path);
            if (s == standing.end()) return Reply::text("not scripted", 404);
            handler = s->second;
        }
        return handler(req);
    }

    void serve(const httplib::Request& in, httplib::Response& out) {
        Request req;
        req.method = in.method;
        req.path = in.path;
        const size_t q = in.target.find('?');
        if (q != std::string::npos) req.query = in.target.substr(q + 1);
        for (const auto& [k, v] : in.params) req.params.emplace(k, v);
        for (const auto& [k, v] : in.headers) req.headers.emplace_back(k, v);
        req.body = in.body;
        // A release that comes once the request is seen lets it go, even
        // before its reply has started to hang.
        uint64_t generation;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(req);
            generation = releaseGeneration;
        }
        changed.notify_all();

        Reply reply = replyFor(req);
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (reply.hang) {
                changed.wait(lock, [&] { return stopping || releaseGeneration != generation; });
            } else if (reply.delaySeconds > 0) {
                changed.wait_for(lock, std::chrono::duration<double>(reply.delaySeconds), [&] { return stopping; });
            }
        }

        out.status = reply.status;
        for (const auto& [k, v] : reply.headers) out.set_header(k, v);
        std::string body = reply.body;
        if (reply.encoding == "gzip")
            body = gzip(body);
        else if (reply.encoding == "deflate")
            body = deflate(body);
        if (!reply.encoding.empty()) out.set_header("Content-Encoding", reply.encoding);
        if (body.empty()) {
            if (!reply.contentType.empty() && reply.status != 204 && reply.status != 304)
                out.set_header("Content-Type", reply.contentType);
            return;
        }
        // A body with a known length goes out exactly as scripted (never
        // re-compressed by the server).
        auto shared = std::make_shared<std::string>(std::move(body));
        out.set_content_provider(shared->size(), reply.contentType,
                                 [shared](size_t offset, size_t length, httplib::DataSink& sink) {
                                     const size_t n = std::min(length, shared->size() - offset);
                                     return sink.write(shared->data() + offset, n);
                                 });
    }
};

HttpServerKit::HttpServerKit() : HttpServerKit(0) {}

HttpServerKit::HttpServerKit(int port) : impl_(std::make_unique<Impl>()) {
    auto& s = impl_->server;
    auto handler = [this](const httplib::Request& in, httplib::Response& out) { impl_->serve(in, out); };
    s.Get(".*", handler);
    s.Post(".*", handler);
    s.Put(".*", handler);
    s.Patch(".*", handler);
    s.Delete(".*", handler);
    s.Options(".*", handler);
    s.set_keep_alive_max_count(1);
    port_ = port == 0 ? s.bind_to_any_port("127.0.0.1") : s.bind_to_port("127.0.0.1", port) ? port : -1;
    if (port_ <= 0) throw std::runtime_error("HttpServerKit: cannot bind 127.0.0.1");
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // A stop() that comes before the listener runs is lost and the join hangs,
    // so the constructor returns only once the server is accepting (bounded).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!impl_->server.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServerKit::~HttpServerKit() { stop(); }

std::string HttpServerKit::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string HttpServerKit::url(const std::string& path) const { return baseURL() + path; }

void HttpServerKit::on(const std::string& path, Reply reply) {
    on(path, [reply](const Request&) { return reply; });
}

void HttpServerKit::on(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->standing[path] = std::move(handler);
}

void HttpServerKit::enqueue(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->queued[path].push_back(std::move(reply));
}

std::vector<HttpServerKit::Request> HttpServerKit::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

std::vector<HttpServerKit::Request> HttpServerKit::requests(const std::string& path) const {
    std::vector<Request> out;
    for (auto& r : requests())
        if (r.path == path) out.push_back(r);
    return out;
}

size_t HttpServerKit::requestCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests.size();
}

void HttpServerKit::clearRequests() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->requests.clear();
}

bool HttpServerKit::waitForRequests(size_t count, double timeoutSeconds) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                   [&] { return impl_->requests.size() >= count; });
}

void HttpServerKit::releaseHangs() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        ++impl_->releaseGeneration;
    }
    impl_->changed.notify_all();
}

void HttpServerKit::stop() {
    if (!impl_ || !impl_->thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->changed.notify_all();
    impl_->server.stop();
    impl_->thread.join();
}

std::string HttpServerKit::gzip(const std::string& data) { return compress(data, 15 + 16); }

std::string HttpServerKit::deflate(const std::string& data) { return compress(data, 15); }

std::optional<std::string> HttpServerKit::inflate(const std::string& data) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 32) != Z_OK) return std::nullopt;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buf);
        zs.avail_out = sizeof buf;
        rc = ::inflate(&zs, Z_NO_FLUSH);
        out.append(buf, sizeof buf - zs.avail_out);
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

std::string refusedURL(const std::string& path) {
    // A bound socket that never listens: connecting to its port is refused, and
    // holding it keeps any other process from taking the port.
    static const int port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("refusedURL: cannot reserve a port");
        return static_cast<int>(ntohs(addr.sin_port));
    }();
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace qmtest
