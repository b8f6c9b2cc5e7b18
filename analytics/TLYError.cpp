#include "analytics/TLYError.h"

using platform::foundation::Error;
using platform::foundation::Value;

Error TLYError::errorWithCode(int64_t code) { return Error(kTLYErrorDomain, code); }

Error TLYError::errorWithCode(int64_t code, const std::string& description) {
    return Error::withDescription(kTLYErrorDomain, code, description);
}

Error TLYError::errorWithCode(int64_t code, const std::string& failedFilePath, const std::string& description) {
    Error e = errorWithCode(code, description);
    e.userInfo[kTLYFilePathErrorKey] = failedFilePath;
    return e;
}

Error TLYError::errorWithCode(int64_t code, const Error& underlyingError, const std::string& description) {
    Error e = errorWithCode(code, description);
    Value underlying = Value(Value::Dictionary{});
    underlying["domain"] = underlyingError.domain;
    underlying["code"] = underlyingError.code;
    underlying["userInfo"] = underlyingError.userInfo;
    e.userInfo[kTLYUnderlyingErrorKey] = std::move(underlying);
    return e;
}
