#include "analytics/TLYUnicode.h"

std::vector<TLYCodePoint> tlyDecodeUTF8(const std::string& text) {
    std::vector<TLYCodePoint> out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned char b = s[i];
        size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) ||
                   (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back({0xFFFD, i});
            ++i;
            continue;
        }
        out.push_back({cp, i});
        i += len;
    }
    return out;
}

bool tlyIsWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

// Marks and joiners that extend the sequence before them.
bool isExtending(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) || (c >= 0x0591 && c <= 0x05BD) ||
           (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) || (c >= 0x0900 && c <= 0x0903) ||
           (c >= 0x093A && c <= 0x094F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) ||
           c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
           (c >= 0xE0100 && c <= 0xE01EF);
}

bool isRegionalIndicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }

size_t units(char32_t c) { return c >= 0x10000 ? 2 : 1; }

char16_t firstUnit(char32_t c) { return c >= 0x10000 ? char16_t(0xD800 + ((c - 0x10000) >> 10)) : char16_t(c); }

}  // namespace

std::vector<TLYComposedSequence> tlyComposedSequences(const std::string& text) {
    auto points = tlyDecodeUTF8(text);
    std::vector<TLYComposedSequence> out;
    size_t i = 0;
    while (i < points.size()) {
        size_t j = i + 1;
        size_t u = units(points[i].codePoint);
        if (isRegionalIndicator(points[i].codePoint) && j < points.size() && isRegionalIndicator(points[j].codePoint)) {
            u += units(points[j].codePoint);
            ++j;
        }
        while (j < points.size()) {
            if (isExtending(points[j].codePoint)) {
                u += units(points[j].codePoint);
                // A joiner glues the next character on as well.
                bool joiner = points[j].codePoint == 0x200D;
                ++j;
                if (joiner && j < points.size()) u += units(points[j++].codePoint);
                continue;
            }
            break;
        }
        size_t end = j < points.size() ? points[j].offset : text.size();
        out.push_back({points[i].offset, end - points[i].offset, firstUnit(points[i].codePoint), u});
        i = j;
    }
    return out;
}

std::string tlyPrefixOfUTF16Length(const std::string& text, size_t maxUnits) {
    size_t used = 0, bytes = 0;
    for (const auto& seq : tlyComposedSequences(text)) {
        if (used + seq.utf16Length > maxUnits) break;
        used += seq.utf16Length;
        bytes = seq.byteOffset + seq.byteLength;
    }
    return text.substr(0, bytes);
}

size_t tlyUTF16Length(const std::string& text) {
    size_t n = 0;
    for (const auto& p : tlyDecodeUTF8(text)) n += units(p.codePoint);
    return n;
}
