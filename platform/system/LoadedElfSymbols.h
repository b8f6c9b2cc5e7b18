#pragma once
// The function symbols of a loaded ELF object's dynamic symbol table, read at
// crash time from its pages and written the way a view's __LINKEDIT holds
// them (MachOView.h): 64-bit nlist entries, then their names with a leading
// "_". For the views made at crash time (CrashTimeViews.h), whose objects the
// loader never read from their files.
//
// Async-signal-safe: checked copies (vm_read_pages) into the caller's buffer,
// no allocation, no lock, bounded loops.
#include <cstdint>

#include "platform/system/LoadedElf.h"

namespace platform::system {

struct loaded_elf_symbol_table {
    uint32_t nsyms = 0;    // nlist entries at the start of the buffer
    uint32_t strsize = 0;  // the names right after them
    uint64_t size = 0;     // both together
};

// Writes the table into out[0, capacity); false when the object has no
// dynamic symbol table that can be read or the table does not fit (the
// buffer's contents are then unspecified).
bool loaded_elf_symbols(const loaded_elf& elf, uint8_t* out, uint64_t capacity, loaded_elf_symbol_table* table);

}  // namespace platform::system
