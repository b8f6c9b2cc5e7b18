#include "analytics/TLYRequestBuilder.h"

#include "analytics/TLYCompressionUtil.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYStringUtil.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Value;
using platform::net::URLRequest;

namespace {

// Collection requests are never answered from a cache, and give up after a
// minute instead of holding the only request slot for ever. A single hit's
// GET follows redirects; a POST does not, since a 302 on a batch is an answer
// the dispatcher acts on.
constexpr double kCollectionTimeout = 60.0;

double hitTime(const Value& hit) {
    const Value& timestamp = hit["timestamp"];
    if (timestamp.isDate()) return timestamp.dateValue();
    if (timestamp.isNumber()) return timestamp.doubleValue();
    return 0;
}

}  // namespace

TLYRequestBuilder::TLYRequestBuilder() : userAgent_(TLYHitUtil::userAgentString()) {}

std::optional<std::string> TLYRequestBuilder::parameterValueToString(const Value& value) const {
    switch (value.type()) {
    case Value::Type::String: return value.string();
    case Value::Type::Bool: return std::string(value.boolValue() ? "1" : "0");
    case Value::Type::Integer:
    case Value::Type::Real: return value.stringValue();
    default: return std::nullopt;
    }
}

std::string TLYRequestBuilder::encodeParameter(const std::string& key, const std::string& value) const {
    std::string name = TLYStringUtil::percentEncode(TLYStringUtil::stripLeadingAmpersand(key));
    if (value.empty()) return name;
    return name + "=" + TLYStringUtil::percentEncode(value);
}

std::vector<std::string> TLYRequestBuilder::encodeParameters(const Value& parameters) const {
    std::vector<std::string> pieces;
    if (!parameters.isDictionary()) return pieces;
    for (const auto& [key, value] : parameters.dictionary()) {
        if (key.empty() || key[0] != '&' || key == "&z") continue;
        if (auto text = parameterValueToString(value)) pieces.push_back(encodeParameter(key, *text));
    }
    return pieces;
}

std::string TLYRequestBuilder::parametersForHit(const Value& hit) const {
    const Value& parameters = hit["parameters"];
    std::vector<std::string> pieces = encodeParameters(parameters);
    double timestamp = hitTime(hit);
    pieces.push_back(platform::foundation::format("ht=%llu", (unsigned long long)int64_t(timestamp * 1000.0)));
    int64_t queueTime = TLYHitUtil::millisecondsElapsedFrom(timestamp, platform::foundation::Clock::current().now());
    if (queueTime >= 1) pieces.push_back(platform::foundation::format("qt=%llu", (unsigned long long)queueTime));
    if (auto z = parameterValueToString(parameters["&z"])) pieces.push_back(encodeParameter("&z", *z));
    std::string payload;
    for (const auto& piece : pieces) {
        if (!payload.empty()) payload += '&';
        payload += piece;
    }
    return payload;
}

std::string TLYRequestBuilder::batchBody(const std::vector<std::string>& payloads) {
    std::string body;
    for (size_t i = 0; i < payloads.size(); ++i) {
        if (i) body += '\n';
        body += payloads[i];
    }
    return body;
}

URLRequest TLYRequestBuilder::baseRequest() const {
    URLRequest request("", kCollectionTimeout, platform::net::CachePolicy::ReloadIgnoringLocalAndRemoteCacheData);
    request.setValue(platform::foundation::format("%s; charset=%s", "application/x-www-form-urlencoded", "UTF-8"),
                     "Content-Type");
    request.setValue(userAgent_, "User-Agent");
    return request;
}

URLRequest TLYRequestBuilder::requestGetUrl(const std::string& url, const std::string& payload) const {
    TLY_VERBOSE("-[TLYRequestBuilder requestGetUrl:payload:]", "building URLRequest for %s", url.c_str());
    URLRequest request = baseRequest();
    request.setHTTPMethod("GET");
    request.setFollowsRedirects(true);
    request.setURL(url + "?" + payload);
    return request;
}

URLRequest TLYRequestBuilder::requestPostUrl(const std::string& url, const std::string& payload,
                                             uint64_t compression) const {
    TLY_VERBOSE("-[TLYRequestBuilder requestPostUrl:payload:compression:]", "building URLRequest for %s", url.c_str());
    URLRequest request = baseRequest();
    request.setHTTPMethod("POST");
    request.setFollowsRedirects(false);
    TLYCompressionUtil::Data body(payload.begin(), payload.end());
    std::optional<TLYCompressionUtil::Data> compressed;
    const char* encoding = nullptr;
    if (compression == kTLYCompressionGzip) {
        compressed = TLYCompressionUtil::tly_dataByGzippingData(body);
        encoding = "gzip";
    } else if (compression == kTLYCompressionDeflate) {
        compressed = TLYCompressionUtil::tly_dataByDeflatingData(body);
        encoding = "deflate";
    }
    // A body that could not be compressed goes as it is, and says so by
    // carrying no encoding.
    if (compressed) {
        body = std::move(*compressed);
        request.setValue(encoding, "Content-Encoding");
    }
    request.setValue(std::to_string(body.size()), "Content-Length");
    request.setHTTPBody(std::move(body));
    request.setURL(url);
    return request;
}
