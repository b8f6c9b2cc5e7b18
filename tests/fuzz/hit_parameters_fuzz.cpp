// A stored hit's parameters: the binary property list the older hit store
// kept per row, read back and turned into the collection payload.
#include <cstddef>
#include <cstdint>

#include "analytics/TLYRequestBuilder.h"
#include "platform/foundation/Value.h"

using platform::foundation::Value;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TLYRequestBuilder builder;
    auto archived = Value::fromPropertyList(data, size);
    if (!archived || !archived->isDictionary()) return 0;
    Value parameters{Value::Dictionary{}};
    for (const auto& [key, value] : archived->dictionary()) parameters["&" + key] = value;
    Value hit{Value::Dictionary{}};
    // The row's own timestamp is as untrusted as its parameters.
    const Value& stored = (*archived)["timestamp"];
    hit["timestamp"] = stored.isDate() ? stored : Value::date(1.7e9);
    hit["parameters"] = std::move(parameters);
    (void)builder.parametersForHit(hit);
    return 0;
}
