#pragma once
// Device and locale facts that go into hits and the User-Agent, the sampling
// hash, client identifiers and the hashed advertising identifier.
#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"

class TLYHitUtil {
public:
    TLYHitUtil() = delete;

    // The first entry lower-cased; "en" for an empty array.
    static std::string systemLanguageFromLanguages(const platform::foundation::Value& languages);
    static std::string systemLanguage();
    // The country of a locale identifier ("en_US.UTF-8" -> "us"); "" when none.
    static std::string systemCountryFromLocale(const std::string& localeIdentifier);
    static std::string systemCountry();
    // The device's hardware identifier, read once.
    static std::string deviceModelVersion();
    // "<w>x<h>" in pixels, turned with the screen.
    static std::string systemScreenResolution();
    static platform::graphics::Rect swapDimensionsOfRect(const platform::graphics::Rect& rect);
    static std::string systemScreenColorDepth() { return "24-bit"; }
    static int64_t millisecondsElapsedFrom(double from, double to);
    static uint32_t tlyHash(const std::string& s);
    static std::string generateClientId();
    // MD5 of "<idfa>:<clientId>" as 32 lower-case hexadecimal digits.
    static std::string hashIdfa(const std::string& idfa, const std::string& clientId);
    static std::string md5Hex(const std::string& bytes);
    static std::string userAgentString();
    static std::string userAgentStringWithProduct(const std::string& product, const std::string& version,
                                                  const std::string& deviceModel, const std::string& systemName,
                                                  const std::string& systemVersion, const std::string& systemLanguage,
                                                  const std::string& systemCountry);
};
