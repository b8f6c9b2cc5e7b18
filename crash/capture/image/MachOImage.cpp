// Async-signal-safe except macho_image_init and macho_image_free, which run
// when the image list adds an image (the images the list makes at crash time
// borrow their names and are neither copied nor freed): no allocation, no lock, raw system calls
// (mmap, munmap, mprotect) for the private mappings of memory objects. All
// bounds checks use 64-bit arithmetic with explicit overflow tests.
#include "crash/capture/image/MachOImage.h"

#include <sys/mman.h>
#include <cstdlib>
#include <cstring>

#include "platform/system/Host.h"
#include "platform/system/Loader.h"
#include "platform/system/MachPort.h"

namespace ovcrash {

namespace ps = platform::system;

namespace {

template <typename T>
T load(const void* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// [offset, offset + length) inside [0, size).
bool fits(uint64_t size, uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; }

// Whether a 16-byte name field holds `name` (padded with NULs when shorter).
bool nameIs(const char* field, const char* name) {
    size_t i = 0;
    for (; i < 16 && name[i]; ++i)
        if (field[i] != name[i]) return false;
    return i == 16 || field[i] == '\0';
}

constexpr size_t kSegmentSize64 = sizeof(ps::segment_command_64);
constexpr size_t kSegmentSize32 = sizeof(ps::segment_command);
constexpr size_t kSectionSize64 = sizeof(ps::section_64);
constexpr size_t kSectionSize32 = sizeof(ps::section);

// The fields of a segment command of either width.
struct Segment {
    const uint8_t* command;
    uint32_t cmdsize;
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
};

bool readSegment(const macho_image* image, const void* command, Segment* seg) {
    const auto* c = static_cast<const uint8_t*>(command);
    const async_byteorder* bo = image->byteorder;
    seg->command = c;
    seg->cmdsize = bo->swap32(load<uint32_t>(c + 4));
    if (image->m64) {
        if (seg->cmdsize < kSegmentSize64) return false;
        seg->vmaddr = bo->swap64(load<uint64_t>(c + offsetof(ps::segment_command_64, vmaddr)));
        seg->vmsize = bo->swap64(load<uint64_t>(c + offsetof(ps::segment_command_64, vmsize)));
        seg->fileoff = bo->swap64(load<uint64_t>(c + offsetof(ps::segment_command_64, fileoff)));
        seg->filesize = bo->swap64(load<uint64_t>(c + offsetof(ps::segment_command_64, filesize)));
        seg->nsects = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command_64, nsects)));
    } else {
        if (seg->cmdsize < kSegmentSize32) return false;
        seg->vmaddr = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command, vmaddr)));
        seg->vmsize = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command, vmsize)));
        seg->fileoff = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command, fileoff)));
        seg->filesize = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command, filesize)));
        seg->nsects = bo->swap32(load<uint32_t>(c + offsetof(ps::segment_command, nsects)));
    }
    return true;
}

uint32_t segmentCommandType(const macho_image* image) { return image->m64 ? ps::LC_SEGMENT_64 : ps::LC_SEGMENT; }

// Whether every entry's value is at least the one before it.
bool symbolsSorted(const macho_image* image) {
    symtab_reader reader;
    if (symtab_reader_init(&reader, image) != ASYNC_ESUCCESS) return false;
    bool sorted = !reader.has_ranges;
    symtab_entry entry;
    uint64_t previous = 0;
    for (uint32_t i = 0; sorted && symtab_reader_read_entry(&reader, &reader.all, i, &entry); ++i) {
        sorted = entry.n_value >= previous;
        previous = entry.n_value;
    }
    symtab_reader_free(&reader);
    return sorted;
}

}  // namespace

// --- Memory objects ---

namespace {

// Every memory object and image holds a reference on its task while it lives.
task_t retain_task(task_t task) {
    ps::mach_port_mod_refs(ps::mach_task_self(), task, ps::MACH_PORT_RIGHT_SEND, 1);
    return task;
}

void release_task(task_t task) {
    if (task != ps::MACH_PORT_NULL) ps::mach_port_deallocate(ps::mach_task_self(), task);
}

}  // namespace

