#include "platform/foundation/Format.h"

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/foundation/Unicode.h"

namespace platform::foundation {

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) vsnprintf(s.data(), size_t(n) + 1, fmt, ap);
    return s;
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

namespace {

template <typename T>
std::string printfOne(const std::string& spec, T value) {
    int n = snprintf(nullptr, 0, spec.c_str(), value);
    if (n <= 0) return "";
    std::string s(size_t(n), '\0');
    snprintf(s.data(), size_t(n) + 1, spec.c_str(), value);
    return s;
}

}  // namespace

std::string formatValues(const std::string& fmt, const std::vector<Value>& args) {
    static const Value none;
    std::string out;
    size_t next = 0;
    size_t i = 0;
    while (i < fmt.size()) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        size_t start = i++;
        if (i < fmt.size() && fmt[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // Optional position "N$".
        size_t argIndex = next;
        bool positional = false;
        {
            size_t j = i;
            size_t pos = 0;
            while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j])))
                pos = pos * 10 + size_t(fmt[j++] - '0');
            if (j < fmt.size() && fmt[j] == '$' && j > i && pos > 0) {
                argIndex = pos - 1;
                positional = true;
                i = j + 1;
            }
        }
        std::string flags;
        while (i < fmt.size() && strchr("-+ #0'", fmt[i])) flags += fmt[i++];
        std::string width;
        while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) width += fmt[i++];
        std::string precision;
        if (i < fmt.size() && fmt[i] == '.') {
            precision += fmt[i++];
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) precision += fmt[i++];
        }
        while (i < fmt.size() && strchr("hlqLzjt", fmt[i])) ++i;  // lengths: every integer is 64-bit here
        if (i >= fmt.size()) {
            out.append(fmt, start, std::string::npos);
            break;
        }
        char conv = fmt[i++];
        const Value& arg = argIndex < args.size() ? args[argIndex] : none;
        if (!positional)
            ++next;
        else
            next = argIndex + 1;
        std::string base = "%" + flags + width + precision;
        switch (conv) {
        case '@': {
            std::string s = arg.isNumber() ? arg.stringValue() : arg.description();
            out += printfOne(base + "s", s.c_str());
            break;
        }
        case 's': out += printfOne(base + "s", arg.stringValue().c_str()); break;
        case 'd':
        case 'i': out += printfOne(base + "lld", (long long)arg.intValue()); break;
        case 'u':
        case 'x':
        case 'X':
        case 'o': out += printfOne(base + "ll" + conv, (unsigned long long)arg.intValue()); break;
        case 'c': out += printfOne(base + "c", int(arg.intValue())); break;
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'e':
        case 'E':
        case 'a':
        case 'A': out += printfOne(base + conv, arg.doubleValue()); break;
        case 'p': out += printfOne(base + "llx", (unsigned long long)arg.intValue()); break;
        default: out.append(fmt, start, i - start); break;
        }
    }
    return out;
}

// ---- dates

namespace {

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// Splits a pattern into runs of one letter and literal text ('quoted' or not a letter).
struct Token {
    char letter = 0;  // 0 for literal
    int count = 0;
    std::string literal;
};

std::vector<Token> tokenize(const std::string& pattern) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '\'') {
            std::string lit;
            ++i;
            if (i < pattern.size() && pattern[i] == '\'') {
                lit = "'";
                ++i;
            } else {
                while (i < pattern.size()) {
                    if (pattern[i] == '\'') {
                        if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                            lit += '\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    lit += pattern[i++];
                }
            }
            tokens.push_back({0, 0, lit});
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            int n = 0;
            while (i < pattern.size() && pattern[i] == c) ++n, ++i;
            tokens.push_back({c, n, ""});
        } else {
            tokens.push_back({0, 0, std::string(1, c)});
            ++i;
        }
    }
    return tokens;
}

std::string pad(long v, int width) {
    char buf[32];
    snprintf(buf, sizeof buf, "%0*ld", width, v);
    return buf;
}

