#include "platform/foundation/Unicode.h"

namespace platform::foundation {

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

char16_t firstUnit(char32_t c) { return c >= 0x10000 ? char16_t(0xD800 + ((c - 0x10000) >> 10)) : char16_t(c); }

}  // namespace

DecodedCharacter decodeUTF8At(std::string_view text, size_t offset) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    unsigned char b = s[offset];
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && offset + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
        if ((s[offset + k] & 0xC0) != 0x80)
            ok = false;
        else
            cp = (cp << 6) | (s[offset + k] & 0x3F);
    }
    if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF)))
        ok = false;
    if (!ok) return {0xFFFD, 1, false};
    return {cp, len, true};
}

std::vector<CodePoint> decodeUTF8(std::string_view text) {
    std::vector<CodePoint> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        DecodedCharacter c = decodeUTF8At(text, i);
        out.push_back({c.codePoint, i});
        i += c.length;
    }
    return out;
}

bool isValidUTF8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        DecodedCharacter c = decodeUTF8At(text, i);
        if (!c.valid) return false;
        i += c.length;
    }
    return true;
}

size_t utf16Length(char32_t c) { return c >= 0x10000 ? 2 : 1; }

size_t utf16Length(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        DecodedCharacter c = decodeUTF8At(text, i);
        n += utf16Length(c.codePoint);
        i += c.length;
    }
    return n;
}

std::vector<ComposedSequence> composedSequences(std::string_view text) {
    auto points = decodeUTF8(text);
    std::vector<ComposedSequence> out;
    size_t i = 0;
    while (i < points.size()) {
        size_t j = i + 1;
        size_t u = utf16Length(points[i].codePoint);
        if (isRegionalIndicator(points[i].codePoint) && j < points.size() && isRegionalIndicator(points[j].codePoint)) {
            u += utf16Length(points[j].codePoint);
            ++j;
        }
        while (j < points.size() && isExtending(points[j].codePoint)) {
            u += utf16Length(points[j].codePoint);
            // A joiner glues the next character on as well.
            bool joiner = points[j].codePoint == 0x200D;
            ++j;
            if (joiner && j < points.size()) u += utf16Length(points[j++].codePoint);
        }
        size_t end = j < points.size() ? points[j].offset : text.size();
        out.push_back({points[i].offset, end - points[i].offset, firstUnit(points[i].codePoint), u});
        i = j;
    }
    return out;
}

}  // namespace platform::foundation
