#include "analytics/TLYUnicode.h"

namespace pf = platform::foundation;

std::vector<TLYCodePoint> tlyDecodeUTF8(const std::string& text) { return pf::decodeUTF8(text); }

bool tlyIsWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<TLYComposedSequence> tlyComposedSequences(const std::string& text) { return pf::composedSequences(text); }

std::string tlyPrefixOfUTF16Length(const std::string& text, size_t maxUnits) {
    size_t used = 0, bytes = 0;
    for (const auto& seq : tlyComposedSequences(text)) {
        if (used + seq.utf16Length > maxUnits) break;
        used += seq.utf16Length;
        bytes = seq.byteOffset + seq.byteLength;
    }
    return text.substr(0, bytes);
}

size_t tlyUTF16Length(const std::string& text) { return pf::utf16Length(text); }
