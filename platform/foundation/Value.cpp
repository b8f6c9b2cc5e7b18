#include "platform/foundation/Value.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Unicode.h"

namespace platform::foundation {

namespace {

const Value& nullValue() {
    static const Value v;
    return v;
}

const char* typeName(Value::Type t) {
    switch (t) {
    case Value::Type::Null: return "null";
    case Value::Type::Bool: return "bool";
    case Value::Type::Integer: return "integer";
    case Value::Type::Real: return "real";
    case Value::Type::String: return "string";
    case Value::Type::Data: return "data";
    case Value::Type::Date: return "date";
    case Value::Type::Array: return "array";
    case Value::Type::Dictionary: return "dictionary";
    }
    return "?";
}

[[noreturn]] void wrongType(Value::Type have, const char* want) {
    throw std::logic_error(std::string("Value is a ") + typeName(have) + ", not a " + want);
}

std::string shortestDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

const char* skipSpace(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') ++s;
    return s;
}

// The leading decimal number of a string, as the platform's string objects read it.
double leadingDouble(const std::string& s) {
    const char* p = skipSpace(s.c_str());
    char* end = nullptr;
    double d = std::strtod(p, &end);
    if (end == p) return 0;
    return d;
}

int64_t leadingInteger(const std::string& s) {
    const char* p = skipSpace(s.c_str());
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    uint64_t v = 0;
    bool overflow = false;
    while (*p >= '0' && *p <= '9') {
        if (v > (uint64_t(std::numeric_limits<int64_t>::max()) - (*p - '0')) / 10)
            overflow = true;
        else
            v = v * 10 + uint64_t(*p - '0');
        ++p;
    }
    if (overflow) return neg ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return neg ? -int64_t(v) : int64_t(v);
}

int64_t clampToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return int64_t(d);
}

}  // namespace

// ---- conversions

bool Value::boolValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_);
    case Type::Integer: return std::get<int64_t>(v_) != 0;
    case Type::Real: return std::get<double>(v_) != 0;
    case Type::String: {
        // YES/true/non-zero number: the first significant character decides.
        const char* p = skipSpace(std::get<std::string>(v_).c_str());
        if (*p == '+' || *p == '-') ++p;
        while (*p == '0') ++p;
        return *p == 'Y' || *p == 'y' || *p == 'T' || *p == 't' || (*p >= '1' && *p <= '9');
    }
    default: return false;
    }
}

int64_t Value::intValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer: return std::get<int64_t>(v_);
    case Type::Real: return clampToInt(std::get<double>(v_));
    case Type::String: return leadingInteger(std::get<std::string>(v_));
    default: return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer: return double(std::get<int64_t>(v_));
    case Type::Real: return std::get<double>(v_);
    case Type::String: return leadingDouble(std::get<std::string>(v_));
    default: return 0;
    }
}

float Value::floatValue() const { return float(doubleValue()); }

std::string Value::stringValue() const {
    switch (type()) {
    case Type::Bool: return std::get<bool>(v_) ? "1" : "0";
    case Type::Integer: return std::to_string(std::get<int64_t>(v_));
    case Type::Real: return shortestDouble(std::get<double>(v_));
    case Type::String: return std::get<std::string>(v_);
    default: return "";
    }
}

double Value::dateValue() const { return isDate() ? std::get<Date>(v_).secondsSince1970 : 0; }

// ---- typed access

const std::string& Value::string() const {
    if (!isString()) wrongType(type(), "string");
    return std::get<std::string>(v_);
}
const Value::Data& Value::data() const {
    if (!isData()) wrongType(type(), "data");
    return std::get<Data>(v_);
}
const Value::Array& Value::array() const {
    if (!isArray()) wrongType(type(), "array");
    return std::get<Array>(v_);
}
Value::Array& Value::array() {
    if (!isArray()) wrongType(type(), "array");
    return std::get<Array>(v_);
}
const Value::Dictionary& Value::dictionary() const {
    if (!isDictionary()) wrongType(type(), "dictionary");
    return std::get<Dictionary>(v_);
}
Value::Dictionary& Value::dictionary() {
    if (!isDictionary()) wrongType(type(), "dictionary");
    return std::get<Dictionary>(v_);
}

