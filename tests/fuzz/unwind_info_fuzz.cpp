// "__TEXT","__unwind_info" sections as the compact unwind reader meets them:
// the lookup of a pc, the decoding of its encoding and the applier over a
// local stack. Input: one byte choosing the processor type and byte order,
// the pc's offset (4 bytes), then the section.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/capture/unwind/CompactUnwind.h"

using namespace ovcrash;
namespace ps = platform::system;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    static const ps::cpu_type_t cpus[] = {ps::CPU_TYPE_X86_64, ps::CPU_TYPE_ARM64, ps::CPU_TYPE_X86};
    const ps::cpu_type_t cpu = cpus[(data[0] & 0x7f) % 3];
    const async_byteorder *order = (data[0] & 0x80) ? &async_byteorder_swapped : async_byteorder_native();
    uint32_t pcOffset;
    std::memcpy(&pcOffset, data + 1, 4);

    async_mobject section{};
    section.task = ps::mach_task_self();
    section.address = reinterpret_cast<uintptr_t>(data + 5);
    section.task_address = section.address;
    section.length = size - 5;

    compact_unwind_reader reader;
    if (compact_unwind_reader_init(&reader, &section, order, cpu) != ASYNC_ESUCCESS) return 0;
    uint32_t base, encoding;
    if (compact_unwind_find_pc(&reader, pcOffset, &base, &encoding) != ASYNC_ESUCCESS) return 0;
    compact_unwind_entry entry;
    if (compact_unwind_entry_init(&entry, cpu, encoding) != ASYNC_ESUCCESS) return 0;

    static uint64_t stack[512];
    thread_state current;
    std::memset(&current, 0, sizeof current);
    current.ts.flavor = cpu == ps::CPU_TYPE_ARM64 ? ARM_THREAD_STATE64 : X86_THREAD_STATE64;
    current.register_size = 8;
    current.stack_direction = STACK_DIRECTION_DOWN;
    for (uint32_t r = 0; r < thread_state_register_count(&current); r++)
        thread_state_set_register(&current, r, reinterpret_cast<uint64_t>(&stack[16 + 8 * (r % 5)]));
    thread_state next;
    compact_unwind_entry_apply(section.task, reinterpret_cast<uint64_t>(data), &current, &entry, &next);
    return 0;
}
