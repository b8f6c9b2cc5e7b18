// Async-signal-safe, except crash_time_views_prepare (it maps the room):
// plain stores into slots made beforehand, reads of an object's file through
// raw system calls, atomic publication of the count.
#include "platform/system/CrashTimeViews.h"

#include <sys/mman.h>
#include <atomic>

#include "platform/system/LinkMap.h"
#include "platform/system/LoadedElfFile.h"
#include "platform/system/LoadedElfSymbols.h"
#include "platform/system/MachO.h"
#include "platform/system/MachOViewCommands.h"

namespace platform::system {

namespace {

std::atomic<crash_time_view*> gSlots{nullptr};
std::atomic<uint32_t> gCapacity{0};
std::atomic<uint32_t> gCount{0};
// The symbol tables of the session's views, one after the other.
std::atomic<uint8_t*> gSymbols{nullptr};
uint64_t gSymbolsUsed = 0;
constexpr uint64_t kSymbolsBytes = uint64_t{32} << 20;

bool inside(uint64_t base, uint64_t size, uint64_t address, uint64_t length) {
    return address >= base && address - base <= size && length <= size - (address - base);
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

}  // namespace

bool crash_time_views_prepare(uint32_t capacity) {
    static std::atomic<bool> prepared{false};
    if (prepared.exchange(true)) return gSlots.load() != nullptr;
    // Untouched pages cost nothing until a crash writes into them.
    void* room = ::mmap(nullptr, uint64_t{capacity} * sizeof(crash_time_view), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return false;
    void* symbols = ::mmap(nullptr, kSymbolsBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (symbols != MAP_FAILED) gSymbols.store(static_cast<uint8_t*>(symbols));
    gSlots.store(static_cast<crash_time_view*>(room));
    gCapacity.store(capacity);
    return true;
}

uint32_t crash_time_views_capacity() { return gCapacity.load(); }

void crash_time_views_clear() {
    gCount.store(0);
    gSymbolsUsed = 0;
}

const crash_time_view* crash_time_views_add(const loaded_elf& elf, uint64_t name_address) {
    crash_time_view* slots = gSlots.load();
    const uint32_t n = gCount.load();
    if (!slots || n >= gCapacity.load()) return nullptr;
    crash_time_view* v = &slots[n];
    v->elf = elf;
    link_map_read_name(name_address, v->name, sizeof v->name);
    // What only the file holds: .eh_frame where no .eh_frame_hdr points at
    // it, and the file's own symbol table.
    loaded_elf_file file;
    const bool hasFile = loaded_elf_file_open(elf, v->name, &file);
    if (hasFile && v->elf.eh_frame == 0 && file.eh_frame != 0) {
        v->elf.eh_frame = elf.bias + file.eh_frame;
        v->elf.eh_frame_size = file.eh_frame_size;
    }
    macho_view_section sections[3];
    macho_view_layout layout{};
    layout.filetype = MH_DYLIB;
    layout.base = elf.base;
    layout.text_size = elf.text_size;
    layout.sections = sections;
    layout.nsects = sectionsOf(v->elf, sections);
    layout.has_uuid = elf.has_uuid;
    __builtin_memcpy(layout.uuid, elf.uuid, 16);
    v->linkedit = nullptr;
    v->linkedit_size = 0;
    loaded_elf_symbol_table table;
    if (uint8_t* symbols = gSymbols.load();
        symbols && loaded_elf_symbols(elf, hasFile ? &file : nullptr, symbols + gSymbolsUsed,
                                      kSymbolsBytes - gSymbolsUsed, &table) &&
        table.nsyms > 0) {
        v->linkedit = symbols + gSymbolsUsed;
        v->linkedit_size = table.size;
        layout.has_symtab = true;
        layout.linkedit_vmaddr = reinterpret_cast<uint64_t>(v->linkedit);
        layout.linkedit_size = table.size;
        // File offsets are 32-bit; __LINKEDIT follows __TEXT where they reach.
        layout.linkedit_fileoff = elf.span + table.size <= UINT32_MAX ? elf.span : 0;
        layout.nsyms = table.nsyms;
        layout.strsize = table.strsize;
    }
    if (hasFile) loaded_elf_file_close(&file);
    if (!macho_view_write_commands(layout, v->commands, sizeof v->commands)) return nullptr;
    if (v->linkedit) gSymbolsUsed += (v->linkedit_size + 15) & ~uint64_t{15};
    v->commands_size = static_cast<uint32_t>(macho_view_commands_size(layout));
    gCount.store(n + 1, std::memory_order_release);
    return v;
}

uint32_t crash_time_views_count() { return gCount.load(std::memory_order_acquire); }

const crash_time_view* crash_time_views_at(uint32_t index) {
    return index < crash_time_views_count() ? &gSlots.load()[index] : nullptr;
}

const void* crash_time_views_bytes(uint64_t address, uint64_t length) {
    const uint32_t n = crash_time_views_count();
    for (uint32_t i = 0; i < n; ++i) {
        const crash_time_view& v = gSlots.load()[i];
        if (inside(v.elf.base, v.commands_size, address, length)) return v.commands + (address - v.elf.base);
        const auto linkedit = reinterpret_cast<uint64_t>(v.linkedit);
        if (v.linkedit && inside(linkedit, v.linkedit_size, address, length)) return reinterpret_cast<const void*>(address);
    }
    return nullptr;
}

void crash_time_views_apply(uint64_t address, void* data, uint64_t length) {
    auto* out = static_cast<uint8_t*>(data);
    const uint64_t end = length > UINT64_MAX - address ? UINT64_MAX : address + length;
    const uint32_t n = crash_time_views_count();
    for (uint32_t i = 0; i < n; ++i) {
        const crash_time_view& v = gSlots.load()[i];
        const uint64_t viewEnd = v.elf.base + v.commands_size;
        const uint64_t from = address > v.elf.base ? address : v.elf.base;
        const uint64_t to = end < viewEnd ? end : viewEnd;
        for (uint64_t a = from; a < to; ++a) out[a - address] = v.commands[a - v.elf.base];
    }
}

}  // namespace platform::system
