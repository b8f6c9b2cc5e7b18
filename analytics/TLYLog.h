#pragma once
// The client's log lines: "Tallymark 3.15 <method> (<file>:<line>): <text>",
// sent at their level to the logger that TLY::sharedLogger() gives.
#include <string>

#include "platform/foundation/Format.h"

enum class TLYLogLevel { Error, Warning, Info, Verbose };

inline constexpr const char* kTLYProductName = "Tallymark";
inline constexpr const char* kTLYProductVersion = "3.15";

void tlyLog(TLYLogLevel level, const char* method, const char* file, int line, const std::string& text);
// Bare text at warning level, without the prefix (argument warnings of the
// dictionary builder and the ecommerce objects).
void tlyLogBareWarning(const std::string& text);

// Whether a line of `level` would reach anything: false when the default
// logger's level drops it, so that its text is never formatted (a verbose
// line per stored hit would otherwise describe every hit).
bool tlyLogWanted(TLYLogLevel level);

#define TLY_LOG(level, method, ...)                                                                     \
    (tlyLogWanted(TLYLogLevel::level)                                                                   \
         ? tlyLog(TLYLogLevel::level, method, __FILE__, __LINE__, platform::foundation::format(__VA_ARGS__)) \
         : void())
#define TLY_ERROR(method, ...) TLY_LOG(Error, method, __VA_ARGS__)
#define TLY_WARNING(method, ...) TLY_LOG(Warning, method, __VA_ARGS__)
#define TLY_INFO(method, ...) TLY_LOG(Info, method, __VA_ARGS__)
#define TLY_VERBOSE(method, ...) TLY_LOG(Verbose, method, __VA_ARGS__)
