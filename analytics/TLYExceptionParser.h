#pragma once
// Turns an exception into the short description an exception hit carries: its
// name, then "\nTrace:" and the symbols of its call stack from the third frame on.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Exception.h"

class TLYExceptionParser {
public:
    TLYExceptionParser() = delete;

    // maxLength counts characters (UTF-16 units, as the platform's strings do);
    // 0 means no limit. The text is cut only between whole characters.
    static std::string exceptionDescription(const platform::foundation::Exception& exception, size_t maxLength);
    static std::string exceptionDescription(const std::string& name, const std::vector<std::string>& callStackSymbols,
                                            size_t maxLength);
    // The symbol of one call-stack line ("3   Quenmira   0x0000000000401234 -[Foo bar:] + 12"), or
    // null for the exception machinery's own frames and lines that do not parse.
    static std::optional<std::string> symbolFromStackFrame(const std::string& line);
    // The call-stack lines of an exception, one per return address, in the
    // platform's layout: index, image, address, symbol, "+", offset.
    static std::vector<std::string> callStackSymbols(const platform::foundation::Exception& exception);
};
