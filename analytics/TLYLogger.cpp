#include "analytics/TLYLogger.h"

#include "platform/foundation/Log.h"

bool TLYDefaultLogger::logs(TLYLogLevel level) const {
    switch (level) {
    case TLYLogLevel::Error: return logLevel_ >= 1;
    case TLYLogLevel::Warning: return logLevel_ >= 2;
    case TLYLogLevel::Info: return logLevel_ >= 3;
    case TLYLogLevel::Verbose: return logLevel_ >= 4;
    }
    return false;
}

void TLYDefaultLogger::verbose(const std::string& message) {
    if (logs(TLYLogLevel::Verbose)) platform::foundation::log("VERBOSE: " + message);
}

void TLYDefaultLogger::info(const std::string& message) {
    if (logs(TLYLogLevel::Info)) platform::foundation::log("INFO: " + message);
}

void TLYDefaultLogger::warning(const std::string& message) {
    if (logs(TLYLogLevel::Warning)) platform::foundation::log("WARNING: " + message);
}

void TLYDefaultLogger::error(const std::string& message) {
    if (logs(TLYLogLevel::Error)) platform::foundation::log("ERROR: " + message);
}
