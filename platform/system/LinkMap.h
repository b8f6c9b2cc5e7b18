#pragma once
// The dynamic linker's own list of loaded objects, read at crash time: its
// r_debug and the link_map chain of each namespace, the list a debugger
// reads. Whatever opened an object (a plain dlopen, a library's own plugin
// loading), it is on this list once the linker calls the list consistent,
// and off it once it is closed.
//
// Async-signal-safe: every byte is copied through vm_read_pages, so a torn
// or freed entry ends the walk rather than faulting; nothing is allocated,
// no lock is taken, and the walk is bounded. A program linked statically may
// have no list, or one that holds the program alone.
#include <cstdint>

namespace platform::system {

struct link_map_object {
    uint64_t bias;     // l_addr
    uint64_t dynamic;  // l_ld: its dynamic section, 0 without one
    uint64_t name;     // l_name: where its path lies in the process
    bool first;        // the first object of the first namespace: the program
};

enum link_map_result {
    LINK_MAP_READ,        // every object of every namespace is in `out`
    LINK_MAP_CHANGING,    // a load or unload is under way: the list may be torn
    LINK_MAP_ABSENT,      // the program has no such list
    LINK_MAP_UNREADABLE,  // an entry could not be read, or there were more than `capacity`
};

inline constexpr uint32_t kLinkMapMaxNamespaces = 16;

// Copies the objects of every namespace into out[0, *count).
link_map_result link_map_read(link_map_object* out, uint32_t capacity, uint32_t* count);

// Copies the NUL-terminated string at `address` into out, cut to capacity - 1
// bytes and always terminated; false when no byte of it could be read.
bool link_map_read_name(uint64_t address, char* out, uint32_t capacity);

}  // namespace platform::system
