// .eh_frame and .debug_frame contents as the DWARF frame reader meets them
// in a loaded image: every entry parsed, the FDE of a pc found, its
// instructions run and the rules applied to registers over a local stack.
// Input: one flags byte (bit 0: debug_frame, bit 1: 32-bit), the pc (8
// bytes), then the section.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/capture/unwind/DwarfCfaState.h"
#include "crash/capture/unwind/DwarfExpression.h"
#include "crash/capture/unwind/DwarfFrameReader.h"

using namespace ovcrash;
using namespace ovcrash::PKR::async;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    const bool debugFrame = data[0] & 1, is64 = !(data[0] & 2);
    uint64_t pc;
    std::memcpy(&pc, data + 1, 8);
    const dwarf_section section{data + 9, 0x10000, size - 9, async_byteorder_native()};
    const task_t task = platform::system::mach_task_self();

    // Every entry, as the search walks them.
    const gnu_ehptr_reader pointers{task, is64};
    for (uint64_t offset = 0, steps = 0; offset + 4 <= section.length && steps < 4096; steps++) {
        uint32_t length;
        dwarf_read_u32(&section, offset, &length);
        if (length == 0 || length == 0xffffffffu) break;
        async_dwarf_cie_info cie;
        async_dwarf_fde_info fde;
        if (async_dwarf_cie_info_init(&cie, &section, &pointers, offset) != ASYNC_ESUCCESS)
            async_dwarf_fde_info_init(&fde, &cie, &section, &pointers, offset, debugFrame);
        offset += 4 + uint64_t{length};
    }

    // The reader over a frame whose registers point into a local stack.
    static uint64_t stack[64];
    thread_state current;
    std::memset(&current, 0, sizeof current);
#if defined(__aarch64__)
    current.ts.flavor = ARM_THREAD_STATE64;
#else
    current.ts.flavor = X86_THREAD_STATE64;
#endif
    current.register_size = 8;
    current.stack_direction = STACK_DIRECTION_DOWN;
    for (uint32_t r = 1; r < thread_state_register_count(&current); r++)
        thread_state_set_register(&current, r, reinterpret_cast<uint64_t>(&stack[8 * (r % 7)]));
    thread_state_set_register(&current, REG_IP, pc);
    current.pc_exact = data[0] & 4;

    dwarf_frame_reader reader;
    dwarf_frame_reader_init(&reader, &section, task, is64, debugFrame);
    thread_state next;
    dwarf_unwind_frame_from_section(task, &reader, &current, &next);

    // The section's bytes as one expression.
    uint64_t initial = reinterpret_cast<uint64_t>(stack), result;
    async_dwarf_expression_eval(&section, task, &current, is64, 0, section.length < 256 ? section.length : 256,
                                &initial, 1, &result);
    return 0;
}
