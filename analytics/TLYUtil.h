#pragma once
// Conversions shared by the client: descriptions of exceptions and errors, and
// hit values (strings, numbers as decimal text, the null marker for nothing).
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Value.h"

class TLYUtil {
public:
    TLYUtil() = delete;

    // The exception's short description (at most 150 characters); null for null.
    static std::optional<std::string> descriptionFromException(const platform::foundation::Exception* exception);
    // "<domain> <code>: <localized description>"; null for null.
    static std::optional<std::string> descriptionFromError(const platform::foundation::Error* error);
    // A number's decimal text; anything else (null too) gives the null marker.
    static platform::foundation::Value valueForNumber(const platform::foundation::Value& number);
    // The value itself, whatever its kind; nil is the null marker.
    static platform::foundation::Value valueForString(const platform::foundation::Value& string);
};
