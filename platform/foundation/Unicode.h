#pragma once
// Text as the platform's strings see it: UTF-8 decoded into code points,
// lengths in UTF-16 units, and composed character sequences (a base
// character with the combining marks and joined characters after it, or a
// pair of regional indicators). Not for crash time: it allocates.
#include <cstddef>
#include <string_view>
#include <vector>

namespace platform::foundation {

struct CodePoint {
    char32_t codePoint;
    size_t offset;  // byte offset in the UTF-8 text
};

// The character at byte `offset`: a malformed, overlong, surrogate or cut
// sequence reads as U+FFFD one byte long, with `valid` false.
struct DecodedCharacter {
    char32_t codePoint;
    size_t length;
    bool valid;
};
DecodedCharacter decodeUTF8At(std::string_view text, size_t offset);

// Invalid bytes decode as U+FFFD, one per byte.
std::vector<CodePoint> decodeUTF8(std::string_view text);
bool isValidUTF8(std::string_view text);

size_t utf16Length(char32_t c);
size_t utf16Length(std::string_view text);

struct ComposedSequence {
    size_t byteOffset, byteLength;
    char16_t firstUnit;  // first UTF-16 unit of the sequence
    size_t utf16Length;
};
std::vector<ComposedSequence> composedSequences(std::string_view text);

}  // namespace platform::foundation