async_error mobject_init(async_mobject* mobj, task_t task, uint64_t task_address, uint64_t length, bool require_full) {
    *mobj = async_mobject{};
    const uint64_t mask = ps::vm_page_mask();
    // The range, and its end rounded up to a page, must not wrap.
    if (length == 0 || length > UINT64_MAX - task_address || task_address + length > UINT64_MAX - mask)
        return ASYNC_EINVAL;

    // Memory of the loader's that is never released and cannot fault (views,
    // symbol tables, copies of unwind tables) is taken in place.
    if (task == ps::mach_task_self()) {
        if (const void* local = ps::loader_view_bytes(task_address, length)) {
            mobj->address = reinterpret_cast<uintptr_t>(local);
            mobj->task_address = task_address;
            mobj->length = length;
            mobj->vm_slide = static_cast<int64_t>(task_address - mobj->address);
            mobj->task = retain_task(task);
            return ASYNC_ESUCCESS;
        }
    }

    const uint64_t page = mask + 1;
    const uint64_t start = task_address & ~mask;
    const uint64_t end = (task_address + length + mask) & ~mask;
    const uint64_t total = end - start;
    void* local = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (local == MAP_FAILED) return ASYNC_EINTERNAL;
    auto* bytes = static_cast<uint8_t*>(local);
    uint64_t mapped = 0;
    if (async_task_memcpy(task, start, total, bytes) == ps::KERN_SUCCESS) {
        mapped = total;
    } else if (!require_full) {
        while (mapped < total && async_task_memcpy(task, start + mapped, page, bytes + mapped) == ps::KERN_SUCCESS)
            mapped += page;
    }
    const uint64_t lead = task_address - start;
    if (mapped <= lead || (require_full && mapped < total)) {
        ::munmap(local, total);
        return ASYNC_ENOMEM;
    }
    ::mprotect(local, total, PROT_READ);
    mobj->vm_address = reinterpret_cast<uintptr_t>(local);
    mobj->vm_length = total;
    mobj->address = mobj->vm_address + lead;
    mobj->task_address = task_address;
    mobj->length = mapped - lead < length ? mapped - lead : length;
    mobj->vm_slide = static_cast<int64_t>(task_address - mobj->address);
    mobj->task = retain_task(task);
    return ASYNC_ESUCCESS;
}

void mobject_free(async_mobject* mobj) {
    if (mobj->vm_address) ::munmap(reinterpret_cast<void*>(mobj->vm_address), mobj->vm_length);
    release_task(mobj->task);
    *mobj = async_mobject{};
}

void* mobject_verify_local_pointer(const async_mobject* mobj, uintptr_t address, int64_t offset, uint64_t length) {
    uint64_t at;
    if (!async_address_apply_offset(address, offset, &at) || at < mobj->address) return nullptr;
    if (!fits(mobj->length, at - mobj->address, length)) return nullptr;
    return reinterpret_cast<void*>(at);
}

void* mobject_remap_address(const async_mobject* mobj, uint64_t task_address, int64_t offset, uint64_t length) {
    uint64_t at;
    if (!async_address_apply_offset(task_address, offset, &at) || at < mobj->task_address) return nullptr;
    uint64_t delta = at - mobj->task_address;
    if (!fits(mobj->length, delta, length)) return nullptr;
    return reinterpret_cast<void*>(mobj->address + delta);
}

