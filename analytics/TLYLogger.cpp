#include "analytics/TLYLogger.h"

#include "platform/foundation/Log.h"

void TLYDefaultLogger::verbose(const std::string& message) {
    if (logLevel_ >= 4) platform::foundation::log("VERBOSE: " + message);
}

void TLYDefaultLogger::info(const std::string& message) {
    if (logLevel_ >= 3) platform::foundation::log("INFO: " + message);
}

void TLYDefaultLogger::warning(const std::string& message) {
    if (logLevel_ >= 2) platform::foundation::log("WARNING: " + message);
}

void TLYDefaultLogger::error(const std::string& message) {
    if (logLevel_ != 0) platform::foundation::log("ERROR: " + message);
}