const Value& Value::operator[](const std::string& key) const {
    if (!isDictionary()) return nullValue();
    auto& d = std::get<Dictionary>(v_);
    auto it = d.find(key);
    return it == d.end() ? nullValue() : it->second;
}

Value& Value::operator[](const std::string& key) {
    if (!isDictionary()) v_ = Dictionary{};
    return std::get<Dictionary>(v_)[key];
}

bool Value::contains(const std::string& key) const { return isDictionary() && std::get<Dictionary>(v_).count(key) > 0; }

bool Value::erase(const std::string& key) { return isDictionary() && std::get<Dictionary>(v_).erase(key) > 0; }

const Value& Value::at(size_t index) const {
    if (!isArray()) return nullValue();
    auto& a = std::get<Array>(v_);
    return index < a.size() ? a[index] : nullValue();
}

void Value::push(Value v) {
    if (isNull()) v_ = Array{};
    array().push_back(std::move(v));
}

size_t Value::size() const {
    switch (type()) {
    case Type::String: return std::get<std::string>(v_).size();
    case Type::Data: return std::get<Data>(v_).size();
    case Type::Array: return std::get<Array>(v_).size();
    case Type::Dictionary: return std::get<Dictionary>(v_).size();
    default: return 0;
    }
}

bool Value::operator==(const Value& other) const {
    // Numbers compare by value whatever their storage, as the platform's do.
    if (isNumber() && other.isNumber()) {
        bool exactInts = type() != Type::Real && other.type() != Type::Real;
        if (exactInts) return intValue() == other.intValue();
        return doubleValue() == other.doubleValue();
    }
    return v_ == other.v_;
}

// ---- JSON

namespace {

Value fromJson(const nlohmann::json& j) {
    using T = nlohmann::json::value_t;
    switch (j.type()) {
    case T::null: return Value();
    case T::boolean: return Value(j.get<bool>());
    case T::number_integer: return Value(j.get<int64_t>());
    case T::number_unsigned: {
        uint64_t u = j.get<uint64_t>();
        if (u > uint64_t(std::numeric_limits<int64_t>::max())) return Value(double(u));
        return Value(int64_t(u));
    }
    case T::number_float: return Value(j.get<double>());
    case T::string: return Value(j.get<std::string>());
    case T::array: {
        Value::Array a;
        a.reserve(j.size());
        for (auto& e : j) a.push_back(fromJson(e));
        return Value(std::move(a));
    }
    case T::object: {
        Value::Dictionary d;
        for (auto it = j.begin(); it != j.end(); ++it) d.emplace(it.key(), fromJson(it.value()));
        return Value(std::move(d));
    }
    case T::binary: {
        auto& b = j.get_binary();
        return Value(Value::Data(b.begin(), b.end()));
    }
    default: return Value();
    }
}

nlohmann::json toJson(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: return nullptr;
    case Value::Type::Bool: return v.boolValue();
    case Value::Type::Integer: return v.intValue();
    case Value::Type::Real: {
        double d = v.doubleValue();
        if (!std::isfinite(d))
            Exception::raise(kInvalidArgumentException, "Invalid number value (NaN or infinity) in JSON write");
        return d;
    }
    case Value::Type::String: return v.string();
    case Value::Type::Array: {
        auto a = nlohmann::json::array();
        for (auto& e : v.array()) a.push_back(toJson(e));
        return a;
    }
    case Value::Type::Dictionary: {
        auto o = nlohmann::json::object();
        for (auto& [k, e] : v.dictionary()) o[k] = toJson(e);
        return o;
    }
    case Value::Type::Data:
    case Value::Type::Date: break;
    }
    Exception::raise(kInvalidArgumentException, std::string("Invalid type in JSON write (") + typeName(v.type()) + ")");
}

}  // namespace

