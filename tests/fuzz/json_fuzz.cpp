// JSON documents: interface files, saved state, server answers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Value.h"

using platform::foundation::Value;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::foundation::Error error;
    auto v = Value::fromJSON(std::string_view(reinterpret_cast<const char*>(data), size), &error);
    if (!v) return 0;
    std::string text;
    try {
        text = v->toJSON();
    } catch (const platform::foundation::Exception&) {
        return 0;  // numbers out of JSON's range are refused on writing
    }
    if (!Value::fromJSON(text)) __builtin_trap();
    return 0;
}
