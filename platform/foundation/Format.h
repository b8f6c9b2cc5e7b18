#pragma once
// String and date formatting as the system's code uses it.
#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::foundation {

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
// The platform's format syntax with values: %@ (description / string), %d %i
// %ld %li %lld %u %lu %zu %x, %f %.Nf %g %e, %s, %c, %%, and positional %1$@.
std::string formatValues(const std::string& fmt, const std::vector<Value>& args);

// Every occurrence of `what` in `text` replaced by `with` (left to right, not
// rescanning what was put in).
std::string replacingOccurrences(std::string text, const std::string& what, const std::string& with);

// Text made safe inside markup (HTML or XML element text and attribute
// values): & < > " and ' become character references.
std::string escapeMarkup(const std::string& text);

// `text` for a line a person reads (the console log, a refusal quoting what
// the user gave): control characters are shown escaped ("\n", "\r", "\t",
// "\x1b"), and so is each byte that is not part of valid UTF-8, C1 controls
// (U+0080-U+009F), and the line separators and direction overrides that
// would move text on the screen (each byte as "\xNN"), so that a value can
// neither split the line, overwrite it, nor drive the terminal. Printable
// text, "é" or "電池" as much as ASCII, stays as it is. A backslash is shown
// doubled ("\\"), so that every escape reads one way only: escape a text once.
std::string escapingControls(std::string_view text);

// ASCII case mapping, as the POSIX locale does it; other bytes stay.
std::string lowercased(std::string text);
std::string uppercased(std::string text);

// Percent-encodes `text` byte by byte (upper-case hex), keeping ASCII letters,
// digits and the characters of `keep`; a space becomes "+" when `spaceAsPlus`.
std::string percentEncoded(const std::string& text, std::string_view keep, bool spaceAsPlus = false);

// Dates in the POSIX locale. `pattern` uses the platform's date-pattern letters
// (yyyy MM dd HH mm ss SSS Z ZZZZZ EEE MMM a ...); `utc` picks UTC over local time.
// A date the calendar cannot hold (not finite, or millions of years away) is "".
std::string formatDate(double secondsSince1970, const std::string& pattern, bool utc = true);
std::optional<double> parseDate(const std::string& text, const std::string& pattern, bool utc = true);
std::string rfc3339(double secondsSince1970);  // 2026-12-07T04:43:55Z
std::optional<double> parseRFC3339(const std::string& text);

}  // namespace platform::foundation
