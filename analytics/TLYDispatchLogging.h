#pragma once
// Log sites of the sending side. Lines carry the client's prefix
// "Tallymark 3.15 <method> (<file>:<line>): " and go to the client's logger.
#include <string>

#include "platform/foundation/Format.h"

enum class TLYDispatchLogLevel { Error, Warning, Info, Verbose };

void tlyDispatchLog(TLYDispatchLogLevel level, const char* method, const char* file, int line,
                    const std::string& text);

#define TLYD_LOG(level, method, ...) \
    tlyDispatchLog(TLYDispatchLogLevel::level, method, __FILE__, __LINE__, platform::foundation::format(__VA_ARGS__))
#define TLYD_ERROR(method, ...) TLYD_LOG(Error, method, __VA_ARGS__)
#define TLYD_WARNING(method, ...) TLYD_LOG(Warning, method, __VA_ARGS__)
#define TLYD_INFO(method, ...) TLYD_LOG(Info, method, __VA_ARGS__)
#define TLYD_VERBOSE(method, ...) TLYD_LOG(Verbose, method, __VA_ARGS__)
