#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The compact unwind reader, first of the frame cursor's readers: looks the
// pc up in its image's "__TEXT","__unwind_info" section (header, first-level
// index, regular and compressed second-level pages), decodes the 32-bit
// encoding found there for 64-bit ARM, x86-64 or 32-bit x86, and applies it
// to the current registers.
#include <cstdint>

#include "crash/capture/async/AsyncError.h"
#include "crash/capture/image/MachOImage.h"
#include "crash/capture/unwind/FrameCursor.h"

namespace ovcrash {

struct compact_unwind_reader {
    async_mobject section;  // borrowed from the caller
    const async_byteorder *byteorder;
    platform::system::cpu_type_t cputype;
    struct {
        uint32_t version;
        uint32_t common_encodings_offset;
        uint32_t common_encodings_count;
        uint32_t personality_offset;
        uint32_t personality_count;
        uint32_t index_offset;
        uint32_t index_count;
    } header;
};

enum compact_unwind_kind : uint32_t {
    COMPACT_UNWIND_FRAME = 1,               // frame-pointer based
    COMPACT_UNWIND_FRAMELESS_IMMD = 2,      // stack size in the encoding
    COMPACT_UNWIND_FRAMELESS_INDIRECT = 3,  // stack size in the function's code
    COMPACT_UNWIND_DWARF = 4,
    COMPACT_UNWIND_NONE = 5,
};

constexpr uint32_t COMPACT_UNWIND_NO_REGISTER = 0xffffffffu;
constexpr uint32_t COMPACT_UNWIND_MAX_REGISTERS = 10;

struct compact_unwind_entry {
    compact_unwind_kind kind;
    platform::system::cpu_type_t cputype;
    int64_t stack_offset;
    uint32_t stack_adjust;
    uint32_t return_address_register;  // or COMPACT_UNWIND_NO_REGISTER: on the stack
    uint32_t register_count;
    uint32_t register_list[COMPACT_UNWIND_MAX_REGISTERS];  // COMPACT_UNWIND_NO_REGISTER: an empty slot
};

// ASYNC_ENOTSUP for a CPU type other than 64-bit ARM, x86-64 and 32-bit x86
// or a version other than 1; ASYNC_EINVAL when the header is not in the section.
async_error compact_unwind_reader_init(compact_unwind_reader *reader, const async_mobject *section,
                                       const async_byteorder *byteorder, platform::system::cpu_type_t cputype);
// The function holding `pc_offset` (from the image's header address) and its
// encoding. ASYNC_ENOTFOUND when no entry covers it; ASYNC_EINVAL for a table
// that is not wholly inside the section.
async_error compact_unwind_find_pc(const compact_unwind_reader *reader, uint64_t pc_offset, uint32_t *function_base,
                                   uint32_t *encoding);
// ASYNC_ENOTSUP for a CPU type or mode it does not know; ASYNC_EINVAL for a
// register code or permutation that names no register.
async_error compact_unwind_entry_init(compact_unwind_entry *entry, platform::system::cpu_type_t cputype,
                                      uint32_t encoding);
// The caller of `current` from `entry`; `function_address` is where the
// function starts (for stack sizes read from its code).
async_error compact_unwind_entry_apply(task_t task, uint64_t function_address, const thread_state *current,
                                       const compact_unwind_entry *entry, thread_state *next);

}  // namespace ovcrash