namespace {

// Reading and converting recurse once per level: a document nested deeper
// than any real one is refused before it can overflow the stack.
constexpr int kMaxJSONDepth = 512;

bool jsonTooDeep(std::string_view text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJSONDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::optional<Value> Value::fromJSON(std::string_view text, Error* error) {
    if (jsonTooDeep(text)) {
        if (error) *error = Error::withDescription(kCocoaErrorDomain, 3840, "JSON text is nested too deeply.");
        return std::nullopt;
    }
    try {
        auto j = nlohmann::json::parse(text.begin(), text.end());
        return fromJson(j);
    } catch (const nlohmann::json::exception& e) {
        if (error)
            *error =
                Error::withDescription(kCocoaErrorDomain, 3840, std::string("JSON text is not valid: ") + e.what());
        return std::nullopt;
    }
}

std::string Value::toJSON(bool pretty) const {
    return toJson(*this).dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ---- property lists

namespace {

constexpr int kMaxPlistDepth = 512;

std::optional<Value> fromPlist(plist_t node, int depth) {
    if (!node || depth > kMaxPlistDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        // 8-byte integers are signed on the wire.
        return Value(int64_t(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: {
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(node, &len);
        return Value(std::string(p ? p : "", p ? len : 0));
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char* p = plist_get_data_ptr(node, &len);
        return Value(
            Value::Data(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + (p ? len : 0)));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return Value::date(double(sec) + double(usec) / 1e6 + kTimeIntervalSince1970ToReferenceDate);
    }
    case PLIST_ARRAY: {
        Value::Array a;
        uint32_t n = plist_array_get_size(node);
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            auto e = fromPlist(plist_array_get_item(node, i), depth + 1);
            if (!e) return std::nullopt;
            a.push_back(std::move(*e));
        }
        return Value(std::move(a));
    }
    case PLIST_DICT: {
        Value::Dictionary d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return Value(std::move(d));
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t val = nullptr;
            plist_dict_next_item(node, it, &key, &val);
            if (!val) {
                free(key);
                break;
            }
            auto e = fromPlist(val, depth + 1);
            if (!e || !key)
                ok = false;
            else
                d[key] = std::move(*e);
            free(key);
            if (!ok) break;
        }
        free(it);
        if (!ok) return std::nullopt;
        return Value(std::move(d));
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        Value::Dictionary d;
        d["CF$UID"] = Value(int64_t(u));
        return Value(std::move(d));
    }
    default: return std::nullopt;
    }
}

// Well-formed UTF-8: each malformed sequence becomes U+FFFD. The writer would
// otherwise store such bytes as it finds them, in a file that no longer reads.
std::string wellFormedUtf8(const std::string& s) {
    auto continuation = [&](size_t i) { return i < s.size() && (uint8_t(s[i]) & 0xC0) == 0x80; };
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const DecodedCharacter c = decodeUTF8At(s, i);
        if (c.valid) {
            out.append(s, i, c.length);
            i += c.length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
            while (continuation(i)) ++i;
        }
    }
    return out;
}

// A date as a property list stores it: whole seconds since the reference date
// and microseconds, the seconds in 32 bits, so dates beyond are pinned to its ends.
std::pair<int32_t, int32_t> storedDate(double since1970) {
    const double rel = since1970 - kTimeIntervalSince1970ToReferenceDate;
    double sec = std::floor(rel);
    int32_t usec = int32_t(std::lround((rel - sec) * 1e6));
    if (usec >= 1000000) {
        sec += 1;
        usec -= 1000000;
    }
    sec = std::isnan(sec) ? 0 : std::clamp(sec, double(INT32_MIN), double(INT32_MAX));
    return {int32_t(sec), usec};
}

// Property lists cannot hold null: null entries are left out.
plist_t toPlist(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: return nullptr;
    case Value::Type::Bool: return plist_new_bool(v.boolValue() ? 1 : 0);
    case Value::Type::Integer: return plist_new_uint(uint64_t(v.intValue()));
    case Value::Type::Real: return plist_new_real(v.doubleValue());
    case Value::Type::String: return plist_new_string(wellFormedUtf8(v.string()).c_str());
    case Value::Type::Data: {
        auto& d = v.data();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date: {
        const auto [sec, usec] = storedDate(v.dateValue());
        return plist_new_date(sec, usec);
    }
    case Value::Type::Array: {
        plist_t a = plist_new_array();
        for (auto& e : v.array())
            if (plist_t n = toPlist(e)) plist_array_append_item(a, n);
        return a;
    }
    case Value::Type::Dictionary: {
        plist_t d = plist_new_dict();
        for (auto& [k, e] : v.dictionary())
            if (plist_t n = toPlist(e)) plist_dict_set_item(d, wellFormedUtf8(k).c_str(), n);
        return d;
    }
    }
    return nullptr;
}

struct PlistHolder {
    plist_t p;
    ~PlistHolder() {
        if (p) plist_free(p);
    }
};

// Checks made before the property-list library sees the bytes: it aborts the
// process on a dictionary key holding a NUL character (which a binary list can
// carry), and it recurses once per level of nesting, so a deep enough file
// overflows the stack. Empty when the bytes may be handed over.
std::string binaryPlistProblem(const uint8_t* b, size_t n) {
    if (n < 40 || std::memcmp(b, "bplist00", 8) != 0) return {};
    auto be = [&](size_t pos, size_t width) {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = v << 8 | b[pos + i];
        return v;
    };
    const uint8_t* t = b + n - 32;
    const size_t offsetSize = t[6], refSize = t[7];
    const uint64_t count = be(n - 24, 8), top = be(n - 16, 8), table = be(n - 8, 8);
    // Tables that do not fit are refused by the library itself.
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return {};
    if (table >= n || count > (n - table) / offsetSize || top >= count) return {};
    auto offsetOf = [&](uint64_t object) { return size_t(be(size_t(table + object * offsetSize), offsetSize)); };
    // The element count of the object at `pos` and where its contents start.
    auto sized = [&](size_t pos, uint64_t& size, size_t& start) {
        size = b[pos] & 0x0F;
        start = pos + 1;
        if (size != 0x0F) return true;
        if (start >= n || (b[start] & 0xF0) != 0x10) return false;
        const size_t width = size_t(1) << (b[start] & 0x0F);
        if (width > 8 || width > n - start - 1) return false;
        size = be(start + 1, width);
        start += 1 + width;
        return true;
    };
    struct Frame {
        uint64_t object;
        size_t refs;
        uint64_t total, keys, next = 0;
        int32_t height = 0;
    };
    std::vector<int32_t> height(size_t(count), -1);  // -1 not seen, -2 being walked
    std::vector<uint8_t> nulString(size_t(count), 0);
    std::vector<Frame> stack;
    // Pushes a container, or settles a leaf; false when the object is malformed.
    auto enter = [&](uint64_t object) {
        const size_t pos = offsetOf(object);
        if (pos >= n) return false;
        const uint8_t type = b[pos] >> 4;
        uint64_t size;
        size_t start;
        if (type == 0xA || type == 0xC || type == 0xD) {
            if (!sized(pos, size, start)) return false;
            const uint64_t refs = type == 0xD ? size * 2 : size;
            if (start > n || size > (n - start) / refSize || refs > (n - start) / refSize) return false;
            height[object] = -2;
            stack.push_back({object, start, refs, type == 0xD ? size : 0});
            return true;
        }
        height[object] = 0;
        if ((type == 0x5 || type == 0x6) && sized(pos, size, start)) {
            const size_t unit = type == 0x6 ? 2 : 1;
            if (start <= n && size <= (n - start) / unit)
                for (uint64_t c = 0; c < size && !nulString[object]; ++c) {
                    const size_t at = start + size_t(c) * unit;
                    nulString[object] = b[at] == 0 && (unit == 1 || b[at + 1] == 0);
                }
        }
        return true;
    };
    if (!enter(top)) return {};
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.total) {
            const int32_t h = f.height;
            height[f.object] = h;
            stack.pop_back();
            if (!stack.empty()) stack.back().height = std::max(stack.back().height, h + 1);
            continue;
        }
        const bool isKey = f.next < f.keys;
        const uint64_t child = be(f.refs + size_t(f.next) * refSize, refSize);
        ++f.next;
        if (child >= count) return {};
        if (height[child] == -2) return "The property list refers to itself.";
        if (height[child] == -1) {
            if (stack.size() > size_t(kMaxPlistDepth)) return "The property list is nested too deeply.";
            if (!enter(child)) return {};
        }
        if (isKey && nulString[child]) return "The property list holds a dictionary key with a NUL character.";
        if (height[child] >= 0) {
            if (stack.size() + size_t(height[child]) > size_t(kMaxPlistDepth))
                return "The property list is nested too deeply.";
            stack.back().height = std::max(stack.back().height, height[child] + 1);
        }
    }
    return {};
}

// Nesting depth of an XML property list, by its container tags.
bool xmlPlistTooDeep(const char* s, size_t n) {
    int depth = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (s[i] != '<') continue;
        const bool closing = s[i + 1] == '/';
        const size_t name = i + (closing ? 2 : 1);
        size_t len = 0;
        if (n - name >= 5 && std::memcmp(s + name, "array", 5) == 0)
            len = 5;
        else if (n - name >= 4 && std::memcmp(s + name, "dict", 4) == 0)
            len = 4;
        if (!len) continue;
        size_t end = name + len;
        while (end < n && s[end] != '>') ++end;
        if (closing)
            --depth;
        else if (s[end - 1] != '/' && ++depth > kMaxPlistDepth)
            return true;
        i = end;
    }
    return false;
}

}  // namespace

