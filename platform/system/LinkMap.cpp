// Async-signal-safe: checked copies (vm_read_pages) only, no allocation, no
// lock, bounded loops.
#include "platform/system/LinkMap.h"

#include <link.h>
#include <cstddef>

#include "platform/system/Host.h"
#include "platform/system/Mach.h"

// The dynamic linker's list head; absent (null) where no linker defines it.
extern struct r_debug _r_debug __attribute__((weak));

namespace platform::system {

namespace {

bool readPages(uint64_t address, void* out, uint64_t size) {
    return vm_read_pages(mach_task_self(), address, size, reinterpret_cast<vm_address_t>(out), nullptr) ==
           KERN_SUCCESS;
}

// The public head of a link_map, as <link.h> lays it out.
struct Entry {
    uint64_t l_addr, l_name, l_ld, l_next, l_prev;
};
static_assert(sizeof(Entry) == offsetof(link_map, l_prev) + sizeof(void*));

// r_debug_extended: r_debug, then (version 2 on) the next namespace's.
struct Head {
    int32_t r_version;
    uint64_t r_map, r_brk;
    int32_t r_state;
    uint64_t r_ldbase, r_next;
};
static_assert(offsetof(r_debug, r_map) == offsetof(Head, r_map) && offsetof(r_debug, r_state) == offsetof(Head, r_state));
static_assert(sizeof(r_debug) == offsetof(Head, r_next));

}  // namespace

link_map_result link_map_read(link_map_object* out, uint32_t capacity, uint32_t* count) {
    *count = 0;
    if (&_r_debug == nullptr) return LINK_MAP_ABSENT;
    uint64_t at = reinterpret_cast<uint64_t>(&_r_debug);
    for (uint32_t ns = 0; at != 0 && ns < kLinkMapMaxNamespaces; ++ns) {
        Head head{};
        if (!readPages(at, &head, sizeof(r_debug))) return LINK_MAP_UNREADABLE;
        if (ns == 0 && (head.r_version == 0 || head.r_map == 0)) return LINK_MAP_ABSENT;
        if (head.r_version >= 2 && !readPages(at + offsetof(Head, r_next), &head.r_next, sizeof head.r_next))
            return LINK_MAP_UNREADABLE;
        if (head.r_state != r_debug::RT_CONSISTENT) return LINK_MAP_CHANGING;
        uint64_t prev = 0;
        for (uint64_t e = head.r_map; e != 0;) {
            Entry entry;
            if (*count >= capacity || !readPages(e, &entry, sizeof entry) || entry.l_prev != prev)
                return LINK_MAP_UNREADABLE;
            out[(*count)++] = {entry.l_addr, entry.l_ld, entry.l_name, ns == 0 && prev == 0};
            prev = e;
            e = entry.l_next;
        }
        at = head.r_version >= 2 ? head.r_next : 0;
    }
    return LINK_MAP_READ;
}

bool link_map_read_name(uint64_t address, char* out, uint32_t capacity) {
    if (capacity == 0) return false;
    out[0] = '\0';
    if (address == 0) return false;
    const uint64_t page = vm_page_size();
    uint32_t have = 0;
    // Page by page: the string's end may lie just before an unreadable page.
    while (have + 1 < capacity) {
        const uint64_t from = address + have;
        uint64_t chunk = page - (from & (page - 1));
        if (chunk > capacity - 1 - have) chunk = capacity - 1 - have;
        if (!readPages(from, out + have, chunk)) break;
        for (uint64_t i = 0; i < chunk; ++i)
            if (out[have + i] == '\0') return true;
        have += static_cast<uint32_t>(chunk);
    }
    out[have] = '\0';
    return have > 0;
}

}  // namespace platform::system
