#pragma once
// The function symbols of a loaded ELF object, read at crash time and
// written the way a view's __LINKEDIT holds them (MachOView.h): 64-bit nlist
// entries sorted by address (at one address a global name first, then a
// weak one, then a local one, as the loader's own views order them), then
// their names with a leading "_". From the file's own symbol table where the
// file is at hand (LoadedElfFile.h), else from the dynamic symbol table in
// the object's pages. For the views made at crash time (CrashTimeViews.h),
// whose objects the loader never read from their files.
//
// Async-signal-safe: checked copies (vm_read_pages) and reads of the file
// into the caller's buffer, no allocation, no lock, bounded loops.
#include <cstdint>

#include "platform/system/LoadedElf.h"
#include "platform/system/LoadedElfFile.h"

namespace platform::system {

struct loaded_elf_symbol_table {
    uint32_t nsyms = 0;    // nlist entries at the start of the buffer
    uint32_t strsize = 0;  // the names right after them
    uint64_t size = 0;     // both together
    // Where the table did not fit: the capacity to try again with, at least.
    uint64_t needed = 0;
};

// Writes the table into out[0, capacity), from `file`'s symbol table when it
// is given and has one; false when no symbol table can be read or the table
// does not fit (the buffer's contents are then unspecified, and
// table->needed tells the room it lacked). Outside crash time too: the
// loader's own views of objects without section headers.
bool loaded_elf_symbols(const loaded_elf& elf, const loaded_elf_file* file, uint8_t* out, uint64_t capacity,
                        loaded_elf_symbol_table* table);

}  // namespace platform::system
