#pragma once
// String helpers of the analytics client: numbers, money, URL queries and the
// percent-encoding of payloads.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

class TLYStringUtil {
public:
    TLYStringUtil() = delete;

    // Without leading and trailing white space and line breaks (Unicode ones too).
    static std::string trim(const std::string& s);
    static std::string intString(int64_t v);
    static std::string uintString(uint64_t v);
    // "%.*f", then trailing zeros of the fraction (and a bare point) removed.
    static std::string decimalString(double v, int decimals);
    // An amount in millionths: "-12", "12.5", ".5", "-.25".
    static std::string currencyMicrosString(int64_t micros);
    // Letters, digits, "-._~" and the ASCII apostrophe stay; a blank becomes "+";
    // every other byte of the UTF-8 text becomes %XX.
    static std::string percentEncode(const std::string& s);
    // "+" becomes a blank, then %XX escapes are decoded; an escape that is not
    // two hexadecimal digits stays as written.
    static std::string percentDecode(const std::string& s);
    // The text after the first "?", or "".
    static std::string urlParams(const std::string& url);
    // A dictionary of decoded names to decoded values (strings); later pairs win.
    static platform::foundation::Value decodeParametersFromQuery(const std::string& query);
    // Null for text that is no URL; else the decoded query (empty when none).
    static std::optional<platform::foundation::Value> decodeParametersFromUrl(const std::string& url);
    static std::string stripLeadingAmpersand(const std::string& s);
};