std::optional<Value> Value::fromPropertyList(const void* bytes, size_t size, Error* error) {
    auto fail = [&](const std::string& why) -> std::optional<Value> {
        if (error) *error = Error::withDescription(kCocoaErrorDomain, 3840, why);
        return std::nullopt;
    };
    if (!bytes || size == 0) return fail("The data couldn't be read because it is empty.");
    if (size > std::numeric_limits<uint32_t>::max()) return fail("The property list is too large.");
    if (auto problem = binaryPlistProblem(static_cast<const uint8_t*>(bytes), size); !problem.empty())
        return fail(problem);
    if (std::memcmp(bytes, "bplist", std::min<size_t>(size, 6)) != 0 &&
        xmlPlistTooDeep(static_cast<const char*>(bytes), size))
        return fail("The property list is nested too deeply.");
    PlistHolder h{nullptr};
    plist_from_memory(static_cast<const char*>(bytes), uint32_t(size), &h.p);
    if (!h.p) return fail("The data couldn't be read because it isn't in the correct format.");
    auto v = fromPlist(h.p, 0);
    if (!v) return fail("The property list holds an unsupported or malformed value.");
    return v;
}

namespace {

// The binary property list of a value whose every part encodes plainly:
// non-negative integers, ASCII strings without NUL, and containers of them
// (null entries left out, as toPlist does). The same bytes a reader gets from
// libplist's writer, written without building its tree first: a hit is stored
// this way at every insert. Anything else answers false and goes to libplist.
class BinaryPlistWriter {
public:
    bool write(const Value& v, Value::Data& out) {
        size_t objects = 0;
        if (!count(v, objects)) return false;
        refSize_ = objects < 0x100 ? 1 : objects < 0x10000 ? 2 : 4;
        out_ = &out;
        out.clear();
        out.reserve(64 + objects * 16);
        for (const char* c = "bplist00"; *c; ++c) out.push_back(uint8_t(*c));
        offsets_.clear();
        offsets_.reserve(objects);
        const uint64_t top = object(v);
        const uint64_t tableAt = out.size();
        const uint64_t last = offsets_.empty() ? 0 : offsets_.back();
        const int offsetSize = last < 0x100 ? 1 : last < 0x10000 ? 2 : last < 0x100000000ull ? 4 : 8;
        for (uint64_t o : offsets_) bigEndian(o, offsetSize);
        out.insert(out.end(), 6, 0);
        out.push_back(uint8_t(offsetSize));
        out.push_back(uint8_t(refSize_));
        bigEndian(offsets_.size(), 8);
        bigEndian(top, 8);
        bigEndian(tableAt, 8);
        return true;
    }

private:
    static bool plainString(const std::string& s) {
        for (char c : s)
            if (c == 0 || uint8_t(c) >= 0x80) return false;
        return true;
    }
    static bool count(const Value& v, size_t& n) {
        ++n;
        switch (v.type()) {
        case Value::Type::Null: --n; return true;
        case Value::Type::Integer: return v.intValue() >= 0;
        case Value::Type::String: return plainString(v.string());
        case Value::Type::Array:
            for (const auto& e : v.array())
                if (!count(e, n)) return false;
            return true;
        case Value::Type::Dictionary:
            for (const auto& [k, e] : v.dictionary()) {
                if (e.isNull()) continue;
                if (!plainString(k)) return false;
                ++n;
                if (!count(e, n)) return false;
            }
            return true;
        default: return true;
        }
    }
    void bigEndian(uint64_t x, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out_->push_back(uint8_t(x >> (8 * i)));
    }
    void marker(uint8_t kind, size_t length) {
        if (length < 15) {
            out_->push_back(uint8_t(kind | length));
            return;
        }
        out_->push_back(uint8_t(kind | 0xF));
        integer(length);
    }
    void integer(uint64_t x) {
        const int log2 = x < 0x100 ? 0 : x < 0x10000 ? 1 : x < 0x100000000ull ? 2 : 3;
        out_->push_back(uint8_t(0x10 | log2));
        bigEndian(x, 1 << log2);
    }
    void real(uint8_t kind, double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        out_->push_back(kind);
        bigEndian(bits, 8);
    }
    uint64_t begin() {
        offsets_.push_back(out_->size());
        return offsets_.size() - 1;
    }
    uint64_t string(const std::string& s) {
        const uint64_t at = begin();
        marker(0x50, s.size());
        out_->insert(out_->end(), s.begin(), s.end());
        return at;
    }
    // Children first, so that a container knows their numbers when written.
    uint64_t object(const Value& v) {
        switch (v.type()) {
        case Value::Type::Null: break;  // only at the top: an empty dictionary
        case Value::Type::Bool: {
            const uint64_t at = begin();
            out_->push_back(v.boolValue() ? 0x09 : 0x08);
            return at;
        }
        case Value::Type::Integer: {
            const uint64_t at = begin();
            integer(uint64_t(v.intValue()));
            return at;
        }
        case Value::Type::Real: {
            const uint64_t at = begin();
            real(0x23, v.doubleValue());
            return at;
        }
        case Value::Type::String: return string(v.string());
        case Value::Type::Data: {
            const uint64_t at = begin();
            marker(0x40, v.data().size());
            out_->insert(out_->end(), v.data().begin(), v.data().end());
            return at;
        }
        case Value::Type::Date: {
            const auto [sec, usec] = storedDate(v.dateValue());
            const uint64_t at = begin();
            real(0x33, double(sec) + double(usec) / 1000000);
            return at;
        }
        case Value::Type::Array: {
            std::vector<uint64_t> refs;
            refs.reserve(v.array().size());
            for (const auto& e : v.array())
                if (!e.isNull()) refs.push_back(object(e));
            const uint64_t at = begin();
            marker(0xA0, refs.size());
            for (uint64_t r : refs) bigEndian(r, refSize_);
            return at;
        }
        case Value::Type::Dictionary: {
            std::vector<uint64_t> keys, values;
            for (const auto& [k, e] : v.dictionary()) {
                if (e.isNull()) continue;
                keys.push_back(string(k));
                values.push_back(object(e));
            }
            const uint64_t at = begin();
            marker(0xD0, keys.size());
            for (uint64_t r : keys) bigEndian(r, refSize_);
            for (uint64_t r : values) bigEndian(r, refSize_);
            return at;
        }
        }
        const uint64_t at = begin();
        out_->push_back(0xD0);
        return at;
    }

