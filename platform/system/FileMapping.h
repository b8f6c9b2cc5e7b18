#pragma once
// Which file is mapped at an address, as the kernel lists the process's
// mappings (/proc/self/maps): for an address that no list of loaded objects
// accounts for, where that file's first page lies, so that the object's own
// headers can be read there (LoadedElf.h).
//
// Async-signal-safe: open, read and close of the list into the caller's
// buffer, no allocation, no lock; lines longer than the buffer are skipped.
#include <cstdint>

namespace platform::system {

// Finds the mapping of a file that holds `address` and the start of the
// nearest mapping below it (or itself) of the same file at offset 0: where
// the file's first page, with an object's ELF header, is mapped. `path`
// receives the file's name as listed, cut to capacity - 1 bytes. `scratch`
// is room for reading the list (a few KiB at least). False when no file is
// mapped there, or the file's start is not mapped below it.
bool file_mapping_find(uint64_t address, char* scratch, uint32_t scratch_size, uint64_t* file_start, char* path,
                       uint32_t path_capacity);

}  // namespace platform::system