namespace {

// Reads a T at task_address + offset inside the object, converted by `swap`.
template <typename T, typename Swap>
async_error mobjectRead(const async_mobject* mobj, uint64_t task_address, int64_t offset, T* result, Swap swap) {
    const void* p = mobject_remap_address(mobj, task_address, offset, sizeof(T));
    if (!p) return ASYNC_EINVAL;
    *result = swap(load<T>(p));
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error mobject_read_uint8(const async_mobject* mobj, uint64_t task_address, int64_t offset, uint8_t* result) {
    return mobjectRead(mobj, task_address, offset, result, [](uint8_t v) { return v; });
}

async_error mobject_read_uint16(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint16_t* result) {
    return mobjectRead(mobj, task_address, offset, result, byteorder->swap16);
}

async_error mobject_read_uint32(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint32_t* result) {
    return mobjectRead(mobj, task_address, offset, result, byteorder->swap32);
}

async_error mobject_read_uint64(const async_mobject* mobj, const async_byteorder* byteorder, uint64_t task_address,
                                int64_t offset, uint64_t* result) {
    return mobjectRead(mobj, task_address, offset, result, byteorder->swap64);
}

// --- Image reader ---

namespace {

async_error init_image(macho_image* image, task_t task, const char* name, bool borrowed, uint64_t header_addr) {
    std::memset(image, 0, sizeof *image);
    image->task = retain_task(task);
    image->header_addr = header_addr;
    image->name_borrowed = borrowed;
    image->name = borrowed ? const_cast<char*>(name) : strdup(name ? name : "");
    auto fail = [image](async_error err) {
        if (image->load_cmds.address) mobject_free(&image->load_cmds);
        if (!image->name_borrowed) std::free(image->name);
        image->name = nullptr;
        release_task(image->task);
        image->task = ps::MACH_PORT_NULL;
        return err;
    };

    ps::mach_header header;
    // A loader's view holds every byte of its header: no read of the task.
    const void* view = task == ps::mach_task_self() ? ps::loader_view_bytes(header_addr, sizeof header) : nullptr;
    if (view)
        __builtin_memcpy(&header, view, sizeof header);
    else if (async_task_read(task, header_addr, 0, &header, sizeof header) != ASYNC_ESUCCESS)
        return fail(ASYNC_EINTERNAL);
    switch (header.magic) {
    case ps::MH_MAGIC: image->m64 = false, image->byteorder = &async_byteorder_direct; break;
    case ps::MH_MAGIC_64: image->m64 = true, image->byteorder = &async_byteorder_direct; break;
    case ps::MH_CIGAM: image->m64 = false, image->byteorder = &async_byteorder_swapped; break;
    case ps::MH_CIGAM_64: image->m64 = true, image->byteorder = &async_byteorder_swapped; break;
    default: return fail(ASYNC_EINVAL);
    }
    image->header = header;
    image->header_size = image->m64 ? sizeof(ps::mach_header_64) : sizeof(ps::mach_header);
    image->ncmds = image->byteorder->swap32(header.ncmds);
    uint64_t commands;
    if (!async_address_apply_offset(header_addr, image->header_size, &commands)) return fail(ASYNC_EINVAL);
    async_error err =
        mobject_init(&image->load_cmds, task, commands, image->byteorder->swap32(header.sizeofcmds), true);
    if (err != ASYNC_ESUCCESS) return fail(err);

    bool found = false;
    for (const void* cmd = macho_image_next_command(image, nullptr); cmd && !found;
         cmd = macho_image_next_command(image, cmd)) {
        if (macho_image_command_field32(image, cmd, 0) != segmentCommandType(image)) continue;
        Segment seg;
        if (!readSegment(image, cmd, &seg)) return fail(ASYNC_EINVAL);
        if (!nameIs(reinterpret_cast<const char*>(seg.command) + 8, "__TEXT")) continue;
        image->text_vmaddr = seg.vmaddr;
        image->text_size = seg.vmsize;
        found = true;
    }
    if (!found) return fail(ASYNC_EINVAL);
    image->vmaddr_slide = static_cast<int64_t>(header_addr - image->text_vmaddr);
    image->symtab_sorted = symbolsSorted(image);
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error macho_image_init(macho_image* image, task_t task, const char* name, uint64_t header_addr) {
    return init_image(image, task, name, false, header_addr);
}

async_error macho_image_init_borrowing_name(macho_image* image, task_t task, const char* name, uint64_t header_addr) {
    return init_image(image, task, name, true, header_addr);
}

void macho_image_free(macho_image* image) {
    if (image->load_cmds.address) mobject_free(&image->load_cmds);
    if (!image->name_borrowed) std::free(image->name);
    image->name = nullptr;
    release_task(image->task);
    image->task = ps::MACH_PORT_NULL;
}

bool macho_image_contains_address(const macho_image* image, uint64_t address) {
    return async_address_in_range(image->header_addr, image->text_size, address);
}

async_error macho_image_uuid(const macho_image* image, uint8_t uuid[16]) {
    const void* cmd = macho_image_find_command(image, ps::LC_UUID);
    if (!cmd || macho_image_command_field32(image, cmd, 4) < sizeof(ps::uuid_command)) return ASYNC_ENOTFOUND;
    __builtin_memcpy(uuid, static_cast<const uint8_t*>(cmd) + offsetof(ps::uuid_command, uuid), 16);
    return ASYNC_ESUCCESS;
}

ps::cpu_type_t macho_image_cpu_type(const macho_image* image) {
    return static_cast<ps::cpu_type_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cputype)));
}

ps::cpu_subtype_t macho_image_cpu_subtype(const macho_image* image) {
    return static_cast<ps::cpu_subtype_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cpusubtype)));
}