std::string zone(long offset, bool iso, bool colon) {
    if (iso && offset == 0) return "Z";
    char sign = offset < 0 ? '-' : '+';
    long a = std::labs(offset);
    return std::string(1, sign) + pad(a / 3600, 2) + (colon ? ":" : "") + pad(a / 60 % 60, 2);
}

}  // namespace

std::string formatDate(double secondsSince1970, const std::string& pattern, bool utc) {
    // Beyond this (about 31 million years) the seconds may not fit a time_t
    // and the year not an int: such a date has no text.
    constexpr double kFarthest = 1e15;
    if (!(std::fabs(secondsSince1970) <= kFarthest)) return {};
    double whole = std::floor(secondsSince1970);
    int millis = int(std::lround((secondsSince1970 - whole) * 1000));
    if (millis >= 1000) {
        whole += 1;
        millis -= 1000;
    }
    time_t t = time_t(whole);
    tm tmv;
    long offset = 0;
    if (utc) {
        if (!gmtime_r(&t, &tmv)) return {};
    } else {
        if (!localtime_r(&t, &tmv)) return {};
        offset = tmv.tm_gmtoff;
    }
    std::string out;
    for (auto& tk : tokenize(pattern)) {
        int n = tk.count;
        switch (tk.letter) {
        case 0: out += tk.literal; break;
        case 'y':
        case 'Y':
        case 'u': out += n == 2 ? pad((tmv.tm_year + 1900) % 100, 2) : pad(tmv.tm_year + 1900, n); break;
        case 'M':
        case 'L':
            if (n >= 4)
                out += kMonths[tmv.tm_mon];
            else if (n == 3)
                out += std::string(kMonths[tmv.tm_mon], 3);
            else
                out += pad(tmv.tm_mon + 1, n);
            break;
        case 'd': out += pad(tmv.tm_mday, n); break;
        case 'D': out += pad(tmv.tm_yday + 1, n); break;
        case 'H': out += pad(tmv.tm_hour, n); break;
        case 'k': out += pad(tmv.tm_hour == 0 ? 24 : tmv.tm_hour, n); break;
        case 'h': out += pad(tmv.tm_hour % 12 == 0 ? 12 : tmv.tm_hour % 12, n); break;
        case 'K': out += pad(tmv.tm_hour % 12, n); break;
        case 'm': out += pad(tmv.tm_min, n); break;
        case 's': out += pad(tmv.tm_sec, n); break;
        case 'S': {
            std::string ms = pad(millis, 3);
            while (int(ms.size()) < n) ms += '0';
            out += ms.substr(0, size_t(n));
            break;
        }
        case 'a': out += tmv.tm_hour < 12 ? "AM" : "PM"; break;
        case 'E':
        case 'e':
        case 'c':
            if (n >= 4)
                out += kDays[tmv.tm_wday];
            else if (n == 3 || tk.letter == 'E')
                out += std::string(kDays[tmv.tm_wday], 3);
            else
                out += pad(tmv.tm_wday + 1, n);
            break;
        case 'Z':
            if (n <= 3)
                out += zone(offset, false, false);
            else if (n == 4)
                out += "GMT" + (offset ? zone(offset, false, true) : "");
            else
                out += zone(offset, true, true);
            break;
        case 'X': out += zone(offset, true, n >= 3); break;
        case 'x': out += zone(offset, false, n >= 3); break;
        case 'z': out += utc ? "UTC" : (tmv.tm_zone ? tmv.tm_zone : ""); break;
        default: out += std::string(size_t(n), tk.letter); break;
        }
    }
    return out;
}

