#pragma once
// The class-metadata reader: walks the object runtime's metadata of a loaded
// image as it lies in the task's memory (the legacy module layout of 32-bit
// images in "__OBJC", the modern list layout in "__DATA") and reports every
// method implementation with its class, its name and whether it is a class
// method. Symbol lookup (SymbolLookup.h) uses objc_find_method to name frames
// of stripped images "-[Class method]" or "+[Class method]".
//
// Nothing in an image is trusted: every class, category and method list must
// lie inside the section it belongs to, and what does not is skipped without
// ending the walk. Crash-time code: no allocation from the heap (the
// lookaside table comes straight from the kernel), no lock, only
// async-signal-safe calls; objc_class_mask_static_init runs at start-up.
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/image/MachOImage.h"

namespace ovcrash {

inline constexpr size_t OBJC_LOOKASIDE_SIZE = 1024;

// Kept by the caller across lookups (one per reporter, used by one thread
// at a time): the modern sections of the last image walked, and a table from
// class data to read-only class data.
struct objc_metadata_cache {
    const macho_image* legacy_absent_image;  // walked without legacy metadata
    const macho_image* mapped_image;
    async_mobject objc_const;
    bool objc_const_present;
    async_mobject classlist;
    bool classlist_present;
    async_mobject catlist;
    bool catlist_present;
    async_mobject objc_data;
    bool objc_data_present;
    size_t lookaside_size;       // OBJC_LOOKASIDE_SIZE once the table exists
    uint64_t* lookaside_keys;    // class data pointer, low two bits cleared
    uint64_t* lookaside_values;  // address of its read-only class data
};

void objc_metadata_cache_init(objc_metadata_cache* cache);
void objc_metadata_cache_free(objc_metadata_cache* cache);

// Names are valid only during the call.
using objc_method_callback = void (*)(bool is_class_method, macho_string* class_name, macho_string* method_name,
                                      uint64_t implementation, void* context);

// Calls callback for every method found. ASYNC_EACCESS without a cache,
// ASYNC_ENOTFOUND for an image without class metadata.
async_error objc_metadata_parse(const macho_image* image, objc_metadata_cache* cache, objc_method_callback callback,
                                void* context);

// Calls callback once, for the method whose implementation is the greatest
// one not above pc (the first met of equal ones); ASYNC_ENOTFOUND when none.
async_error objc_find_method(const macho_image* image, objc_metadata_cache* cache, uint64_t pc,
                             objc_method_callback callback, void* context);

// The mask for tagged class pointers of 64-bit ARM images, set once at start-up
// from the operating system's major version.
void objc_class_mask_static_init();
uint64_t objc_class_mask();

}  // namespace ovcrash
