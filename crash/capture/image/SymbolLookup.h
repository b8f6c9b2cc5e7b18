#pragma once
// Naming a code address: the nearest symbol of the image's symbol table, or
// the class-metadata method whose implementation is nearest below it,
// whichever starts closer to the address. The log writer names every frame
// with it at crash time.
//
// Async-signal-safe: no allocation, no lock, raw system calls only.
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/image/MachOImage.h"

namespace ovcrash {

// The class-metadata cache a reporter keeps across lookups (ObjCMetadata.h).
struct objc_metadata_cache;

inline constexpr uint32_t SYMBOL_STRATEGY_SYMBOL_TABLE = 1u << 0;
inline constexpr uint32_t SYMBOL_STRATEGY_CLASS_METADATA = 1u << 1;

// The better of the symbol-table and class-metadata answers for pc, by
// `strategy` bits; the name is cut to 255 bytes.
async_error async_symbol_lookup(const macho_image* image, uint32_t strategy, objc_metadata_cache* cache, uint64_t pc,
                                macho_symbol_callback callback, void* ctx);
inline async_error async_symbol_lookup(const macho_image* image, uint32_t strategy, uint64_t pc,
                                       macho_symbol_callback callback, void* ctx) {
    return async_symbol_lookup(image, strategy, nullptr, pc, callback, ctx);
}

}  // namespace ovcrash
