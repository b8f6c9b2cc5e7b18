#pragma once
// The crash report manager's console lines. A debug line reads
// "[PelkorSDK] <method>/<line> <LEVEL>: <text>" and prints only while debug
// logging is on and the installation is not from the App Store (environment
// value 0); a plain line "[PelkorSDK] <text>" always prints. The shared
// PKRPelkorManager owns the debug switch and sets it here.
#include <string>

#include "platform/foundation/Format.h"

class PKRLog {
public:
    static void setDebugLogEnabled(bool enabled);
    static bool isDebugLogEnabled();
    // `method` as the platform names it, e.g. "-[PKRCrashManager saveSettings]";
    // `level` is "INFO: ", "WARNING: " or "ERROR: ".
    static void debug(const char* method, int line, const char* level, const std::string& text);
    static void plain(const std::string& text);
};

#define PKR_LOG_DEBUG(level, method, ...) \
    PKRLog::debug(method, __LINE__, level, platform::foundation::format(__VA_ARGS__))
#define PKR_LOG_INFO(method, ...) PKR_LOG_DEBUG("INFO: ", method, __VA_ARGS__)
#define PKR_LOG_WARNING(method, ...) PKR_LOG_DEBUG("WARNING: ", method, __VA_ARGS__)
#define PKR_LOG_ERROR(method, ...) PKR_LOG_DEBUG("ERROR: ", method, __VA_ARGS__)
