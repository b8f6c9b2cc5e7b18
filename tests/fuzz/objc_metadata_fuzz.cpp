// Images with class metadata as crash capture reads them from a crashed
// process: the input lies at a fixed address below 4 GiB (its seeds were
// built there, so their pointers hold), and both layouts are walked and
// searched. Nothing may be read outside what was mapped or read safely.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "crash/capture/image/ObjCMetadata.h"
#include "crash/capture/image/SymbolLookup.h"

namespace {

constexpr uint64_t kBase = 0x7e000000;  // where the seeds were built
constexpr size_t kMaxInput = 0x10000;

void touch(bool, ovcrash::macho_string* cls, ovcrash::macho_string* method, uint64_t, void*) {
    const char* p;
    for (ovcrash::macho_string* s : {cls, method})
        if (ovcrash::macho_string_pointer(s, &p) == ovcrash::ASYNC_ESUCCESS) {
            volatile size_t n = std::strlen(p);
            (void)n;
        }
}

void ignore(uint64_t, const char* name, void*) {
    volatile size_t n = std::strlen(name);
    (void)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovcrash;
    if (size == 0 || size > kMaxInput) return 0;
    size_t mapped = (size + 4095) & ~size_t{4095};
    void* page = ::mmap(reinterpret_cast<void*>(kBase), mapped, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (page == MAP_FAILED) return 0;
    std::memcpy(page, data, size);
    macho_image image;
    if (macho_image_init(&image, platform::system::mach_task_self(), "fuzz", kBase) == ASYNC_ESUCCESS) {
        objc_metadata_cache cache;
        objc_metadata_cache_init(&cache);
        (void)objc_metadata_parse(&image, &cache, touch, nullptr);
        for (uint64_t pc : {kBase + 0xc00, kBase + 0xc18, kBase + 0xfff, kBase + size})
            (void)async_symbol_lookup(&image, SYMBOL_STRATEGY_CLASS_METADATA, &cache, pc, ignore, nullptr);
        objc_metadata_cache_free(&cache);
        macho_image_free(&image);
    }
    ::munmap(page, mapped);
    return 0;
}
