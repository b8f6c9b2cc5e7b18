#pragma once
// The Mach-O view of one loaded ELF image, built by the loader stand-in when
// the image is added (never at crash time), so that crash capture's image
// reader, DWARF reader and symbol lookup run unchanged on a Linux process.
//
// A view is two buffers that live as long as the process:
// - `commands`: a 64-bit Mach-O header and its load commands - a `__TEXT`
//   segment over the image's read-only and code segments (vmaddr = the real
//   load address, so the slide is 0) with a `__text` section over the real .text
//   an `__eh_frame` section over the real .eh_frame and an `__eh_frame_hdr`
//   section over its binary-search table .eh_frame_hdr, a `__LINKEDIT`
//   segment whose vmaddr is the address of `linkedit` itself, `LC_UUID` from
//   the first 16 bytes of the GNU build-id, and `LC_SYMTAB` over `linkedit`.
//   The loader shows these bytes at the image's real load address (see
//   Loader.h): whoever reads the task's memory there reads the view.
// - `linkedit`: the image's function symbols (.symtab from the file when it
//   has one, else .dynsym, else, without section headers, the dynamic symbol
//   table its dynamic segment points at) as 64-bit nlist entries sorted by
//   address, then their names with a leading "_", as the platform writes them.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system/LoadedElf.h"

struct dl_phdr_info;

namespace platform::system {

struct MachOView {
    std::string path;   // the file, or the loader's name for an image without one
    uint64_t base = 0;  // real load address (where the ELF header is mapped)
    uint64_t span = 0;  // from base to the end of the last loaded segment, page-rounded
    uint64_t bias = 0;  // the ELF load bias (dlpi_addr)
    // From base to the end of the last segment that is not writable, page-rounded.
    uint64_t textSize = 0;
    std::vector<uint8_t> commands;
    std::vector<uint8_t> linkedit;
    uint32_t symbolCount = 0;
    // The unwind tables (.eh_frame and .eh_frame_hdr) at their load address,
    // with `bytes` in a read-only mapping of the image's file that the loader
    // keeps from when it builds the view until it learns that the image is
    // gone: a library closed behind the loader's back takes its pages with
    // it, not this mapping. Only where the file is the one loaded; null
    // otherwise, and published null before the mapping goes. The file may be
    // cut short under the mapping, so its bytes are only ever copied out with
    // a checked read: a crash-time reader keeps such a copy (or, without the
    // mapping, one of the image's pages) in `copy`, never released.
    struct Range {
        uint64_t address = 0, size = 0;
        std::atomic<const uint8_t*> bytes{nullptr};
        std::atomic<const uint8_t*> copy{nullptr};
    };
    Range unwindTables[2];
    bool hasUuid = false;
    uint8_t uuid[16] = {};
};

// Builds the view of the image dl_iterate_phdr described; `path` is its file
// ("" for the main program resolves to /proc/self/exe). False, with the
// reason in `error`, when the image has no loadable segment.
bool buildMachOView(const dl_phdr_info& info, const std::string& path, MachOView* view, std::string* error);
// The same from what its program headers said (loaded_elf_read), read once.
bool buildMachOView(const dl_phdr_info& info, const std::string& path, const loaded_elf& elf, MachOView* view,
                    std::string* error);

// Unmaps the unwind tables' mappings of the file, once their image is gone.
// Crash-time readers may be copying from them meanwhile: the pointers are
// published null first and those reads are checked, so they fail, not fault.
void releaseUnwindTables(MachOView* view);

}  // namespace platform::system
