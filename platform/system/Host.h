#pragma once
// Stand-in for the Mach host calls crash capture makes: the host port, the
// page size and the basic host facts.
//
// Models: the processor is the played platform's (x86-64 plays CPU type
// 0x01000007 subtype 3, 64-bit ARM plays 0x0100000C subtype 0); processor
// counts and memory size are Linux's. Differs: there is one host, its port is
// a constant and needs no release. host_page_size, vm_page_size and
// vm_page_mask are async-signal-safe (the auxiliary vector, no allocation).
#include <cstdint>

#include "platform/system/Mach.h"
#include "platform/system/MachO.h"

namespace platform::system {

using host_t = mach_port_t;

struct host_basic_info {
    int32_t max_cpus;
    int32_t avail_cpus;
    uint32_t memory_size;  // bytes, capped at 2 GiB - 1 as the platform does
    cpu_type_t cpu_type;
    cpu_subtype_t cpu_subtype;
    cpu_subtype_t cpu_threadtype;
    int32_t physical_cpu;
    int32_t physical_cpu_max;
    int32_t logical_cpu;
    int32_t logical_cpu_max;
    uint64_t max_mem;  // bytes
};

host_t mach_host_self();
kern_return_t host_page_size(host_t host, vm_size_t* size);
// The kernel's page size and the mask of the offset bits within a page.
vm_size_t vm_page_size();
vm_size_t vm_page_mask();
kern_return_t host_basic_info_read(host_t host, host_basic_info* info);

// The played processor.
cpu_type_t host_cpu_type();
cpu_subtype_t host_cpu_subtype();
// Processors the machine has (configured) and that this process may use.
int32_t host_physical_cpus();
int32_t host_logical_cpus();
uint64_t host_memory_size();

}  // namespace platform::system
