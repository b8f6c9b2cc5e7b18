#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The parsing half of the DWARF call-frame reader: a bounds-checked view of a
// mapped __eh_frame or __debug_frame section, LEB128 and pointer-encoding
// decoders, CIE and FDE parsing and the search for the FDE that covers a pc.
// The rule table and the expression machine that run what is found here are
// in DwarfCfaState.h and DwarfExpression.h.
#include <cstdint>

#include "crash/capture/async/AsyncByteOrder.h"
#include "crash/capture/async/AsyncError.h"
#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash::PKR::async {

// A section of the crashed task, mapped and read in place. Offsets are from
// the section's first byte; every read is checked against the length.
struct dwarf_section {
    const uint8_t *data;  // local address of the first byte
    uint64_t address;     // the first byte's address in the task
    uint64_t length;
    const async_byteorder *byteorder;
};

// Fixed-size reads in the section's byte order; ASYNC_EINVAL out of range.
async_error dwarf_read_u8(const dwarf_section *section, uint64_t offset, uint8_t *value);
async_error dwarf_read_u16(const dwarf_section *section, uint64_t offset, uint16_t *value);
async_error dwarf_read_u32(const dwarf_section *section, uint64_t offset, uint32_t *value);
async_error dwarf_read_u64(const dwarf_section *section, uint64_t offset, uint64_t *value);

// A value of 1, 2, 4 or 8 bytes, zero- or sign-extended to 64 bits.
async_error dwarf_read_sized(const dwarf_section *section, uint64_t offset, uint8_t size, bool is_signed,
                             uint64_t *value);

// LEB128 numbers; `size` receives the bytes read. More than 64 bits of
// payload is ASYNC_ENOTSUP; running off the section ASYNC_EINVAL.
async_error dwarf_read_uleb128(const dwarf_section *section, uint64_t offset, uint64_t *value, uint64_t *size);
async_error dwarf_read_sleb128(const dwarf_section *section, uint64_t offset, int64_t *value, uint64_t *size);

// DW_EH_PE pointer encodings.
enum : uint8_t {
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0a,
    DW_EH_PE_sdata4 = 0x0b,
    DW_EH_PE_sdata8 = 0x0c,
    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_omit = 0xff,
};

// Decodes pointers written with a DW_EH_PE encoding.
struct gnu_ehptr_reader {
    task_t task;  // indirect pointers are read from it
    bool is64;    // width of a machine word

    // The pointer at `offset`; `size` receives the bytes it takes. With
    // `dereference` false an indirect pointer yields the address of its slot,
    // for callers that only need to step over it.
    async_error read(const dwarf_section *section, uint64_t offset, uint8_t encoding, uint64_t *value, uint64_t *size,
                     bool dereference = true) const;
};

struct async_dwarf_cie_info {
    uint64_t cie_offset;  // content start, just after the length field
    uint64_t cie_length;
    uint64_t cie_id;
    uint8_t cie_version;
    uint8_t address_size;
    uint8_t segment_size;
    uint64_t code_alignment_factor;
    int64_t data_alignment_factor;
    uint64_t return_address_register;
    bool has_eh_augmentation;
    struct {
        bool present;
        uint8_t pointer_encoding;
    } lsda_encoding;
    struct {
        bool present;
        uint8_t pointer_encoding;
        uint64_t address;  // of the personality routine's slot, never read
    } personality_address;
    struct {
        bool present;
        uint8_t pointer_encoding;
    } pointer_encoding;
    bool signal_frame;
    uint64_t initial_instructions_offset;
    uint64_t initial_instructions_length;
};

struct async_dwarf_fde_info {
    uint64_t fde_offset;  // content start, just after the length field
    uint64_t fde_length;
    uint64_t cie_offset;  // of the CIE's length field
    uint64_t pc_start;
    uint64_t pc_end;
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

// Parses the CIE whose length field is at `cie_offset`.
async_error async_dwarf_cie_info_init(async_dwarf_cie_info *info, const dwarf_section *section,
                                      const gnu_ehptr_reader *reader, uint64_t cie_offset);
// Parses the FDE whose length field is at `fde_offset`, and its CIE into `cie`.
async_error async_dwarf_fde_info_init(async_dwarf_fde_info *info, async_dwarf_cie_info *cie,
                                      const dwarf_section *section, const gnu_ehptr_reader *reader, uint64_t fde_offset,
                                      bool debug_frame);

// A binary-search table of FDEs, sorted by pc start: the layout of the
// loader's .eh_frame_hdr. Entries are pairs of 32-bit signed values relative
// to `base`: the function's start and the FDE's address.
struct dwarf_fde_table {
    const int32_t *entries;  // 2 * count values
    uint64_t count;
    uint64_t base;  // task address the values are relative to
};

// The last CIE a table lookup parsed, kept by a caller that looks up many
// pcs in one section: FDEs mostly share a few CIEs.
struct dwarf_cie_cache {
    bool valid;
    uint64_t offset;  // of the CIE's length field
    async_dwarf_cie_info cie;
};

struct dwarf_frame_reader {
    dwarf_section section;
    gnu_ehptr_reader pointers;
    bool is64;
    bool debug_frame;
    const dwarf_fde_table *table;  // or null: the section is scanned
    dwarf_cie_cache *cie_cache;    // or null
};

void dwarf_frame_reader_init(dwarf_frame_reader *reader, const dwarf_section *section, task_t task, bool is64,
                             bool debug_frame, const dwarf_fde_table *table = nullptr);

// The FDE that covers `pc`, searching from `offset` (the table, when there
// is one, is used instead). ASYNC_ENOTFOUND when none does.
async_error dwarf_frame_reader_find_fde(const dwarf_frame_reader *reader, uint64_t offset, uint64_t pc,
                                        async_dwarf_fde_info *fde, async_dwarf_cie_info *cie);

}  // namespace ovcrash::PKR::async