uint32_t macho_image_command_field32(const macho_image* image, const void* command, size_t offset) {
    return image->byteorder->swap32(load<uint32_t>(static_cast<const uint8_t*>(command) + offset));
}

const void* macho_image_next_command(const macho_image* image, const void* previous) {
    const async_mobject* cmds = &image->load_cmds;
    uint64_t at;
    if (!previous) {
        if (cmds->length < sizeof(ps::load_command)) return nullptr;
        at = cmds->address;
    } else {
        // previous was returned here, so its 8 bytes and its size are mapped.
        uint32_t size = macho_image_command_field32(image, previous, 4);
        if (size < sizeof(ps::load_command)) return nullptr;
        if (!async_address_apply_offset(reinterpret_cast<uintptr_t>(previous), size, &at)) return nullptr;
    }
    if (!mobject_verify_local_pointer(cmds, at, 0, sizeof(ps::load_command))) return nullptr;
    uint32_t size = macho_image_command_field32(image, reinterpret_cast<const void*>(at), 4);
    if (size < sizeof(ps::load_command) || !mobject_verify_local_pointer(cmds, at, 0, size)) return nullptr;
    return reinterpret_cast<const void*>(at);
}

const void* macho_image_find_command(const macho_image* image, uint32_t type) {
    for (const void* cmd = macho_image_next_command(image, nullptr); cmd; cmd = macho_image_next_command(image, cmd))
        if (macho_image_command_field32(image, cmd, 0) == type) return cmd;
    return nullptr;
}

const void* macho_image_find_segment(const macho_image* image, const char* segname) {
    for (const void* cmd = macho_image_next_command(image, nullptr); cmd; cmd = macho_image_next_command(image, cmd)) {
        Segment seg;
        if (macho_image_command_field32(image, cmd, 0) != segmentCommandType(image) || !readSegment(image, cmd, &seg))
            continue;
        if (nameIs(static_cast<const char*>(cmd) + 8, segname)) return cmd;
    }
    return nullptr;
}

async_error macho_image_map_segment(const macho_image* image, const char* segname, macho_segment_map* segment) {
    *segment = macho_segment_map{};
    const void* cmd = macho_image_find_segment(image, segname);
    Segment seg;
    if (!cmd || !readSegment(image, cmd, &seg)) return ASYNC_ENOTFOUND;
    uint64_t address;
    if (!async_address_apply_offset(seg.vmaddr, image->vmaddr_slide, &address)) return ASYNC_EINVAL;
    async_error err = mobject_init(&segment->mobj, image->task, address, seg.vmsize, false);
    if (err != ASYNC_ESUCCESS) return err;
    segment->fileoff = seg.fileoff;
    segment->filesize = seg.filesize;
    return ASYNC_ESUCCESS;
}

