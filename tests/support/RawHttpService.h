#pragma once
// A loopback HTTP service on a raw socket, for tests that check the exact
// bytes a client sends: every request's head and body are kept as received,
// and each is answered as the test's script says (status, body, headers), or
// never (a slow service). It records when each answer was written, on the
// steady clock, so a test can tell whether something happened before or
// after it. One connection at a time; each answer closes its connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qmtest {

class RawHttpService {
public:
    using Clock = std::chrono::steady_clock;
    struct Request {
        std::string head;  // request line and header lines, without the blank line
        std::string body;
        std::string header(const std::string& name) const {
            std::string lower = head;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            std::string key = "\r\n" + name + ":";
            std::transform(key.begin(), key.end(), key.begin(), ::tolower);
            size_t p = lower.find(key);
            if (p == std::string::npos) return "";
            p += key.size();
            while (p < head.size() && head[p] == ' ') ++p;
            return head.substr(p, head.find("\r\n", p) - p);
        }
        std::string requestLine() const { return head.substr(0, head.find("\r\n")); }
    };
    struct Answer {
        Answer() = default;
        Answer(int s, std::string b = "", std::string h = "", bool n = false)
            : status(s), body(std::move(b)), headers(std::move(h)), never(n) {}
        int status = 200;
        std::string body;
        std::string headers;  // extra header lines, each ending in "\r\n"
        bool never = false;   // keep the connection open without answering
    };
    using Script = std::function<Answer(const Request&)>;

    explicit RawHttpService(Script script = {}) : script_(std::move(script)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 16);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawHttpService() { stop(); }

    // Stops listening; later connections are refused.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            stopped_ = true;
        }
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        for (int fd : held_) close(fd);
        held_.clear();
    }
    void setScript(Script script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // When each whole request had been read, in order.
    std::vector<Clock::time_point> requestTimes() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Waits (at most `seconds`) until no connection is open or waiting to be
    // accepted, twice a few milliseconds apart.
    bool waitUntilIdle(double seconds = 60) {
        auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        for (int quiet = 0; quiet < 2;) {
            if (Clock::now() > end) return false;
            pollfd p{listener_, POLLIN, 0};
            const bool idle = !busy_ && poll(&p, 1, 0) == 0;
            quiet = idle ? quiet + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    // When each answer was written, in request order.
    std::vector<Clock::time_point> answerTimes() const {
        std::lock_guard lock(mutex_);
        return answered_;
    }
    // Waits (at most `seconds`) until `count` requests have come.
    bool waitForRequests(size_t count, double seconds = 30) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return requests_.size() >= count; });
    }
    bool waitForAnswers(size_t count, double seconds = 30) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return answered_.size() >= count; });
    }

    static std::string plist(const std::string& inner = "<dict/>") {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + inner + "</plist>";
    }

private:
    void serve() {
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;  // shut down
            busy_ = true;
            std::optional<Request> request = read(fd);
            if (!request) {
                close(fd);
                busy_ = false;
                continue;
            }
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(*request);
                received_.push_back(Clock::now());
                if (script_) answer = script_(*request);
            }
            changed_.notify_all();
            if (answer.never) {
                std::lock_guard lock(mutex_);
                held_.push_back(fd);
                busy_ = false;
                continue;
            }
            std::string out = "HTTP/1.1 " + std::to_string(answer.status) +
                              " Answer\r\nContent-Length: " + std::to_string(answer.body.size()) +
                              "\r\nConnection: close\r\n" + answer.headers + "\r\n" + answer.body;
            for (size_t sent = 0; sent < out.size();) {
                ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += size_t(n);
            }
            {
                std::lock_guard lock(mutex_);
                answered_.push_back(Clock::now());
            }
            changed_.notify_all();
            close(fd);
            busy_ = false;
        }
    }
    // One whole request (the body by its Content-Length), or nothing when the
    // peer goes away first or takes more than a minute.
    static std::optional<Request> read(int fd) {
        std::string data;
        char buf[65536];
        size_t headEnd = std::string::npos, need = 0;
        for (;;) {
            if (headEnd != std::string::npos && data.size() >= headEnd + 4 + need) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0) return std::nullopt;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            data.append(buf, size_t(n));
            if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                Request r;
                r.head = data.substr(0, headEnd);
                const std::string length = r.header("Content-Length");
                need = length.empty() ? 0 : std::stoul(length);
            }
        }
        Request r;
        r.head = data.substr(0, headEnd);
        r.body = data.substr(headEnd + 4, need);
        return r;
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Request> requests_;
    std::vector<Clock::time_point> received_, answered_;
    std::vector<int> held_;
    std::atomic<bool> busy_{false};
    bool stopped_ = false;
};

}  // namespace qmtest
