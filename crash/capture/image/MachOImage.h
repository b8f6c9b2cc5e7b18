#pragma once
// Reading loaded images without trusting them: memory objects (bounds-checked
// windows of task memory), the Mach-O image reader (header, load commands,
// segments, sections) and its symbol table. The image list creates one
// macho_image per loaded image outside crash time; the frame readers map
// sections through it and symbol lookup (SymbolLookup.h) reads its symbols at
// crash time. Every count, offset and size read from an image is checked
// against what was mapped before it is used.
//
// Async-signal-safe, except macho_image_init and macho_image_free (they copy
// and free the image's name; macho_image_init_borrowing_name does neither):
// no allocation, no lock, raw system calls only.
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncByteOrder.h"
#include "crash/capture/async/AsyncError.h"
#include "crash/capture/async/AsyncMemory.h"
#include "platform/system/MachO.h"

namespace ovcrash {

// A read-only window of the task's memory [task_address, task_address +
// length) seen locally at [address, address + length). The bytes are either
// borrowed in place (memory the loader stand-in keeps for the life of the
// process) or copied into a private mapping that mobject_free releases.
struct async_mobject {
    task_t task;        // one send-right reference held while the object lives
    uintptr_t address;  // local address of task_address
    uint64_t task_address;
    uint64_t length;       // may be shorter than requested
    int64_t vm_slide;      // task_address - address
    uintptr_t vm_address;  // the private page-aligned mapping, 0 when borrowed
    uint64_t vm_length;
};

// Maps [task_address, task_address + length). Without require_full the window
// ends at the first unreadable page. ASYNC_EINVAL for an empty or wrapping
// range, ASYNC_ENOMEM when nothing (or, with require_full, not all) could be
// read, ASYNC_EINTERNAL when no local space could be reserved.
async_error mobject_init(async_mobject* mobj, task_t task, uint64_t task_address, uint64_t length, bool require_full);
void mobject_free(async_mobject* mobj);
// The local pointer for task_address + offset when [that, that + length) lies
// inside the object; null otherwise, also when the offset wraps.
void* mobject_remap_address(const async_mobject* mobj, uint64_t task_address, int64_t offset, uint64_t length);
// The same test for a local pointer.
void* mobject_verify_local_pointer(const async_mobject* mobj, uintptr_t address, int64_t offset, uint64_t length);
async_error mobject_read_uint8(const async_mobject* mobj, uint64_t task_address, int64_t offset, uint8_t* result);
async_error mobject_read_uint16(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint16_t* result);
async_error mobject_read_uint32(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint32_t* result);
async_error mobject_read_uint64(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint64_t* result);
inline uint64_t mobject_task_address(const async_mobject* mobj) { return mobj->task_address; }
inline uint64_t mobject_length(const async_mobject* mobj) { return mobj->length; }
inline task_t mobject_task(const async_mobject* mobj) { return mobj->task; }

// One loaded image as its Mach-O header describes it.
struct macho_image {
    task_t task;  // one send-right reference held while the image lives
    uint64_t header_addr;
    int64_t vmaddr_slide;                  // header_addr - the __TEXT vmaddr
    char* name;                            // private copy of the path
    platform::system::mach_header header;  // as read, in the image's byte order
    uint32_t header_size;                  // 28 or 32
    uint32_t ncmds;
    async_mobject load_cmds;
    uint64_t text_vmaddr;
    uint64_t text_size;
    bool m64;
    const async_byteorder* byteorder;
    // The symbol table is sorted by address and has no local/global ranges,
    // so a lookup may search it by halves (found when the image was read).
    bool symtab_sorted;
    // The image list's entry holding this image (set once, by compare-and-swap).
    void* list_entry;
    // Once removed from the list: the next image waiting to be freed.
    macho_image* retired_next;
    bool name_borrowed;  // `name` is the caller's, neither copied nor freed
};

// A mapped segment, with the file offset and size its command gives.
struct macho_segment_map {
    async_mobject mobj;
    uint64_t fileoff;
    uint64_t filesize;
};

async_error macho_image_init(macho_image* image, task_t task, const char* name, uint64_t header_addr);
// The same, async-signal-safe: `name` is kept as given and must outlive the image.
async_error macho_image_init_borrowing_name(macho_image* image, task_t task, const char* name, uint64_t header_addr);
void macho_image_free(macho_image* image);
// header address <= address < header address + text size, for any range.
bool macho_image_contains_address(const macho_image* image, uint64_t address);
inline uint64_t macho_image_header_address(const macho_image* image) { return image->header_addr; }
inline uint64_t macho_image_text_size(const macho_image* image) { return image->text_size; }
inline const char* macho_image_name(const macho_image* image) { return image->name; }
// The 16 bytes of the image's LC_UUID, or ASYNC_ENOTFOUND.
async_error macho_image_uuid(const macho_image* image, uint8_t uuid[16]);
platform::system::cpu_type_t macho_image_cpu_type(const macho_image* image);
platform::system::cpu_subtype_t macho_image_cpu_subtype(const macho_image* image);
// Load commands as local pointers into image->load_cmds; each returned
// command is at least 8 bytes and lies wholly inside the mapped commands.
const void* macho_image_next_command(const macho_image* image, const void* previous);
const void* macho_image_find_command(const macho_image* image, uint32_t cmd);
// The segment command (LC_SEGMENT or LC_SEGMENT_64 by the image's width) of
// that name, whole inside the mapped commands, or null.
const void* macho_image_find_segment(const macho_image* image, const char* segname);
// The command's 32-bit field at `offset`, in the image's byte order.
uint32_t macho_image_command_field32(const macho_image* image, const void* command, size_t offset);
async_error macho_image_map_segment(const macho_image* image, const char* segname, macho_segment_map* segment);
void macho_segment_map_free(macho_segment_map* segment);
async_error macho_image_map_section(const macho_image* image, const char* segname, const char* sectname,
                                    async_mobject* mobj);

// The image's symbol table, read in place from its mapped __LINKEDIT.
struct symtab_table {
    const uint8_t* symbols;
    uint32_t count;
};
struct symtab_reader {
    const macho_image* image;
    macho_segment_map linkedit;
    symtab_table all;
    const char* string_table;
    uint32_t string_table_size;
    bool has_ranges;  // with LC_DYSYMTAB: globals and locals
    symtab_table globals;
    symtab_table locals;
};
struct symtab_entry {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    uint64_t normalized_value;  // n_value, with bit 0 set for a Thumb function
};

async_error symtab_reader_init(symtab_reader* reader, const macho_image* image);
void symtab_reader_free(symtab_reader* reader);
// Entry `index` of `table`; false when the index is out of the table.
bool symtab_reader_read_entry(const symtab_reader* reader, const symtab_table* table, uint32_t index,
                              symtab_entry* entry);
// The NUL-terminated name at string index `strx`, or null when it (up to and
// including its NUL) does not lie inside the string table.
const char* symtab_reader_string(const symtab_reader* reader, uint32_t strx);

using macho_symbol_callback = void (*)(uint64_t address, const char* name, void* ctx);
// The nearest symbol at or below pc, or ASYNC_ENOTFOUND.
async_error macho_find_symbol_by_pc(const macho_image* image, uint64_t pc, macho_symbol_callback callback, void* ctx);

// A NUL-terminated string in the task, mapped on first use.
struct macho_string {
    const macho_image* image;
    uint64_t address;
    async_mobject mobj;
    uint64_t length;  // without the NUL
    bool mapped;
};
async_error macho_string_init(macho_string* string, const macho_image* image, uint64_t address);
async_error macho_string_length(macho_string* string, uint64_t* length);
async_error macho_string_pointer(macho_string* string, const char** pointer);
void macho_string_free(macho_string* string);

}  // namespace ovcrash
