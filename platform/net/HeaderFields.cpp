#include "platform/net/HeaderFields.h"

#include <strings.h>
#include <algorithm>

namespace platform::net {

bool HeaderFields::sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

void HeaderFields::set(const std::string& name, const std::string& value) {
    remove(name);
    if (!value.empty()) fields_.emplace_back(name, value);
}

void HeaderFields::add(const std::string& name, const std::string& value) {
    for (auto& f : fields_) {
        if (sameName(f.first, name)) {
            f.second += ", " + value;
            return;
        }
    }
    fields_.emplace_back(name, value);
}

std::optional<std::string> HeaderFields::value(const std::string& name) const {
    for (const auto& f : fields_)
        if (sameName(f.first, name)) return f.second;
    return std::nullopt;
}

void HeaderFields::remove(const std::string& name) {
    std::erase_if(fields_, [&](const Field& f) { return sameName(f.first, name); });
}

}  // namespace platform::net
