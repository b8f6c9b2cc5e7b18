#include "analytics/TLYHitUtil.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include "analytics/TLYLog.h"
#include "analytics/TLYUnicode.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"

using platform::foundation::Value;

namespace {}  // namespace

std::string TLYHitUtil::systemLanguageFromLanguages(const Value& languages) {
    if (!languages.isArray() || languages.size() == 0) return "en";
    return platform::foundation::lowercased(languages.at(0).stringValue());
}

std::string TLYHitUtil::systemLanguage() {
    return systemLanguageFromLanguages(platform::foundation::UserDefaults::preferredLanguages());
}

std::string TLYHitUtil::systemCountryFromLocale(const std::string& localeIdentifier) {
    std::string id = localeIdentifier.substr(0, localeIdentifier.find_first_of(".@"));
    auto sep = id.find_first_of("_-");
    if (sep == std::string::npos) return "";
    std::string region = id.substr(sep + 1);
    region = region.substr(0, region.find_first_of("_-"));
    return platform::foundation::lowercased(region);
}

std::string TLYHitUtil::systemCountry() {
    return systemCountryFromLocale(platform::foundation::Locale::currentLocaleIdentifier());
}

std::string TLYHitUtil::deviceModelVersion() {
    static std::once_flag once;
    static std::string* model = nullptr;  // outlives exit
    std::call_once(once, [] { model = new std::string(platform::ui::Device::current().hardwareIdentifier()); });
    return *model;
}

platform::graphics::Rect TLYHitUtil::swapDimensionsOfRect(const platform::graphics::Rect& rect) {
    return {rect.origin.x, rect.origin.y, rect.size.height, rect.size.width};
}

std::string TLYHitUtil::systemScreenResolution() {
    auto& screen = platform::ui::Screen::main();
    platform::graphics::Rect bounds = screen.bounds();
    // Native bounds are the portrait screen in pixels.
    double w = std::min(bounds.width(), bounds.height()), h = std::max(bounds.width(), bounds.height());
    platform::graphics::Rect native(0, 0, w * screen.scale(), h * screen.scale());
    if (bounds.width() > bounds.height()) native = swapDimensionsOfRect(native);
    return platform::foundation::format("%dx%d", int(native.width()), int(native.height()));
}

int64_t TLYHitUtil::millisecondsElapsedFrom(double from, double to) { return int64_t((to - from) * 1000.0); }

uint32_t TLYHitUtil::tlyHash(const std::string& s) {
    if (s.empty()) return 1;
    auto sequences = tlyComposedSequences(s);
    uint32_t h = 0;
    for (auto it = sequences.rbegin(); it != sequences.rend(); ++it) {
        uint32_t c = it->firstUnit;
        h = ((h & 0x3FFFFF) << 6) + c + (c << 14);
        uint32_t g = h & 0xFE00000;
        if (g != 0) h ^= g >> 21;
    }
    return h;
}

std::string TLYHitUtil::generateClientId() {
    static std::mutex m;
    static std::mt19937_64 engine{std::random_device{}()};
    std::array<uint8_t, 16> b;
    {
        std::lock_guard<std::mutex> guard(m);
        for (size_t i = 0; i < b.size(); i += 8) {
            uint64_t r = engine();
            std::memcpy(&b[i], &r, 8);
        }
    }
    b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // variant
    return platform::foundation::format("%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                                        b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                                        b[13], b[14], b[15]);
}

namespace {

// MD5 (RFC 1321).
std::array<uint8_t, 16> md5(const std::string& message) {
    static const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int R[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                              14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                              4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
    std::string data = message;
    uint64_t bitLength = uint64_t(message.size()) * 8;
    data += char(0x80);
    while (data.size() % 64 != 56) data += char(0);
    for (int i = 0; i < 8; ++i) data += char((bitLength >> (8 * i)) & 0xFF);

    uint32_t a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
    for (size_t chunk = 0; chunk < data.size(); chunk += 64) {
        uint32_t M[16];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const uint8_t*>(data.data() + chunk + 4 * i);
            M[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        }
        uint32_t A = a0, B = b0, C = c0, D = d0;
        for (int i = 0; i < 64; ++i) {
            uint32_t F;
            int g;
            if (i < 16) {
                F = (B & C) | (~B & D);
                g = i;
            } else if (i < 32) {
                F = (D & B) | (~D & C);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                F = B ^ C ^ D;
                g = (3 * i + 5) % 16;
            } else {
                F = C ^ (B | ~D);
                g = (7 * i) % 16;
            }
            F = F + A + K[i] + M[g];
            A = D;
            D = C;
            C = B;
            B = B + ((F << R[i]) | (F >> (32 - R[i])));
        }
        a0 += A;
        b0 += B;
        c0 += C;
        d0 += D;
    }
    std::array<uint8_t, 16> digest;
    uint32_t words[4] = {a0, b0, c0, d0};
    for (int i = 0; i < 16; ++i) digest[i] = uint8_t((words[i / 4] >> (8 * (i % 4))) & 0xFF);
    return digest;
}

}  // namespace

std::string TLYHitUtil::md5Hex(const std::string& bytes) {
    std::string hex;
    for (uint8_t b : md5(bytes)) hex += platform::foundation::format("%02x", b);
    return hex;
}

std::string TLYHitUtil::hashIdfa(const std::string& idfa, const std::string& clientId) {
    return md5Hex(idfa + ":" + clientId);
}

std::string TLYHitUtil::userAgentStringWithProduct(const std::string& product, const std::string& version,
                                                   const std::string& deviceModel, const std::string& systemName,
                                                   const std::string& systemVersion, const std::string& systemLanguage,
                                                   const std::string& systemCountry) {
    return platform::foundation::format("%s/%s (%s; U; CPU %s %s like Mac OS X; %s-%s)", product.c_str(),
                                        version.c_str(), deviceModel.c_str(), systemName.c_str(), systemVersion.c_str(),
                                        systemLanguage.c_str(), systemCountry.c_str());
}

std::string TLYHitUtil::userAgentString() {
    auto& device = platform::ui::Device::current();
    return userAgentStringWithProduct(kTLYProductName, kTLYProductVersion, device.model(), device.systemName(),
                                      device.systemVersion(), systemLanguage(), systemCountry());
}