void macho_segment_map_free(macho_segment_map* segment) { mobject_free(&segment->mobj); }

async_error macho_image_map_section(const macho_image* image, const char* segname, const char* sectname,
                                    async_mobject* mobj) {
    *mobj = async_mobject{};
    const void* cmd = macho_image_find_segment(image, segname);
    Segment seg;
    if (!cmd || !readSegment(image, cmd, &seg)) return ASYNC_ENOTFOUND;
    const uint64_t headerSize = image->m64 ? kSegmentSize64 : kSegmentSize32;
    const uint64_t sectSize = image->m64 ? kSectionSize64 : kSectionSize32;
    // The section headers belong to the command and must lie within it.
    if (uint64_t{seg.nsects} * sectSize > seg.cmdsize - headerSize) return ASYNC_EINVAL;
    const async_byteorder* bo = image->byteorder;
    for (uint32_t i = 0; i < seg.nsects; ++i) {
        const uint8_t* sect = seg.command + headerSize + uint64_t{i} * sectSize;
        if (!mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(sect), 0, sectSize))
            return ASYNC_EINVAL;
        if (!nameIs(reinterpret_cast<const char*>(sect), sectname)) continue;
        uint64_t addr, size;
        if (image->m64) {
            addr = bo->swap64(load<uint64_t>(sect + offsetof(ps::section_64, addr)));
            size = bo->swap64(load<uint64_t>(sect + offsetof(ps::section_64, size)));
        } else {
            addr = bo->swap32(load<uint32_t>(sect + offsetof(ps::section, addr)));
            size = bo->swap32(load<uint32_t>(sect + offsetof(ps::section, size)));
        }
        uint64_t address;
        if (!async_address_apply_offset(addr, image->vmaddr_slide, &address)) return ASYNC_EINVAL;
        return mobject_init(mobj, image->task, address, size, true);
    }
    return ASYNC_ENOTFOUND;
}

// --- Symbol tables ---

async_error symtab_reader_init(symtab_reader* reader, const macho_image* image) {
    *reader = symtab_reader{};
    reader->image = image;
    const void* symtab = macho_image_find_command(image, ps::LC_SYMTAB);
    if (!symtab) return ASYNC_ENOTFOUND;
    if (macho_image_command_field32(image, symtab, 4) < sizeof(ps::symtab_command)) return ASYNC_EINVAL;
    const uint32_t symoff = macho_image_command_field32(image, symtab, offsetof(ps::symtab_command, symoff));
    const uint32_t nsyms = macho_image_command_field32(image, symtab, offsetof(ps::symtab_command, nsyms));
    const uint32_t stroff = macho_image_command_field32(image, symtab, offsetof(ps::symtab_command, stroff));
    const uint32_t strsize = macho_image_command_field32(image, symtab, offsetof(ps::symtab_command, strsize));

    if (macho_image_map_segment(image, "__LINKEDIT", &reader->linkedit) != ASYNC_ESUCCESS) return ASYNC_EINTERNAL;
    const async_mobject* linkedit = &reader->linkedit.mobj;
    const uint64_t fileoff = reader->linkedit.fileoff;
    const uint64_t entrySize = image->m64 ? sizeof(ps::nlist_64) : sizeof(ps::nlist);
    // Offsets are file offsets: they must fall inside __LINKEDIT's mapping,
    // computed without wrapping.
    const void* symbols = symoff >= fileoff ? mobject_verify_local_pointer(linkedit, linkedit->address,
                                                                           static_cast<int64_t>(symoff - fileoff),
                                                                           uint64_t{nsyms} * entrySize)
                                            : nullptr;
    const void* strings =
        stroff >= fileoff
            ? mobject_verify_local_pointer(linkedit, linkedit->address, static_cast<int64_t>(stroff - fileoff), strsize)
            : nullptr;
    if (!symbols || !strings) {
        macho_segment_map_free(&reader->linkedit);
        return ASYNC_EINTERNAL;
    }
    reader->all = {static_cast<const uint8_t*>(symbols), nsyms};
    reader->string_table = static_cast<const char*>(strings);
    reader->string_table_size = strsize;

    const void* dysymtab = macho_image_find_command(image, ps::LC_DYSYMTAB);
    if (dysymtab && macho_image_command_field32(image, dysymtab, 4) >= sizeof(ps::dysymtab_command)) {
        auto field = [&](size_t offset) { return uint64_t{macho_image_command_field32(image, dysymtab, offset)}; };
        uint64_t ilocal = field(offsetof(ps::dysymtab_command, ilocalsym));
        uint64_t nlocal = field(offsetof(ps::dysymtab_command, nlocalsym));
        uint64_t iext = field(offsetof(ps::dysymtab_command, iextdefsym));
        uint64_t next = field(offsetof(ps::dysymtab_command, nextdefsym));
        if (ilocal + nlocal > nsyms || iext + next > nsyms) {
            macho_segment_map_free(&reader->linkedit);
            return ASYNC_EINVAL;
        }
        reader->has_ranges = true;
        reader->locals = {reader->all.symbols + ilocal * entrySize, static_cast<uint32_t>(nlocal)};
        reader->globals = {reader->all.symbols + iext * entrySize, static_cast<uint32_t>(next)};
    }
    return ASYNC_ESUCCESS;
}

