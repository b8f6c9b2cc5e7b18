// Async-signal-safe, except link_map_prepare: checked copies (vm_read_pages)
// only, no allocation, no lock, bounded loops.
#include "platform/system/LinkMap.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <atomic>
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

// The program's dynamic section, 0 when it has none or it was not looked for.
std::atomic<uint64_t> programDynamic{0};
constexpr uint32_t kMaxDynamic = 1024;

// Where DT_DEBUG in the program's dynamic section points; 0 without one.
uint64_t debugEntry() {
    const uint64_t dynamic = programDynamic.load(std::memory_order_relaxed);
    if (dynamic == 0) return 0;
    const uint64_t page = vm_page_size();
    Elf64_Dyn chunk[32];
    for (uint32_t at = 0; at < kMaxDynamic;) {
        // Never past the page the chunk starts on: the section may end just
        // before an unreadable one.
        const uint64_t from = dynamic + uint64_t{at} * sizeof(Elf64_Dyn);
        uint64_t n = (page - (from & (page - 1))) / sizeof(Elf64_Dyn);
        if (n == 0) n = 1;
        if (n > sizeof chunk / sizeof chunk[0]) n = sizeof chunk / sizeof chunk[0];
        if (!readPages(from, chunk, n * sizeof(Elf64_Dyn))) return 0;
        for (uint64_t i = 0; i < n; ++i) {
            if (chunk[i].d_tag == DT_NULL) return 0;
            if (chunk[i].d_tag == DT_DEBUG) return chunk[i].d_un.d_ptr;
        }
        at += static_cast<uint32_t>(n);
    }
    return 0;
}

// Whether `e`, reached from `prev`, is linked back to it; or, while an
// unload is under way, to the entry being taken out between the two.
bool linkedBack(uint64_t prev, uint64_t e, const Entry& entry) {
    if (entry.l_prev == prev) return true;
    Entry leaving;
    return prev != 0 && entry.l_prev != 0 && readPages(entry.l_prev, &leaving, sizeof leaving) && leaving.l_next == e &&
           leaving.l_prev == prev;
}

}  // namespace

void link_map_prepare() {
    const auto* ph = reinterpret_cast<const Elf64_Phdr*>(::getauxval(AT_PHDR));
    const auto phnum = static_cast<uint32_t>(::getauxval(AT_PHNUM));
    if (!ph || ::getauxval(AT_PHENT) != sizeof(Elf64_Phdr)) return;
    uint64_t bias = 0, dynamic = 0;
    bool located = false;
    for (uint32_t i = 0; i < phnum; ++i) {
        if (ph[i].p_type == PT_PHDR) {
            bias = reinterpret_cast<uint64_t>(ph) - ph[i].p_vaddr;
            located = true;
        }
        if (ph[i].p_type == PT_DYNAMIC) dynamic = ph[i].p_vaddr;
    }
    // Without PT_PHDR the program is not position-independent: it lies
    // where it was linked.
    if (dynamic != 0) programDynamic.store((located ? bias : 0) + dynamic, std::memory_order_relaxed);
}

link_map_result link_map_read(link_map_object* out, uint32_t capacity, uint32_t* count) {
    *count = 0;
    uint64_t at = debugEntry();
    if (at == 0 && &_r_debug != nullptr) at = reinterpret_cast<uint64_t>(&_r_debug);
    if (at == 0) return LINK_MAP_ABSENT;
    link_map_result result = LINK_MAP_READ;
    for (uint32_t ns = 0; at != 0 && ns < kLinkMapMaxNamespaces; ++ns) {
        Head head{};
        if (!readPages(at, &head, sizeof(r_debug))) return ns == 0 ? LINK_MAP_ABSENT : LINK_MAP_PARTIAL;
        if (ns == 0 && (head.r_version == 0 || head.r_map == 0)) return LINK_MAP_ABSENT;
        if (head.r_version >= 2 && !readPages(at + offsetof(Head, r_next), &head.r_next, sizeof head.r_next))
            head.r_next = 0, result = LINK_MAP_PARTIAL;
        if (head.r_state != r_debug::RT_CONSISTENT) result = LINK_MAP_PARTIAL;
        // A chain that cannot be followed further ends there: the entries
        // before it are whole.
        uint64_t prev = 0;
        for (uint64_t e = head.r_map; e != 0;) {
            Entry entry;
            if (*count >= capacity || !readPages(e, &entry, sizeof entry) || !linkedBack(prev, e, entry)) {
                result = LINK_MAP_PARTIAL;
                break;
            }
            out[(*count)++] = {entry.l_addr, entry.l_ld, entry.l_name, ns == 0 && prev == 0};
            prev = e;
            e = entry.l_next;
        }
        at = head.r_version >= 2 ? head.r_next : 0;
    }
    return result;
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
