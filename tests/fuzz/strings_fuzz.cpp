// Localized .strings tables: text in UTF-8 or UTF-16, or compiled property lists.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/Bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    (void)platform::foundation::parseStringsFile(std::string(reinterpret_cast<const char*>(data), size), &error);
    return 0;
}
