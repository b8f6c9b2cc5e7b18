#include "analytics/TLYStringUtil.h"

#include <cinttypes>
#include <cstdio>

#include "analytics/TLYUnicode.h"
#include "platform/foundation/Format.h"

using platform::foundation::Value;

std::string TLYStringUtil::trim(const std::string& s) {
    auto points = tlyDecodeUTF8(s);
    size_t begin = 0, end = points.size();
    while (begin < end && tlyIsWhitespaceOrNewline(points[begin].codePoint)) ++begin;
    while (end > begin && tlyIsWhitespaceOrNewline(points[end - 1].codePoint)) --end;
    if (begin == end) return "";
    size_t from = points[begin].offset;
    size_t to = end < points.size() ? points[end].offset : s.size();
    return s.substr(from, to - from);
}

std::string TLYStringUtil::intString(int64_t v) { return platform::foundation::format("%" PRId64, v); }

std::string TLYStringUtil::uintString(uint64_t v) { return platform::foundation::format("%" PRIu64, v); }

std::string TLYStringUtil::decimalString(double v, int decimals) {
    std::string s = platform::foundation::format("%.*f", decimals, v);
    auto point = s.find('.');
    if (point == std::string::npos) return s;
    size_t last = s.find_last_not_of('0');
    if (last == point) return s.substr(0, point);
    return s.substr(0, last + 1);
}

std::string TLYStringUtil::currencyMicrosString(int64_t micros) {
    // The magnitude in unsigned arithmetic: negating the smallest 64-bit value overflows.
    uint64_t a = micros < 0 ? 0 - uint64_t(micros) : uint64_t(micros);
    uint64_t units = a / 1000000, fraction = a % 1000000;
    const char* sign = micros < 0 ? "-" : "";
    if (fraction == 0) return platform::foundation::format("%s%" PRIu64, sign, units);
    std::string digits = platform::foundation::format("%06" PRIu64, fraction);
    digits.erase(digits.find_last_not_of('0') + 1);
    if (a < 1000000) return platform::foundation::format("%s.%s", sign, digits.c_str());
    return platform::foundation::format("%s%" PRIu64 ".%s", sign, units, digits.c_str());
}

std::string TLYStringUtil::percentEncode(const std::string& s) {
    return platform::foundation::percentEncoded(s, "-._~'", true);
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string TLYStringUtil::percentDecode(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += char(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string TLYStringUtil::urlParams(const std::string& url) {
    auto q = url.find('?');
    if (q == std::string::npos) return "";
    return url.substr(q + 1);
}

Value TLYStringUtil::decodeParametersFromQuery(const std::string& query) {
    Value result = Value(Value::Dictionary{});
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        std::string piece = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        auto eq = piece.find('=');
        if (eq == std::string::npos) {
            result[percentDecode(piece)] = Value(std::string());
        } else {
            result[percentDecode(piece.substr(0, eq))] = Value(percentDecode(piece.substr(eq + 1)));
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return result;
}

std::optional<Value> TLYStringUtil::decodeParametersFromUrl(const std::string& url) {
    // Characters a URL may not hold make the text no URL at all.
    constexpr std::string_view illegal = " \"<>\\^`{|}";
    if (url.empty()) return std::nullopt;
    for (unsigned char c : url) {
        if (c < 0x21 || c >= 0x7F || illegal.find(char(c)) != std::string::npos) return std::nullopt;
    }
    auto q = url.find('?');
    if (q == std::string::npos) return Value(Value::Dictionary{});
    std::string query = url.substr(q + 1);
    auto hash = query.find('#');
    if (hash != std::string::npos) query.erase(hash);
    if (query.empty()) return Value(Value::Dictionary{});
    return decodeParametersFromQuery(query);
}

std::string TLYStringUtil::stripLeadingAmpersand(const std::string& s) {
    return !s.empty() && s[0] == '&' ? s.substr(1) : s;
}
