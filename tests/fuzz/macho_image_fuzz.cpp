// Mach-O images as crash capture reads them from a crashed process: the
// input lies at the image's load address, and everything the reader offers
// is exercised. Nothing may be read outside what was mapped.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "crash/capture/image/MachOImage.h"
#include "crash/capture/image/SymbolLookup.h"

namespace {

void ignore(uint64_t, const char* name, void*) {
    // The name must be a terminated string inside readable memory.
    volatile size_t n = std::strlen(name);
    (void)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ovcrash;
    if (size == 0) return 0;
    // Whole pages, so that what follows the input is unmapped, as past an image.
    size_t mapped = (size + 4095) & ~size_t{4095};
    void* page = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return 0;
    std::memcpy(page, data, size);
    auto header = reinterpret_cast<uint64_t>(page);
    task_t self = platform::system::mach_task_self();

    macho_image image;
    if (macho_image_init(&image, self, "fuzz", header) == ASYNC_ESUCCESS) {
        for (const void* cmd = macho_image_next_command(&image, nullptr); cmd;
             cmd = macho_image_next_command(&image, cmd))
            (void)macho_image_command_field32(&image, cmd, 0);
        uint8_t uuid[16];
        (void)macho_image_uuid(&image, uuid);
        (void)macho_image_cpu_type(&image);
        const char* sections[][2] = {{"__TEXT", "__text"}, {"__TEXT", "__eh_frame"}, {"__TEXT", "__unwind_info"}};
        for (auto& s : sections) {
            async_mobject m;
            if (macho_image_map_section(&image, s[0], s[1], &m) == ASYNC_ESUCCESS) mobject_free(&m);
        }
        for (uint64_t offset : {uint64_t{0}, uint64_t{0x400}, uint64_t{0x47f}, uint64_t{size}}) {
            uint64_t pc = header + offset;
            (void)macho_find_symbol_by_pc(&image, pc, ignore, nullptr);
            (void)async_symbol_lookup(&image, SYMBOL_STRATEGY_SYMBOL_TABLE | SYMBOL_STRATEGY_CLASS_METADATA, nullptr,
                                      pc, ignore, nullptr);
        }
        macho_string str;
        macho_string_init(&str, &image, header + (size > 40 ? 40 : 0));
        const char* p;
        if (macho_string_pointer(&str, &p) == ASYNC_ESUCCESS) ignore(0, p, nullptr);
        macho_string_free(&str);
        macho_image_free(&image);
    }
    ::munmap(page, mapped);
    return 0;
}