std::optional<double> parseDate(const std::string& text, const std::string& pattern, bool utc) {
    tm tmv{};
    tmv.tm_mday = 1;
    tmv.tm_year = 70;
    int year = 1970, hour12 = -1;
    bool pm = false, havePeriod = false, haveZone = false;
    long offset = 0;
    double fraction = 0;
    size_t p = 0;
    auto number = [&](int minDigits, int maxDigits, long& v) {
        size_t s = p;
        bool neg = false;
        if (p < text.size() && (text[p] == '-' || text[p] == '+') && minDigits > 3) neg = text[p++] == '-';
        v = 0;
        size_t digits = 0;
        while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])) && int(digits) < maxDigits) {
            v = v * 10 + (text[p++] - '0');
            ++digits;
        }
        if (int(digits) < minDigits) {
            p = s;
            return false;
        }
        if (neg) v = -v;
        return true;
    };
    auto word = [&](const char* const* names, int count, bool abbreviated, int& index) {
        for (int i = 0; i < count; ++i) {
            std::string n = abbreviated ? std::string(names[i], 3) : names[i];
            if (text.size() - p >= n.size() && strncasecmp(text.c_str() + p, n.c_str(), n.size()) == 0) {
                index = i;
                p += n.size();
                return true;
            }
        }
        return false;
    };
    for (auto& tk : tokenize(pattern)) {
        int n = tk.count;
        long v = 0;
        switch (tk.letter) {
        case 0:
            if (text.compare(p, tk.literal.size(), tk.literal) != 0) return std::nullopt;
            p += tk.literal.size();
            break;
        case 'y':
        case 'Y':
        case 'u':
            if (n == 2) {
                if (!number(2, 2, v)) return std::nullopt;
                year = int(v < 69 ? 2000 + v : 1900 + v);
            } else {
                if (!number(std::max(1, std::min(n, 4)), 9, v)) return std::nullopt;
                year = int(v);
            }
            break;
        case 'M':
        case 'L': {
            if (n >= 3) {
                int idx = 0;
                if (!word(kMonths, 12, n == 3, idx)) return std::nullopt;
                tmv.tm_mon = idx;
            } else {
                if (!number(n, 2, v) || v < 1 || v > 12) return std::nullopt;
                tmv.tm_mon = int(v - 1);
            }
            break;
        }
        case 'd':
            if (!number(n, 2, v) || v < 1 || v > 31) return std::nullopt;
            tmv.tm_mday = int(v);
            break;
        case 'H':
        case 'k':
            if (!number(n, 2, v) || v > 24) return std::nullopt;
            tmv.tm_hour = int(v % 24);
            break;
        case 'h':
        case 'K':
            if (!number(n, 2, v) || v > 12) return std::nullopt;
            hour12 = int(v % 12);
            break;
        case 'm':
            if (!number(n, 2, v) || v > 59) return std::nullopt;
            tmv.tm_min = int(v);
            break;
        case 's':
            if (!number(n, 2, v) || v > 60) return std::nullopt;
            tmv.tm_sec = int(v);
            break;
        case 'S': {
            size_t s = p;
            if (!number(1, 9, v)) return std::nullopt;
            fraction = double(v) / std::pow(10.0, double(p - s));
            break;
        }
        case 'a': {
            if (strncasecmp(text.c_str() + p, "AM", 2) == 0)
                pm = false;
            else if (strncasecmp(text.c_str() + p, "PM", 2) == 0)
                pm = true;
            else
                return std::nullopt;
            havePeriod = true;
            p += 2;
            break;
        }
        case 'E':
        case 'e':
        case 'c': {
            int idx = 0;
            if (!word(kDays, 7, n <= 3, idx)) return std::nullopt;
            break;
        }
        case 'Z':
        case 'X':
        case 'x':
        case 'z': {
            if (p < text.size() && (text[p] == 'Z' || text[p] == 'z')) {
                ++p;
                haveZone = true;
                offset = 0;
                break;
            }
            if (text.compare(p, 3, "GMT") == 0 || text.compare(p, 3, "UTC") == 0) {
                p += 3;
                haveZone = true;
                offset = 0;
                if (p >= text.size() || (text[p] != '+' && text[p] != '-')) break;
            }
            if (p >= text.size() || (text[p] != '+' && text[p] != '-')) return std::nullopt;
            int sign = text[p++] == '-' ? -1 : 1;
            long hh = 0, mm = 0;
            if (!number(2, 2, hh)) return std::nullopt;
            if (p < text.size() && text[p] == ':') ++p;
            number(2, 2, mm);
            offset = sign * (hh * 3600 + mm * 60);
            haveZone = true;
            break;
        }
        default: return std::nullopt;
        }
    }
    if (p != text.size()) return std::nullopt;
    if (hour12 >= 0) tmv.tm_hour = hour12 + (havePeriod && pm ? 12 : 0);
    tmv.tm_year = year - 1900;
    double seconds;
    if (haveZone) {
        seconds = double(timegm(&tmv)) - double(offset);
    } else if (utc) {
        seconds = double(timegm(&tmv));
    } else {
        tmv.tm_isdst = -1;
        seconds = double(mktime(&tmv));
    }
    return seconds + fraction;
}

