#pragma once
// The URL loading errors, in the platform's domain and numbering.
#include <string>

#include "platform/foundation/Error.h"

namespace platform::net {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

enum URLErrorCode : int64_t {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorHTTPTooManyRedirects = -1007,
    kURLErrorNotConnectedToInternet = -1009,
    kURLErrorBadServerResponse = -1011,
    kURLErrorCannotDecodeContentData = -1016,
    kURLErrorFileDoesNotExist = -1100,
    kURLErrorFileIsDirectory = -1101,
    kURLErrorDataLengthExceedsMaximum = -1103,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateUntrusted = -1202,
};

// An error of the domain with the platform's message and the failing URL.
foundation::Error urlError(URLErrorCode code, const std::string& url, const std::string& detail = "");

}  // namespace platform::net
