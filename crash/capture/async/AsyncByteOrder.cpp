// Async-signal-safe: pure functions over constant tables.
#include "crash/capture/async/AsyncByteOrder.h"

namespace ovcrash {

namespace {
uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
uint16_t same16(uint16_t v) { return v; }
uint32_t same32(uint32_t v) { return v; }
uint64_t same64(uint64_t v) { return v; }
}  // namespace

const async_byteorder async_byteorder_swapped = {swap16, swap32, swap64};
const async_byteorder async_byteorder_direct = {same16, same32, same64};

const async_byteorder* async_byteorder_native() { return &async_byteorder_direct; }

}  // namespace ovcrash
