#pragma once
// Text as the platform's strings see it: code points, UTF-16 units and
// composed character sequences (a base character with its combining marks, or
// a pair of regional indicators).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TLYCodePoint {
    char32_t codePoint;
    size_t offset;  // byte offset in the UTF-8 text
};

// Invalid bytes decode as U+FFFD, one per byte.
std::vector<TLYCodePoint> tlyDecodeUTF8(const std::string& text);
bool tlyIsWhitespaceOrNewline(char32_t c);

struct TLYComposedSequence {
    size_t byteOffset, byteLength;
    char16_t firstUnit;  // first UTF-16 unit of the sequence
    size_t utf16Length;
};
std::vector<TLYComposedSequence> tlyComposedSequences(const std::string& text);

// The longest prefix of whole composed sequences no longer than `maxUnits`
// UTF-16 units.
std::string tlyPrefixOfUTF16Length(const std::string& text, size_t maxUnits);
size_t tlyUTF16Length(const std::string& text);
