// Async-signal-safe, except crash_time_views_prepare (it maps the room):
// plain stores into slots made beforehand, reads of an object's file through
// raw system calls, atomic publication of the count.
#include "platform/system/CrashTimeViews.h"

#include <sys/mman.h>
#include <atomic>

#include "platform/system/LoadedElfFile.h"
#include "platform/system/LoadedElfSymbols.h"
#include "platform/system/MachO.h"
#include "platform/system/MachOViewCommands.h"

namespace platform::system {

namespace {

std::atomic<crash_time_view*> gSlots{nullptr};
// The slots in order of their images' addresses. Views never overlap one
// another (the loader makes none over another), so their ends are in order
// too.
uint32_t* gOrder = nullptr;
std::atomic<uint32_t> gCapacity{0};
std::atomic<uint32_t> gCount{0};
// The symbol tables of the session's views, one after the other.
std::atomic<uint8_t*> gSymbols{nullptr};
uint64_t gSymbolsUsed = 0;
// The session's budget of reads of the process's map.
process_maps_budget* gMaps = nullptr;
constexpr uint64_t kSymbolsBytes = uint64_t{32} << 20;

bool inside(uint64_t base, uint64_t size, uint64_t address, uint64_t length) {
    return address >= base && address - base <= size && length <= size - (address - base);
}

uint64_t endOf(uint64_t base, uint64_t size) { return size > UINT64_MAX - base ? UINT64_MAX : base + size; }

const crash_time_view& ordered(uint32_t i) { return gSlots.load()[gOrder[i]]; }

// How many views lie at addresses below `address`.
uint32_t viewsBelow(uint64_t address, uint32_t n) {
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (ordered(mid).elf.base < address)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The view's sections, as the loader's own views have them: inside the image.
uint32_t sectionsOf(const loaded_elf& elf, macho_view_section (&out)[3]) {
    const macho_view_section wanted[] = {{"__text", elf.text, elf.text_bytes},
                                         {"__eh_frame", elf.eh_frame, elf.eh_frame_size},
                                         {"__eh_frame_hdr", elf.eh_frame_hdr, elf.eh_frame_hdr_size}};
    uint32_t n = 0;
    for (const macho_view_section& w : wanted)
        if (w.size != 0 && inside(elf.base, elf.span, w.addr, w.size)) out[n++] = w;
    return n;
}

// Writes the view's header and commands, with its symbol table when it has one.
bool writeCommands(crash_time_view* v, const loaded_elf_symbol_table* table) {
    const loaded_elf& elf = v->elf;
    macho_view_section sections[3];
    macho_view_layout layout{};
    layout.filetype = MH_DYLIB;
    layout.base = elf.base;
    layout.text_size = elf.text_size;
    layout.sections = sections;
    layout.nsects = sectionsOf(elf, sections);
    layout.has_uuid = elf.has_uuid;
    __builtin_memcpy(layout.uuid, elf.uuid, 16);
    if (table) {
        layout.has_symtab = true;
        layout.linkedit_vmaddr = reinterpret_cast<uint64_t>(v->linkedit);
        layout.linkedit_size = table->size;
        // File offsets are 32-bit; __LINKEDIT follows __TEXT where they reach.
        layout.linkedit_fileoff = elf.span + table->size <= UINT32_MAX ? elf.span : 0;
        layout.nsyms = table->nsyms;
        layout.strsize = table->strsize;
    }
    if (!macho_view_write_commands(layout, v->commands, sizeof v->commands)) return false;
    v->commands_size = static_cast<uint32_t>(macho_view_commands_size(layout));
    return true;
}

// Reads what the view lacks until a walk reaches its image: from its file,
// where that is the one loaded, .eh_frame where no .eh_frame_hdr points at
// it and the file's own symbol table; else the dynamic symbol table in its
// pages, into the session's room. Writes the commands that show them; false
// when the view stays as it was.
bool complete(crash_time_view* v) {
    v->completed = true;
    process_maps_budget none;  // outside a session: no read at all
    loaded_elf_read_file(&v->elf, gMaps ? gMaps : &none);
    loaded_elf_file file;
    const bool hasFile = loaded_elf_file_open(v->elf, v->name, &file);
    bool changed = false;
    if (hasFile && v->elf.eh_frame == 0 && file.eh_frame != 0) {
        v->elf.eh_frame = v->elf.bias + file.eh_frame;
        v->elf.eh_frame_size = file.eh_frame_size;
        changed = true;
    }
    uint8_t* symbols = gSymbols.load();
    loaded_elf_symbol_table table;
    if (symbols &&
        loaded_elf_symbols(v->elf, hasFile ? &file : nullptr, symbols + gSymbolsUsed, kSymbolsBytes - gSymbolsUsed,
                           &table) &&
        table.nsyms > 0) {
        v->linkedit = symbols + gSymbolsUsed;
        v->linkedit_size = table.size;
        if (writeCommands(v, &table)) {
            gSymbolsUsed += (v->linkedit_size + 15) & ~uint64_t{15};
            changed = true;
        } else {
            v->linkedit = nullptr;
            v->linkedit_size = 0;
        }
    }
    if (hasFile) loaded_elf_file_close(&file);
    if (!v->linkedit) writeCommands(v, nullptr);
    return changed;
}

}  // namespace

bool crash_time_views_prepare(uint32_t capacity) {
    static std::atomic<bool> prepared{false};
    if (prepared.exchange(true)) return gSlots.load() != nullptr;
    // Untouched pages cost nothing until a crash writes into them.
    void* room = ::mmap(nullptr, uint64_t{capacity} * sizeof(crash_time_view), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) return false;
    void* order = ::mmap(nullptr, uint64_t{capacity} * sizeof(uint32_t), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (order == MAP_FAILED) {
        ::munmap(room, uint64_t{capacity} * sizeof(crash_time_view));
        return false;
    }
    void* symbols =
        ::mmap(nullptr, kSymbolsBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (symbols != MAP_FAILED) gSymbols.store(static_cast<uint8_t*>(symbols));
    gOrder = static_cast<uint32_t*>(order);
    gSlots.store(static_cast<crash_time_view*>(room));
    gCapacity.store(capacity);
    return true;
}

uint32_t crash_time_views_capacity() { return gCapacity.load(); }

void crash_time_views_clear(process_maps_budget* maps) {
    gCount.store(0);
    gSymbolsUsed = 0;
    gMaps = maps;
}

const crash_time_view* crash_time_views_add(const loaded_elf& elf, const char* name, bool complete_now) {
    crash_time_view* slots = gSlots.load();
    const uint32_t n = gCount.load();
    if (!slots || n >= gCapacity.load()) return nullptr;
    crash_time_view* v = &slots[n];
    v->elf = elf;
    v->linkedit = nullptr;
    v->linkedit_size = 0;
    v->completed = false;
    if (!writeCommands(v, nullptr)) return nullptr;
    uint32_t length = 0;
    for (; name && name[length] != '\0' && length + 1 < sizeof v->name; ++length) v->name[length] = name[length];
    v->name[length] = '\0';
    if (complete_now) complete(v);
    const uint32_t at = viewsBelow(elf.base, n);
    __builtin_memmove(gOrder + at + 1, gOrder + at, (n - at) * sizeof *gOrder);
    gOrder[at] = n;
    gCount.store(n + 1, std::memory_order_release);
    return v;
}

bool crash_time_views_complete(const crash_time_view* view) {
    crash_time_view* slots = gSlots.load();
    const uint32_t n = crash_time_views_count();
    if (!slots || view < slots || view >= slots + n || view->completed) return false;
    return complete(&slots[view - slots]);
}

uint32_t crash_time_views_count() { return gCount.load(std::memory_order_acquire); }

const crash_time_view* crash_time_views_at(uint32_t index) {
    return index < crash_time_views_count() ? &gSlots.load()[index] : nullptr;
}

const crash_time_view* crash_time_views_overlapping(uint64_t base, uint64_t size) {
    if (size == 0) return nullptr;
    const uint32_t below = viewsBelow(endOf(base, size), crash_time_views_count());
    if (below == 0) return nullptr;
    // Only the last view starting before the range's end can reach into it.
    const crash_time_view& v = ordered(below - 1);
    return endOf(v.elf.base, v.elf.span) > base ? &v : nullptr;
}

const void* crash_time_views_bytes(uint64_t address, uint64_t length) {
    const uint32_t n = crash_time_views_count();
    if (n == 0) return nullptr;
    if (const uint32_t below = viewsBelow(endOf(address, 1), n); below > 0) {
        const crash_time_view& v = ordered(below - 1);
        if (inside(v.elf.base, v.commands_size, address, length)) return v.commands + (address - v.elf.base);
    }
    // Symbol tables lie in the session's room, which is never released.
    const auto symbols = reinterpret_cast<uint64_t>(gSymbols.load());
    if (symbols && inside(symbols, gSymbolsUsed, address, length)) return reinterpret_cast<const void*>(address);
    return nullptr;
}

void crash_time_views_apply(uint64_t address, void* data, uint64_t length) {
    auto* out = static_cast<uint8_t*>(data);
    const uint64_t end = endOf(address, length);
    for (uint32_t i = viewsBelow(end, crash_time_views_count()); i > 0; --i) {
        const crash_time_view& v = ordered(i - 1);
        if (endOf(v.elf.base, v.elf.span) <= address) break;
        const uint64_t viewEnd = v.elf.base + v.commands_size;
        const uint64_t from = address > v.elf.base ? address : v.elf.base;
        const uint64_t to = end < viewEnd ? end : viewEnd;
        for (uint64_t a = from; a < to; ++a) out[a - address] = v.commands[a - v.elf.base];
    }
}

}  // namespace platform::system
