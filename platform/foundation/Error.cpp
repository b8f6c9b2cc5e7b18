#include "platform/foundation/Error.h"

#include <cstring>

namespace platform::foundation {

Error Error::withDescription(std::string domain, int64_t code, const std::string& description) {
    Value info = Value::emptyDictionary();
    info[kLocalizedDescriptionKey] = description;
    return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
    const Value& d = userInfo[kLocalizedDescriptionKey];
    if (d.isString()) return d.string();
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription() + "\"";
}

Error posixError(int err, const std::string& what) {
    char buf[256];
    const char* msg = strerror_r(err, buf, sizeof buf);
    std::string text = what.empty() ? std::string(msg) : what + ": " + msg;
    return Error::withDescription(kPOSIXErrorDomain, err, text);
}

std::string reasonAbout(const Error& error, const std::string& path) {
    std::string text = error.localizedDescription();
    if (!path.empty() && text.rfind(path + ": ", 0) == 0) text.erase(0, path.size() + 2);
    return text;
}

}  // namespace platform::foundation
