// Property lists, binary and XML: preferences, bundle tables, stored archives.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

using platform::foundation::Value;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::foundation::Error error;
    auto v = Value::fromPropertyList(data, size, &error);
    if (!v) return 0;
    // What was read must write back and read again.
    auto again = Value::fromPropertyList(v->toBinaryPropertyList());
    if (!again) __builtin_trap();
    (void)v->description();
    return 0;
}
