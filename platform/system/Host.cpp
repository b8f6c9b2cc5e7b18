#include "platform/system/Host.h"

#include <sys/auxv.h>
#include <unistd.h>
#include <atomic>

namespace platform::system {

namespace {
constexpr host_t kHostPort = 2;
}

host_t mach_host_self() { return kHostPort; }

// No guarded static: the first call may come from a signal handler.
vm_size_t vm_page_size() {
    static std::atomic<vm_size_t> size{0};
    vm_size_t v = size.load(std::memory_order_relaxed);
    if (v == 0) {
        unsigned long aux = getauxval(AT_PAGESZ);
        v = aux ? static_cast<vm_size_t>(aux) : 4096;
        size.store(v, std::memory_order_relaxed);
    }
    return v;
}

vm_size_t vm_page_mask() { return vm_page_size() - 1; }

kern_return_t host_page_size(host_t host, vm_size_t* size) {
    if (host != kHostPort || !size) return KERN_INVALID_ARGUMENT;
    *size = vm_page_size();
    return KERN_SUCCESS;
}

cpu_type_t host_cpu_type() {
#if defined(__x86_64__)
    return CPU_TYPE_X86_64;
#elif defined(__aarch64__)
    return CPU_TYPE_ARM64;
#else
#error "crash capture plays x86-64 or 64-bit ARM"
#endif
}

cpu_subtype_t host_cpu_subtype() {
#if defined(__x86_64__)
    return CPU_SUBTYPE_X86_64_ALL;
#else
    return CPU_SUBTYPE_ARM64_ALL;
#endif
}

int32_t host_physical_cpus() {
    long n = sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<int32_t>(n) : 1;
}

int32_t host_logical_cpus() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int32_t>(n) : 1;
}

uint64_t host_memory_size() {
    long pages = sysconf(_SC_PHYS_PAGES);
    return pages > 0 ? static_cast<uint64_t>(pages) * vm_page_size() : 0;
}

kern_return_t host_basic_info_read(host_t host, host_basic_info* info) {
    if (host != kHostPort || !info) return KERN_INVALID_ARGUMENT;
    uint64_t mem = host_memory_size();
    info->max_cpus = host_physical_cpus();
    info->avail_cpus = host_logical_cpus();
    info->memory_size = mem > 0x7fffffff ? 0x7fffffffu : static_cast<uint32_t>(mem);
    info->cpu_type = host_cpu_type();
    info->cpu_subtype = host_cpu_subtype();
    info->cpu_threadtype = 0;
    info->physical_cpu = info->physical_cpu_max = host_physical_cpus();
    info->logical_cpu = info->logical_cpu_max = host_logical_cpus();
    info->max_mem = mem;
    return KERN_SUCCESS;
}

}  // namespace platform::system
