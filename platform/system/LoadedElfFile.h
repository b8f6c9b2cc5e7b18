#pragma once
// The file of a loaded ELF object, opened at crash time by the path the
// dynamic linker gives, for what only the file holds: its section headers,
// which find .eh_frame where no .eh_frame_hdr points at it, and its own
// symbol table (.symtab), which names functions the dynamic one leaves out.
// The file is used only once it is known to be the one loaded: the same
// build-id or, without one, the same file (device, inode, size,
// modification time) as the one mapped at the object's base.
//
// Async-signal-safe: open, pread, fstat and close as raw system calls into
// the caller's buffers; no allocation, no lock, bounded loops. The file's
// bytes are never mapped, so a file cut short cannot fault a reader.
#include <cstdint>

#include "platform/system/LoadedElf.h"

namespace platform::system {

struct loaded_elf_file {
    int fd = -1;
    // .eh_frame as linked (add the bias), 0 when the file has none.
    uint64_t eh_frame = 0, eh_frame_size = 0;
    // .symtab and its names, as file offsets; count 0 when it has none.
    uint64_t symtab_offset = 0, symtab_count = 0;
    uint64_t strtab_offset = 0, strtab_size = 0;
};

// Opens the file at `path` and reads its section headers; false (nothing
// left open) when it cannot be read or is not the file of `elf`.
bool loaded_elf_file_open(const loaded_elf& elf, const char* path, loaded_elf_file* out);
void loaded_elf_file_close(loaded_elf_file* file);
// Reads [offset, offset + size) of the file; false when it does not hold it all.
bool loaded_elf_file_read(const loaded_elf_file& file, uint64_t offset, void* out, uint64_t size);

}  // namespace platform::system
