#include "analytics/TLYUtil.h"

#include "analytics/TLYExceptionParser.h"
#include "platform/foundation/Format.h"

using platform::foundation::Value;

std::optional<std::string> TLYUtil::descriptionFromException(const platform::foundation::Exception* exception) {
    if (!exception) return std::nullopt;
    return TLYExceptionParser::exceptionDescription(*exception, 150);
}

std::optional<std::string> TLYUtil::descriptionFromError(const platform::foundation::Error* error) {
    if (!error) return std::nullopt;
    return platform::foundation::format("%s %ld: %s", error->domain.c_str(), long(error->code),
                                        error->localizedDescription().c_str());
}

Value TLYUtil::valueForNumber(const Value& number) { return number.isNumber() ? Value(number.stringValue()) : Value(); }

Value TLYUtil::valueForString(const Value& string) { return string; }
