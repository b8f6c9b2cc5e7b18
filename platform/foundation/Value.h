#pragma once
// A property-list value: what dictionaries, arrays and numbers are when they
// cross an API (defaults, Info.plist, JSON, hits, meta data).
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::foundation {

struct Error;

class Value {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary };
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;
    using Data = std::vector<uint8_t>;
    struct Date {
        double secondsSince1970 = 0;
        bool operator==(const Date&) const = default;
    };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(long i) : v_(int64_t(i)) {}
    Value(long long i) : v_(int64_t(i)) {}
    Value(unsigned i) : v_(int64_t(i)) {}
    Value(unsigned long i) : v_(int64_t(i)) {}
    Value(unsigned long long i) : v_(int64_t(i)) {}
    Value(double d) : v_(d) {}
    Value(float f) : v_(double(f)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    static Value date(double secondsSince1970) { return Value(Date{secondsSince1970}); }
    // Empty containers. (Not array()/dictionary(): those name the typed accessors below.)
    static Value emptyArray() { return Value(Array{}); }
    static Value emptyDictionary() { return Value(Dictionary{}); }

    Type type() const { return Type(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isNumber() const { return type() == Type::Bool || type() == Type::Integer || type() == Type::Real; }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Numeric conversions as the platform's number and string objects give them:
    // strings are parsed ("12.5" -> 12, true for "YES"/"true"/non-zero), anything
    // else is 0 / false.
    bool boolValue() const;
    int64_t intValue() const;
    float floatValue() const;
    double doubleValue() const;
    // The string itself; a number's decimal description; "" for anything else.
    std::string stringValue() const;
    double dateValue() const;  // seconds since 1970, 0 unless a date

    // Typed access; throws std::logic_error on the wrong type (a programming error).
    const std::string& string() const;
    const Data& data() const;
    const Array& array() const;
    Array& array();
    const Dictionary& dictionary() const;
    Dictionary& dictionary();

    // Dictionary access. The const lookup returns a null value when absent or when
    // this is not a dictionary; the non-const one makes this a dictionary.
    const Value& operator[](const std::string& key) const;
    Value& operator[](const std::string& key);
    bool contains(const std::string& key) const;
    bool erase(const std::string& key);
    // Array access; null when out of range.
    const Value& at(size_t index) const;
    void push(Value v);
    size_t size() const;  // elements of an array or dictionary, bytes of data or string

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

    // Codecs. Parsers return nullopt and fill `error` (when given) on bad input.
    static std::optional<Value> fromJSON(std::string_view text, Error* error = nullptr);
    std::string toJSON(bool pretty = false) const;
    // Reads binary or XML property lists.
    static std::optional<Value> fromPropertyList(const void* bytes, size_t size, Error* error = nullptr);
    static std::optional<Value> fromPropertyList(const Data& bytes, Error* error = nullptr) {
        return fromPropertyList(bytes.data(), bytes.size(), error);
    }
    Data toBinaryPropertyList() const;
    std::string toXMLPropertyList() const;
    // Whole-file helpers; reads are FileManager::readFile's (regular files of
    // at most maxSize bytes), writes are atomic (temporary file, fsync, rename).
    static std::optional<Value> readPropertyListFile(const std::string& path, Error* error = nullptr,
                                                     uint64_t maxSize = UINT64_MAX);
    bool writeBinaryPropertyListFile(const std::string& path, Error* error = nullptr, unsigned mode = 0644) const;
    bool writeXMLPropertyListFile(const std::string& path, Error* error = nullptr) const;

    // A short human description for logs (the platform's description style).
    std::string description() const;

private:
    std::variant<std::monostate, bool, int64_t, double, std::string, Data, Date, Array, Dictionary> v_;
};

}  // namespace platform::foundation
