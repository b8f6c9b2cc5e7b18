#pragma once
// Text as the platform's strings see it: code points, UTF-16 units and
// composed character sequences (a base character with its combining marks, or
// a pair of regional indicators).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Unicode.h"

using TLYCodePoint = platform::foundation::CodePoint;

// Invalid bytes decode as U+FFFD, one per byte.
std::vector<TLYCodePoint> tlyDecodeUTF8(const std::string& text);
bool tlyIsWhitespaceOrNewline(char32_t c);

using TLYComposedSequence = platform::foundation::ComposedSequence;
std::vector<TLYComposedSequence> tlyComposedSequences(const std::string& text);

// The longest prefix of whole composed sequences no longer than `maxUnits`
// UTF-16 units.
std::string tlyPrefixOfUTF16Length(const std::string& text, size_t maxUnits);
size_t tlyUTF16Length(const std::string& text);