    Value::Data* out_ = nullptr;
    int refSize_ = 1;
    std::vector<uint64_t> offsets_;
};

}  // namespace

Value::Data Value::toBinaryPropertyList() const {
    if (Data plain; BinaryPlistWriter().write(*this, plain)) return plain;
    PlistHolder h{toPlist(*this)};
    if (!h.p) h.p = plist_new_dict();
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(h.p, &out, &len);
    Data d(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + (out ? len : 0));
    if (out) plist_to_bin_free(out);
    return d;
}

std::string Value::toXMLPropertyList() const {
    PlistHolder h{toPlist(*this)};
    if (!h.p) h.p = plist_new_dict();
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_xml(h.p, &out, &len);
    std::string s(out ? out : "", out ? len : 0);
    if (out) plist_to_xml_free(out);
    return s;
}

std::optional<Value> Value::readPropertyListFile(const std::string& path, Error* error, uint64_t maxSize) {
    auto bytes = FileManager::readFile(path, error, maxSize);
    if (!bytes) return std::nullopt;
    return fromPropertyList(bytes->data(), bytes->size(), error);
}

bool Value::writeBinaryPropertyListFile(const std::string& path, Error* error, unsigned mode) const {
    auto d = toBinaryPropertyList();
    return FileManager::writeFileAtomically(path, d.data(), d.size(), error, mode);
}

