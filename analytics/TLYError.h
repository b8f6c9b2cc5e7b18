#pragma once
// Errors of the analytics client, in the domain "com.tallymark.analytics.error".
#include <cstdint>
#include <string>

#include "platform/foundation/Error.h"

inline constexpr const char* kTLYErrorDomain = "com.tallymark.analytics.error";
inline constexpr const char* kTLYFilePathErrorKey = "NSFilePath";
inline constexpr const char* kTLYUnderlyingErrorKey = "NSUnderlyingError";

class TLYError {
public:
    TLYError() = delete;

    static platform::foundation::Error errorWithCode(int64_t code);
    static platform::foundation::Error errorWithCode(int64_t code, const std::string& description);
    static platform::foundation::Error errorWithCode(int64_t code, const std::string& failedFilePath,
                                                     const std::string& description);
    // The underlying error travels in the user info as a dictionary of its
    // "domain", "code" and "userInfo".
    static platform::foundation::Error errorWithCode(int64_t code, const platform::foundation::Error& underlyingError,
                                                     const std::string& description);
};
