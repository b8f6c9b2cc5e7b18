#pragma once
// What the headers of a loaded ELF object say, read from the process's pages
// as they are now: where it lies, its unwind tables, its build-id note. The
// loader reads it once when it records an image, and again at crash time for
// an object it has no record of (LinkMap.h), so that the object is reported
// from its own headers.
//
// Async-signal-safe: every byte is copied through vm_read_pages (a checked
// read of the pages, without the loader's views); nothing is allocated, no
// lock is taken, and no more than kLoadedElfMaxHeaders program headers are
// looked at.
#include <cstdint>

namespace platform::system {

inline constexpr uint32_t kLoadedElfMaxHeaders = 64;
inline constexpr uint32_t kLoadedElfMaxNote = 64;

struct loaded_elf {
    uint64_t bias = 0;     // the load bias (what the dynamic linker calls l_addr)
    uint64_t dynamic = 0;  // its dynamic section, 0 without one
    // As the loader's views count them: from the first loaded page to the
    // end of the last loaded segment, and the part of it that is not
    // writable, page-rounded.
    uint64_t base = 0, span = 0, text_size = 0;
    uint64_t text = 0, text_bytes = 0;  // the first executable segment
    uint64_t eh_frame_hdr = 0, eh_frame_hdr_size = 0;
    uint64_t eh_frame = 0, eh_frame_size = 0;  // up to the end of its segment
    bool has_uuid = false;
    uint8_t uuid[16] = {};  // the build-id's first 16 bytes, zero-padded
    // The build-id note as loaded, so that a later look can tell whether the
    // same object still lies there.
    uint64_t note = 0;
    uint32_t note_size = 0;
    uint8_t note_bytes[kLoadedElfMaxNote] = {};
};

// Reads the object whose `phnum` program headers are loaded at `phdr`.
// False when they cannot be read or describe no loaded segment.
bool loaded_elf_read(uint64_t bias, uint64_t phdr, uint32_t phnum, loaded_elf* out);

// Reads the object loaded with `bias` whose ELF header lies at the start of
// its first segment at `bias` (as shared objects are linked) and whose
// dynamic section is at `dynamic` (0: it has none). False when the header is
// not an ELF header of this machine or its program headers do not agree.
bool loaded_elf_find(uint64_t bias, uint64_t dynamic, loaded_elf* out);

// Reads the object whose file starts, as loaded, at `start`: its ELF header
// lies there, at the start of the loaded segment that maps the file's first
// page, wherever that segment was linked to lie. False when the header is not
// an ELF header of this machine or no loaded segment maps it.
bool loaded_elf_from_file(uint64_t start, loaded_elf* out);

// Whether the note that `elf` recorded still holds the same bytes. True for
// an object without a build-id note.
bool loaded_elf_note_unchanged(const loaded_elf& elf);

// The GNU build-id among the notes in [data, data + size): its first 16
// bytes (zero-padded when shorter), the offset and the length of its note.
bool elf_build_id_note(const uint8_t* data, uint64_t size, uint8_t uuid[16], uint64_t* offset, uint64_t* length);

}  // namespace platform::system
