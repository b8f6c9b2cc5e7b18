// Dates read from stored reports and server answers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/Format.h"

namespace pf = platform::foundation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)pf::parseRFC3339(text);
    for (const char* pattern : {"yyyy-MM-dd HH:mm:ss Z", "yyyy-MM-dd'T'HH:mm:ss", "yyyy-MM-dd'T'HH:mm:ss'Z'",
                                "EEE, dd MMM yyyy HH:mm:ss z", "yy-M-d h:mm a ZZZZZ", "yyyyMMddHHmmss.SSS"}) {
        (void)pf::parseDate(text, pattern, true);
    }
    return 0;
}
