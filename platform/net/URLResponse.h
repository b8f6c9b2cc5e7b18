#pragma once
// The answer to an HTTP request: final URL, status, header fields.
#include <cstdint>
#include <string>

#include "platform/net/HeaderFields.h"

namespace platform::net {

class URLResponse {
public:
    URLResponse() = default;
    URLResponse(std::string url, int64_t statusCode, HeaderFields headers)
        : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

    const std::string& url() const { return url_; }  // after redirects
    int64_t statusCode() const { return statusCode_; }
    const HeaderFields& allHeaderFields() const { return headers_; }
    std::string valueForHTTPHeaderField(const std::string& name) const { return headers_.value(name).value_or(""); }
    // "Content-Length", or -1 when the server did not say.
    int64_t expectedContentLength() const;
    // "Content-Type" without its parameters, lower case; "" when absent.
    std::string mimeType() const;
    // The "charset" parameter of "Content-Type"; "" when absent.
    std::string textEncodingName() const;
    bool isSuccess() const { return statusCode_ >= 200 && statusCode_ <= 299; }

private:
    std::string url_;
    int64_t statusCode_ = 0;
    HeaderFields headers_;
};

}  // namespace platform::net
