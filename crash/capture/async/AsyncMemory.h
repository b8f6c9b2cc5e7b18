#pragma once
// Reads of task memory that never fault, overflow-checked address arithmetic
// and byte loops that call into no library: the ground every crash-time
// reader stands on. Async-signal-safe: no allocation, no lock.
#include <cstddef>
#include <cstdint>

#include "crash/capture/async/AsyncByteOrder.h"
#include "crash/capture/async/AsyncError.h"
#include "platform/system/Mach.h"

namespace ovcrash {

using platform::system::kern_return_t;
using platform::system::task_t;
using platform::system::thread_t;

// One kernel copy of length bytes at address into dest; the kernel's result.
kern_return_t async_task_memcpy(task_t task, uint64_t address, uint64_t length, void* dest);

// base + offset, or false when the sum would leave [0, 2^64).
bool async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result);

// Whether address lies in [base, base + size); holds for ranges that end at
// the top of the address space, where base + size itself wraps to 0.
inline bool async_address_in_range(uint64_t base, uint64_t size, uint64_t address) {
    return address >= base && address - base < size;
}

// Copies length bytes at base + offset into dest. A wrapping offset answers
// ASYNC_ENOMEM; an unmapped range ASYNC_ENOTFOUND; a protected one
// ASYNC_EACCESS; other kernel failures ASYNC_EUNKNOWN.
async_error async_task_read(task_t task, uint64_t base, int64_t offset, void* dest, uint64_t length);
async_error async_task_read_uint32(task_t task, const async_byteorder* byteorder, uint64_t base, int64_t offset,
                                   uint32_t* result);
async_error async_task_read_uint64(task_t task, const async_byteorder* byteorder, uint64_t base, int64_t offset,
                                   uint64_t* result);

// Compares at most n bytes, stopping after a NUL both share; the difference
// of the first differing bytes as unsigned values, else 0.
int async_memcmp(const void* a, const void* b, size_t n);
void* async_memcpy(void* dest, const void* source, size_t n);
void* async_memset(void* dest, uint8_t value, size_t n);

// The calling thread's port, comparable with the ports of the task's thread
// list; there is nothing to release.
thread_t async_thread_self();

}  // namespace ovcrash
