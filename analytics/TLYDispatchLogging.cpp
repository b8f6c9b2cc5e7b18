#include "analytics/TLYDispatchLogging.h"

#include <cstring>

#include "platform/foundation/Log.h"

void tlyDispatchLog(TLYDispatchLogLevel level, const char* method, const char* file, int line,
                    const std::string& text) {
    const char* slash = std::strrchr(file, '/');
    std::string message = platform::foundation::format("%s %s %s (%s:%d): ", "Tallymark", "3.15", method,
                                                       slash ? slash + 1 : file, line) +
                          text;
    // Until the client-wide logger takes these lines: errors and warnings, as
    // its default level 2 prints them.
    switch (level) {
    case TLYDispatchLogLevel::Error: platform::foundation::log("ERROR: " + message); break;
    case TLYDispatchLogLevel::Warning: platform::foundation::log("WARNING: " + message); break;
    case TLYDispatchLogLevel::Info:
    case TLYDispatchLogLevel::Verbose: break;
    }
}