void symtab_reader_free(symtab_reader* reader) {
    macho_segment_map_free(&reader->linkedit);
    *reader = symtab_reader{};
}

bool symtab_reader_read_entry(const symtab_reader* reader, const symtab_table* table, uint32_t index,
                              symtab_entry* entry) {
    if (index >= table->count) return false;
    const macho_image* image = reader->image;
    const async_byteorder* bo = image->byteorder;
    if (image->m64) {
        const uint8_t* p = table->symbols + uint64_t{index} * sizeof(ps::nlist_64);
        entry->n_strx = bo->swap32(load<uint32_t>(p));
        entry->n_type = p[4];
        entry->n_sect = p[5];
        entry->n_desc = bo->swap16(load<uint16_t>(p + 6));
        entry->n_value = bo->swap64(load<uint64_t>(p + 8));
    } else {
        const uint8_t* p = table->symbols + uint64_t{index} * sizeof(ps::nlist);
        entry->n_strx = bo->swap32(load<uint32_t>(p));
        entry->n_type = p[4];
        entry->n_sect = p[5];
        entry->n_desc = bo->swap16(load<uint16_t>(p + 6));
        entry->n_value = bo->swap32(load<uint32_t>(p + 8));
    }
    entry->normalized_value = entry->n_value | ((entry->n_desc & ps::N_ARM_THUMB_DEF) ? 1 : 0);
    return true;
}

const char* symtab_reader_string(const symtab_reader* reader, uint32_t strx) {
    for (uint64_t i = strx; i < reader->string_table_size; ++i)
        if (reader->string_table[i] == '\0') return reader->string_table + strx;
    return nullptr;
}

namespace {

bool isCandidate(const symtab_entry& e) { return (e.n_type & (ps::N_STAB | ps::N_TYPE)) == ps::N_SECT; }

// The best candidate of `table` not above `sought`, continuing from `best`:
// the greatest value wins, an equal value found later does not replace it.
void scanTable(const symtab_reader* reader, const symtab_table* table, uint64_t sought, symtab_entry* best,
               bool* found) {
    symtab_entry e;
    for (uint32_t i = 0; symtab_reader_read_entry(reader, table, i, &e); ++i) {
        if (!isCandidate(e) || e.n_value > sought) continue;
        if (!*found || e.n_value > best->n_value) *best = e, *found = true;
    }
}

// The same answer on a table sorted by value, by halves: the last entry not
// above `sought`, then back to the first candidate of the greatest value.
void searchSorted(const symtab_reader* reader, uint64_t sought, symtab_entry* best, bool* found) {
    const symtab_table* table = &reader->all;
    uint32_t lo = 0, hi = table->count;
    symtab_entry e;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        symtab_reader_read_entry(reader, table, mid, &e);
        if (e.n_value <= sought)
            lo = mid + 1;
        else
            hi = mid;
    }
    for (uint32_t i = lo; i-- > 0;) {
        symtab_reader_read_entry(reader, table, i, &e);
        if (*found && e.n_value < best->n_value) break;
        if (isCandidate(e)) *best = e, *found = true;
    }
}

}  // namespace

