#pragma once
// The dynamic linker's own list of loaded objects, read at crash time: its
// r_debug and the link_map chain of each namespace, the list a debugger
// reads. Whatever opened an object (a plain dlopen, a library's own plugin
// loading), it is on this list from the time it is mapped until it is
// closed.
//
// The list head is found as debuggers find it, through DT_DEBUG in the
// program's dynamic section, which the linker points at its own r_debug. The
// `_r_debug` symbol serves only where the program has none: a program that
// names `_r_debug` itself gets a copy of it made at start-up, which the
// linker never updates.
//
// Async-signal-safe, except link_map_prepare: every byte is copied through
// vm_read_pages, so a torn or freed entry ends a chain rather than faulting;
// nothing is allocated, no lock is taken, and the walk is bounded. A program
// linked statically may have no list, or one that holds the program alone.
#include <cstdint>

namespace platform::system {

struct link_map_object {
    uint64_t bias;     // l_addr
    uint64_t dynamic;  // l_ld: its dynamic section, 0 without one
    uint64_t name;     // l_name: where its path lies in the process
    bool first;        // the first object of the first namespace: the program
};

enum link_map_result {
    LINK_MAP_READ,  // every object of every namespace is in `out`
    // Read while a load or unload was under way, or with more objects than
    // `capacity`: `out` holds the entries that could be read whole and were
    // linked both ways; others may be missing.
    LINK_MAP_PARTIAL,
    LINK_MAP_ABSENT,  // the program has no such list, or its head cannot be read
};

inline constexpr uint32_t kLinkMapMaxNamespaces = 16;

// Notes where the program's dynamic section lies, from the program headers
// the kernel handed it. Once, before crash time; without it the list is
// found through `_r_debug` alone.
void link_map_prepare();

// Copies the objects of every namespace into out[0, *count).
link_map_result link_map_read(link_map_object* out, uint32_t capacity, uint32_t* count);

// Copies the NUL-terminated string at `address` into out, cut to capacity - 1
// bytes and always terminated; false when no byte of it could be read.
bool link_map_read_name(uint64_t address, char* out, uint32_t capacity);

}  // namespace platform::system
