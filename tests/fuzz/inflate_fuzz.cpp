// Compressed bodies: zlib or gzip (header detected) and raw deflate.
#include <cstddef>
#include <cstdint>

#include "analytics/TLYCompressionUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)TLYCompressionUtil::tly_dataByInflatingBytes(data, size, false);
    (void)TLYCompressionUtil::tly_dataByInflatingBytes(data, size, true);
    return 0;
}
