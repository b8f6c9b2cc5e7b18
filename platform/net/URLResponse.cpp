#include "platform/net/URLResponse.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/foundation/Format.h"

namespace platform::net {

namespace {

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

}  // namespace

int64_t URLResponse::expectedContentLength() const {
    auto v = headers_.value("Content-Length");
    if (!v || v->empty()) return -1;
    char* end = nullptr;
    const long long n = std::strtoll(v->c_str(), &end, 10);
    return (end && *end == '\0' && n >= 0) ? n : -1;
}

std::string URLResponse::mimeType() const {
    const std::string type = headers_.value("Content-Type").value_or("");
    return foundation::lowercased(trim(type.substr(0, type.find(';'))));
}

std::string URLResponse::textEncodingName() const {
    const std::string type = headers_.value("Content-Type").value_or("");
    size_t pos = type.find(';');
    while (pos != std::string::npos) {
        const size_t next = type.find(';', pos + 1);
        const std::string param =
            trim(type.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1));
        const size_t eq = param.find('=');
        if (eq != std::string::npos && foundation::lowercased(trim(param.substr(0, eq))) == "charset") {
            std::string value = trim(param.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return foundation::lowercased(value);
        }
        pos = next;
    }
    return "";
}

}  // namespace platform::net