bool Value::writeXMLPropertyListFile(const std::string& path, Error* error) const {
    return FileManager::writeFileAtomically(path, toXMLPropertyList(), error);
}

// ---- description

namespace {

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':' || c >= 0x80)) return true;
    return false;
}

std::string quoted(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if (c == '\n') {
            o += "\\n";
            continue;
        }
        o += c;
    }
    return o + "\"";
}

void describe(const Value& v, int indent, bool nested, std::string& out) {
    std::string pad(size_t(indent) * 4, ' ');
    switch (v.type()) {
    case Value::Type::Null: out += nested ? "\"<null>\"" : "(null)"; break;
    case Value::Type::String: out += nested ? quoted(v.string()) : v.string(); break;
    case Value::Type::Data: {
        static const char* hex = "0123456789abcdef";
        out += '<';
        auto& d = v.data();
        for (size_t i = 0; i < d.size(); ++i) {
            if (i && i % 4 == 0) out += ' ';
            out += hex[d[i] >> 4];
            out += hex[d[i] & 15];
        }
        out += '>';
        break;
    }
    case Value::Type::Date: out += formatDate(v.dateValue(), "yyyy-MM-dd HH:mm:ss Z"); break;
    case Value::Type::Array: {
        out += "(\n";
        auto& a = v.array();
        for (size_t i = 0; i < a.size(); ++i) {
            out += pad + "    ";
            describe(a[i], indent + 1, true, out);
            out += i + 1 < a.size() ? ",\n" : "\n";
        }
        out += pad + ")";
        break;
    }
    case Value::Type::Dictionary: {
        out += "{\n";
        for (auto& [k, e] : v.dictionary()) {
            out += pad + "    " + quoted(k) + " = ";
            describe(e, indent + 1, true, out);
            out += ";\n";
        }
        out += pad + "}";
        break;
    }
    default: out += v.stringValue(); break;
    }
}

}  // namespace

std::string Value::description() const {
    std::string out;
    describe(*this, 0, false, out);
    return out;
}

}  // namespace platform::foundation
