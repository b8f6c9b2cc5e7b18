#pragma once
// What the headers of a loaded ELF object say, read from the process's pages
// as they are now: where it lies, its unwind tables, its build-id note. The
// loader reads it once when it records an image, and again at crash time for
// an object it has no record of, listed by the linker (LinkMap.h) or found
// from the file mapped where an address lies (ProcessMaps.h), so that the
// object is reported from its own headers.
//
// Async-signal-safe: every byte is copied through vm_read_pages (a checked
// read of the pages, without the loader's views), and for an object without
// a build-id the process's map is read (ProcessMaps.h); nothing is
// allocated, no lock is taken, and no more than kLoadedElfMaxHeaders program
// headers are looked at.
#include <cstdint>

#include "platform/system/ProcessMaps.h"

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
    // What tells it apart without a build-id: its ELF and program headers as
    // loaded (a hash of them), and the file mapped at its base as at load
    // (ProcessMaps.h), which that mapping ended at. The file is looked at only
    // for an object without one, and at crash time only once it is needed
    // (loaded_elf_read_file).
    uint64_t headers_hash = 0;
    bool has_file = false;
    uint64_t file_device = 0, file_inode = 0, file_size = 0;
    int64_t file_mtime_ns = 0;
    uint64_t file_mapping_end = 0;
    // Where the mapping of its first loaded segment ends as the dynamic
    // linker maps it (up to the page past the segment's file bytes): that
    // range alone tells the file mapped at its base, without a read of the map.
    uint64_t first_mapping_end = 0;
};

// The addresses a dynamic section gives for the tables that symbol lookup
// needs, as it holds them: the dynamic linker rewrites most to where they
// are loaded, some stay as linked.
struct loaded_elf_dynamic {
    uint64_t symtab = 0, strtab = 0, strsz = 0, syment = 0, hash = 0, gnu_hash = 0;
};
// Reads the dynamic section at `dynamic` up to its end (bounded); false when
// it cannot be read.
bool loaded_elf_read_dynamic(uint64_t dynamic, loaded_elf_dynamic* out);

// Reads the object whose `phnum` program headers are loaded at `phdr`, and
// for one without a build-id the file mapped at its base. False when they
// cannot be read or describe no loaded segment.
bool loaded_elf_read(uint64_t bias, uint64_t phdr, uint32_t phnum, loaded_elf* out);

// Notes the file mapped at the base of an object without a build-id, which
// the crash-time readings below leave out: reading the process's map for
// each object found would make a crash slow where many are. The mapping of
// its first segment is looked for by its range first; only where that is not
// found is the map read, at crash time against the report's `budget`.
void loaded_elf_read_file(loaded_elf* elf, process_maps_budget* budget = nullptr);

// Reads the object loaded with `bias` whose dynamic section is at `dynamic`
// (0: it has none), from the ELF header at the start of its first segment:
// at `bias` as shared objects are usually linked, or where its segments were
// linked to lie (prelinked, or linked with a text-segment address), found
// below the tables its dynamic section names. False when no ELF header of
// this machine is found whose program headers agree.
bool loaded_elf_find(uint64_t bias, uint64_t dynamic, loaded_elf* out);

// Reads the object whose file starts, as loaded, at `start` (where the
// process's map shows the file's first page, ProcessMaps.h): its ELF header
// lies there, at the start of its first loaded segment, wherever that
// segment was linked to lie. False when the header is not an ELF header of
// this machine or its first loaded segment does not map it.
bool loaded_elf_from_file(uint64_t start, loaded_elf* out);

// Whether the object that `elf` recorded (loaded_elf_read) still lies where
// it was: its build-id note holds the same bytes, or without one its headers
// and the file mapped at its base are the same (where that mapping's range
// changed, told by a read of the map that counts against `budget`).
bool loaded_elf_still_there(const loaded_elf& elf, process_maps_budget* budget = nullptr);

// Whether two readings are of the same object: the same place, and the same
// build-id or, without one, the same headers and file.
bool loaded_elf_same(const loaded_elf& a, const loaded_elf& b);

// Reads `size` bytes at `offset` of a run of notes into `out`.
using elf_note_reader = bool (*)(const void* context, uint64_t offset, void* out, uint64_t size);

// The GNU build-id among the notes in [0, size) that `read` reads, one note
// at a time: its first 16 bytes (zero-padded when shorter), the offset and
// the length of its note.
bool elf_build_id_note(elf_note_reader read, const void* context, uint64_t size, uint8_t uuid[16], uint64_t* offset,
                       uint64_t* length);
// The same over notes in memory of the caller's, [data, data + size).
bool elf_build_id_note(const uint8_t* data, uint64_t size, uint8_t uuid[16], uint64_t* offset, uint64_t* length);

}  // namespace platform::system