std::string rfc3339(double secondsSince1970) { return formatDate(secondsSince1970, "yyyy-MM-dd'T'HH:mm:ss'Z'", true); }

std::optional<double> parseRFC3339(const std::string& text) {
    // date "T" time [fraction] ("Z" | offset); "t", "z" and a space are accepted too.
    if (text.size() < 20) return std::nullopt;
    std::string norm = text;
    if (norm[10] == 't' || norm[10] == ' ') norm[10] = 'T';
    if (norm.back() == 'z') norm.back() = 'Z';
    std::string base = norm.substr(0, 19);
    auto whole = parseDate(base, "yyyy-MM-dd'T'HH:mm:ss", true);
    if (!whole) return std::nullopt;
    size_t p = 19;
    double fraction = 0;
    if (p < norm.size() && norm[p] == '.') {
        size_t s = ++p;
        double scale = 0.1;
        while (p < norm.size() && std::isdigit(static_cast<unsigned char>(norm[p]))) {
            fraction += (norm[p++] - '0') * scale;
            scale /= 10;
        }
        if (p == s) return std::nullopt;
    }
    std::string z = norm.substr(p);
    long offset = 0;
    if (z == "Z") {
        offset = 0;
    } else if (z.size() == 6 && (z[0] == '+' || z[0] == '-') && z[3] == ':' && std::isdigit((unsigned char)z[1]) &&
               std::isdigit((unsigned char)z[2]) && std::isdigit((unsigned char)z[4]) &&
               std::isdigit((unsigned char)z[5])) {
        long hh = (z[1] - '0') * 10 + (z[2] - '0');
        long mm = (z[4] - '0') * 10 + (z[5] - '0');
        if (hh > 23 || mm > 59) return std::nullopt;
        offset = (z[0] == '-' ? -1 : 1) * (hh * 3600 + mm * 60);
    } else {
        return std::nullopt;
    }
    return *whole + fraction - double(offset);
}

std::string replacingOccurrences(std::string text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += with.size())
        text.replace(pos, what.size(), with);
    return text;
}

std::string lowercased(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string uppercased(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

std::string percentEncoded(const std::string& text, std::string_view keep, bool spaceAsPlus) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3 / 2);
    for (unsigned char c : text) {
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alnum || (c != 0 && keep.find(char(c)) != std::string_view::npos)) {
            out += char(c);
        } else if (c == ' ' && spaceAsPlus) {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string escapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

namespace {

// Valid characters that are not shown as themselves: C1 controls (terminals
// take U+009B as CSI), the line and paragraph separators, and the marks and
// overrides of text direction, which reorder what follows them on the screen;
// and the zero-width space and no-break space (U+FEFF, a byte order mark
// elsewhere), which would hide inside a name.
bool isHiddenControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9f) || c == 0x061c || c == 0x200b || c == 0x200e || c == 0x200f ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0xfeff;
}

void appendEscapedByte(std::string& out, unsigned char byte) {
    switch (byte) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        out += hex;
    }
    }
}

}  // namespace

std::string escapingControls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte == '\\')  // a name holding "\n" must not read as an escaped line break
                shown += "\\\\";
            else if (byte >= 0x20 && byte != 0x7f)
                shown += char(byte);
            else
                appendEscapedByte(shown, byte);
            ++i;
            continue;
        }
        const DecodedCharacter c = decodeUTF8At(text, i);
        const size_t length = c.valid ? c.length : 1;
        if (c.valid && !isHiddenControl(c.codePoint))
            shown.append(text.substr(i, length));
        else
            for (size_t k = 0; k < length; ++k) appendEscapedByte(shown, static_cast<unsigned char>(text[i + k]));
        i += length;
    }
    return shown;
}

}  // namespace platform::foundation