async_error macho_find_symbol_by_pc(const macho_image* image, uint64_t pc, macho_symbol_callback callback, void* ctx) {
    symtab_reader reader;
    async_error err = symtab_reader_init(&reader, image);
    if (err != ASYNC_ESUCCESS) return err;
    const uint64_t sought = pc - static_cast<uint64_t>(image->vmaddr_slide);
    symtab_entry best{};
    bool found = false;
    if (reader.has_ranges) {
        scanTable(&reader, &reader.globals, sought, &best, &found);
        scanTable(&reader, &reader.locals, sought, &best, &found);
    } else if (image->symtab_sorted) {
        searchSorted(&reader, sought, &best, &found);
    } else {
        scanTable(&reader, &reader.all, sought, &best, &found);
    }
    err = ASYNC_ENOTFOUND;
    if (found) {
        const char* name = symtab_reader_string(&reader, best.n_strx);
        if (name) {
            callback(static_cast<uint64_t>(image->vmaddr_slide) + best.normalized_value, name, ctx);
            err = ASYNC_ESUCCESS;
        } else {
            err = ASYNC_EINVAL;
        }
    }
    symtab_reader_free(&reader);
    return err;
}

// --- Lazy strings ---

namespace {
// Names in images are short; a string without a NUL in this much memory is
// not one, and the search for its end stops here rather than remapping on.
constexpr uint64_t kMaxStringPages = 16;
}  // namespace

async_error macho_string_init(macho_string* string, const macho_image* image, uint64_t address) {
    *string = macho_string{};
    string->image = image;
    string->address = address;
    return ASYNC_ESUCCESS;
}

async_error macho_string_length(macho_string* string, uint64_t* length) {
    if (string->mapped) {
        *length = string->length;
        return ASYNC_ESUCCESS;
    }
    const uint64_t page = ps::vm_page_size();
    for (uint64_t pages = 1; pages <= kMaxStringPages; ++pages) {
        if (string->mobj.address) mobject_free(&string->mobj);
        async_error err = mobject_init(&string->mobj, string->image->task, string->address, pages * page, false);
        if (err != ASYNC_ESUCCESS) return err;
        const auto* p = reinterpret_cast<const char*>(string->mobj.address);
        for (uint64_t i = 0; i < string->mobj.length; ++i) {
            if (p[i] == '\0') {
                string->length = i;
                string->mapped = true;
                *length = i;
                return ASYNC_ESUCCESS;
            }
        }
        // The mapping stopped short of what was asked: the next byte is unreachable.
        if (string->mobj.length < pages * page) break;
    }
    mobject_free(&string->mobj);
    return ASYNC_EINVAL;
}

async_error macho_string_pointer(macho_string* string, const char** pointer) {
    uint64_t length;
    async_error err = macho_string_length(string, &length);
    if (err != ASYNC_ESUCCESS) return err;
    if (length == UINT64_MAX || !mobject_verify_local_pointer(&string->mobj, string->mobj.address, 0, length + 1))
        return ASYNC_EACCESS;
    *pointer = reinterpret_cast<const char*>(string->mobj.address);
    return ASYNC_ESUCCESS;
}

void macho_string_free(macho_string* string) {
    if (string->mobj.address) mobject_free(&string->mobj);
    string->mapped = false;
}

}  // namespace ovcrash
