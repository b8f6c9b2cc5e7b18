#pragma once
// One HTTP request: URL, method, header fields, body, time-out and whether
// redirects are followed. A plain value; copy it to change it.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/HeaderFields.h"

namespace platform::net {

using Data = std::vector<uint8_t>;

enum class CachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReloadIgnoringLocalAndRemoteCacheData = 4,
};

class URLRequest {
public:
    static constexpr double kDefaultTimeoutInterval = 60.0;

    URLRequest() = default;
    explicit URLRequest(std::string url, double timeoutInterval = kDefaultTimeoutInterval,
                        CachePolicy cachePolicy = CachePolicy::UseProtocolCachePolicy)
        : url_(std::move(url)), timeoutInterval_(timeoutInterval), cachePolicy_(cachePolicy) {}

    const std::string& url() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }
    const std::string& httpMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }

    const HeaderFields& allHTTPHeaderFields() const { return headers_; }
    std::string valueForHTTPHeaderField(const std::string& name) const { return headers_.value(name).value_or(""); }
    void setValue(const std::string& value, const std::string& field) { headers_.set(field, value); }
    void addValue(const std::string& value, const std::string& field) { headers_.add(field, value); }

    const Data& httpBody() const { return body_; }
    void setHTTPBody(Data body) { body_ = std::move(body); }
    void setHTTPBody(const std::string& body) { body_.assign(body.begin(), body.end()); }

    // Seconds without progress before the request fails as timed out.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // Nothing is cached locally; the policy is kept for callers that read it back.
    CachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(CachePolicy policy) { cachePolicy_ = policy; }
    // When off, a 3xx answer is the response itself.
    bool followsRedirects() const { return followsRedirects_; }
    void setFollowsRedirects(bool follow) { followsRedirects_ = follow; }

    // The most bytes of the answer's (decoded) body that are kept. A longer
    // answer ends the transfer: as a failure (kURLErrorDataLengthExceedsMaximum)
    // unless `truncate` is set, for a caller that wants the status and at most
    // this much of the body, which then gets what was kept.
    static constexpr size_t kDefaultMaximumResponseBodySize = size_t(32) << 20;
    size_t maximumResponseBodySize() const { return maxBodySize_; }
    bool truncatesResponseBody() const { return truncateBody_; }
    void setMaximumResponseBodySize(size_t bytes, bool truncate = false) {
        maxBodySize_ = bytes;
        truncateBody_ = truncate;
    }

private:
    std::string url_;
    std::string method_ = "GET";
    HeaderFields headers_;
    Data body_;
    double timeoutInterval_ = kDefaultTimeoutInterval;
    CachePolicy cachePolicy_ = CachePolicy::UseProtocolCachePolicy;
    bool followsRedirects_ = true;
    size_t maxBodySize_ = kDefaultMaximumResponseBodySize;
    bool truncateBody_ = false;
};

}  // namespace platform::net
