#pragma once
// The collection wire format: one hit's payload, the joined batch body, and
// the GET and POST requests that carry them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

// Compression of POST bodies (the dispatcher's compressionStrategy).
enum TLYCompression : uint64_t { kTLYCompressionNone = 0, kTLYCompressionDeflate = 1, kTLYCompressionGzip = 2 };

class TLYRequestBuilder {
public:
    TLYRequestBuilder();

    const std::string& userAgent() const { return userAgent_; }
    void setUserAgent(const std::string& userAgent) { userAgent_ = userAgent; }

    // The hit store's dictionary: "timestamp" (a date) and "parameters".
    std::string parametersForHit(const platform::foundation::Value& hit) const;
    std::vector<std::string> encodeParameters(const platform::foundation::Value& parameters) const;
    std::string encodeParameter(const std::string& key, const std::string& value) const;
    // Nullopt for values that are not sent (null marker, dates, containers).
    std::optional<std::string> parameterValueToString(const platform::foundation::Value& value) const;
    // Payloads joined by single line feeds.
    static std::string batchBody(const std::vector<std::string>& payloads);

    platform::net::URLRequest baseRequest() const;
    platform::net::URLRequest requestGetUrl(const std::string& url, const std::string& payload) const;
    // Compression 1 deflate (zlib format), 2 gzip, any other value none. A body
    // that cannot be compressed goes uncompressed, without the encoding header.
    platform::net::URLRequest requestPostUrl(const std::string& url, const std::string& payload,
                                             uint64_t compression) const;

private:
    std::string userAgent_;
};
