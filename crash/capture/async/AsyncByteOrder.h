#pragma once
// Byte-order tables for readers of foreign data: a reader keeps a pointer to
// the table its data's own marker calls for (swapped or direct) and converts
// every multi-byte value through it. Async-signal-safe: constant tables.
#include <cstdint>

namespace ovcrash {

struct async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};

// Reverses the bytes of every value.
extern const async_byteorder async_byteorder_swapped;
// Leaves every value as it is.
extern const async_byteorder async_byteorder_direct;

// The table for data already in the host's order.
const async_byteorder* async_byteorder_native();

}  // namespace ovcrash
