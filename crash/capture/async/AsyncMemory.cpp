// Async-signal-safe: no allocation, no lock; the byte loops are kept from
// being turned into library calls.
#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash {

namespace ps = platform::system;

kern_return_t async_task_memcpy(task_t task, uint64_t address, uint64_t length, void* dest) {
    ps::vm_size_t read = 0;
    return ps::vm_read_overwrite(task, address, length, reinterpret_cast<ps::vm_address_t>(dest), &read);
}

bool async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result) {
    uint64_t sum;
    if (offset >= 0) {
        if (static_cast<uint64_t>(offset) > UINT64_MAX - base) return false;
        sum = base + static_cast<uint64_t>(offset);
    } else {
        // -offset without overflow for INT64_MIN.
        uint64_t magnitude = static_cast<uint64_t>(-(offset + 1)) + 1;
        if (magnitude > base) return false;
        sum = base - magnitude;
    }
    if (result) *result = sum;
    return true;
}

async_error async_task_read(task_t task, uint64_t base, int64_t offset, void* dest, uint64_t length) {
    uint64_t address;
    if (!async_address_apply_offset(base, offset, &address)) return ASYNC_ENOMEM;
    switch (async_task_memcpy(task, address, length, dest)) {
    case ps::KERN_SUCCESS: return ASYNC_ESUCCESS;
    case ps::KERN_INVALID_ADDRESS: return ASYNC_ENOTFOUND;
    case ps::KERN_PROTECTION_FAILURE: return ASYNC_EACCESS;
    default: return ASYNC_EUNKNOWN;
    }
}

namespace {
template <typename T>
async_error read_converted(task_t task, uint64_t base, int64_t offset, T (*convert)(T), T* result) {
    T raw;
    async_error err = async_task_read(task, base, offset, &raw, sizeof raw);
    if (err == ASYNC_ESUCCESS) *result = convert(raw);
    return err;
}
}  // namespace

async_error async_task_read_uint32(task_t task, const async_byteorder* byteorder, uint64_t base, int64_t offset,
                                   uint32_t* result) {
    return read_converted(task, base, offset, byteorder->swap32, result);
}

async_error async_task_read_uint64(task_t task, const async_byteorder* byteorder, uint64_t base, int64_t offset,
                                   uint64_t* result) {
    return read_converted(task, base, offset, byteorder->swap64, result);
}

#if defined(__clang__)
#define QM_NO_LIBCALLS __attribute__((no_builtin))
#else
#define QM_NO_LIBCALLS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif

QM_NO_LIBCALLS int async_memcmp(const void* a, const void* b, size_t n) {
    const auto* p = static_cast<const unsigned char*>(a);
    const auto* q = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return static_cast<int>(p[i]) - static_cast<int>(q[i]);
        if (p[i] == 0) break;
    }
    return 0;
}

QM_NO_LIBCALLS void* async_memcpy(void* dest, const void* source, size_t n) {
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dest;
}

QM_NO_LIBCALLS void* async_memset(void* dest, uint8_t value, size_t n) {
    auto* d = static_cast<unsigned char*>(dest);
    for (size_t i = 0; i < n; ++i) d[i] = value;
    return dest;
}

thread_t async_thread_self() {
    thread_t self = ps::mach_thread_self();
    // The platform hands out a new reference with each request; give it back
    // at once so the port can be compared without being released later.
    ps::mach_port_deallocate(ps::mach_task_self(), self);
    return self;
}

}  // namespace ovcrash
