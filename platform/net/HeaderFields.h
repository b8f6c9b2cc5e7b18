#pragma once
// HTTP header fields in the order they were set, looked up without regard to
// case, as requests and responses expose them.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::net {

class HeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    // Replaces every field of that name (an empty value removes them).
    void set(const std::string& name, const std::string& value);
    // Appends to an existing field with ", ", as repeated fields combine.
    void add(const std::string& name, const std::string& value);
    std::optional<std::string> value(const std::string& name) const;
    bool contains(const std::string& name) const { return value(name).has_value(); }
    void remove(const std::string& name);
    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    void clear() { fields_.clear(); }

    static bool sameName(const std::string& a, const std::string& b);

private:
    std::vector<Field> fields_;
};

}  // namespace platform::net
