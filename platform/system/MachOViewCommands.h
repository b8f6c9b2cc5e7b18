#pragma once
// The header and load commands of a loader view (MachOView.h): one writer for
// the views built when an image is added and for those built at crash time
// for an image the loader had no record of (CrashTimeViews.h).
//
// Async-signal-safe: writes into the caller's buffer only.
#include <cstddef>
#include <cstdint>

namespace platform::system {

struct macho_view_section {
    const char* name;  // a __TEXT section
    uint64_t addr, size;
};

struct macho_view_layout {
    uint32_t filetype;
    uint64_t base, text_size;  // __TEXT: vmaddr (the real load address) and size
    const macho_view_section* sections;
    uint32_t nsects;
    bool has_uuid;
    uint8_t uuid[16];
    // __LINKEDIT and LC_SYMTAB: the nlist entries at linkedit_fileoff, their
    // names right after them.
    bool has_symtab;
    uint64_t linkedit_vmaddr, linkedit_size, linkedit_fileoff;
    uint32_t nsyms, strsize;
};

// How many bytes the header and commands take.
size_t macho_view_commands_size(const macho_view_layout& layout);
// Writes them into out; false (nothing written) when capacity is too small.
bool macho_view_write_commands(const macho_view_layout& layout, uint8_t* out, size_t capacity);

}  // namespace platform::system
