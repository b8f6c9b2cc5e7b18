// Async-signal-safe: checked copies (vm_read_pages) into the caller's stack,
// reads of the process's map through raw system calls, no allocation, no
// lock, bounded loops.
#include "platform/system/LoadedElf.h"

#include <elf.h>
#include <cstddef>

#include "platform/system/Host.h"
#include "platform/system/Mach.h"
#include "platform/system/ProcessMaps.h"

namespace platform::system {

namespace {

bool readPages(uint64_t address, void* out, uint64_t size) {
    return vm_read_pages(mach_task_self(), address, size, reinterpret_cast<vm_address_t>(out), nullptr) ==
           KERN_SUCCESS;
}

bool sameBytes(const uint8_t* a, const uint8_t* b, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

#if defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#else
constexpr uint16_t kMachine = EM_AARCH64;
#endif

// An object's ELF header and its program headers, with what follows them in
// its first page (mostly its notes), copied at once: reading them costs one
// system call rather than one each, and one buffer of the stack.
struct Head {
    Elf64_Ehdr eh;
    Elf64_Phdr ph[kLoadedElfMaxHeaders];
    uint64_t at = 0, size = 0;  // the copy: [at, at + size)

    // Copies from `start` up to the end of its page, as much as there is room for.
    explicit Head(uint64_t start) : at(start) {
        const uint64_t page = vm_page_size();
        const uint64_t inPage = page - (start & (page - 1));
        const uint64_t room = sizeof eh + sizeof ph;
        const uint64_t n = inPage < room ? inPage : room;
        if (readPages(start, &eh, n)) size = n;
    }
    bool read(uint64_t address, void* out, uint64_t n) const {
        if (address >= at && address - at <= size && n <= size - (address - at)) {
            __builtin_memcpy(out, reinterpret_cast<const uint8_t*>(&eh) + (address - at), n);
            return true;
        }
        return readPages(address, out, n);
    }
    // The `n` program headers loaded at `address`: in place where the copy
    // has them right behind the header, else read over the copy's.
    const Elf64_Phdr* phdrs(uint64_t address, uint32_t n) {
        const uint64_t bytes = uint64_t{n} * sizeof(Elf64_Phdr);
        if (n > kLoadedElfMaxHeaders) return nullptr;
        if (address == at + sizeof eh && sizeof eh + bytes <= size) return ph;
        if (size > sizeof eh) size = sizeof eh;
        return readPages(address, ph, bytes) ? ph : nullptr;
    }
};
static_assert(offsetof(Head, ph) == sizeof(Elf64_Ehdr), "the copy is the header's bytes, then the program headers'");

// .eh_frame_hdr's own pointer to .eh_frame, in the one encoding linkers write.
uint64_t ehFrameOf(const Head& head, uint64_t hdr) {
    uint8_t bytes[8];
    if (!head.read(hdr, bytes, sizeof bytes)) return 0;
    constexpr uint8_t kPcrelSdata4 = 0x1b;
    if (bytes[0] != 1 || bytes[1] != kPcrelSdata4) return 0;
    int32_t rel;
    __builtin_memcpy(&rel, bytes + 4, 4);
    return hdr + 4 + static_cast<int64_t>(rel);
}

// Notes looked at before giving up on a build-id.
constexpr uint32_t kMaxNotes = 4096;

struct NotesAt {
    const Head* head;
    uint64_t at;
};

bool readNotePages(const void* context, uint64_t offset, void* out, uint64_t size) {
    const auto* notes = static_cast<const NotesAt*>(context);
    return notes->head->read(notes->at + offset, out, size);
}

uint64_t fnv1a(uint64_t hash, const void* data, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

// A hash of the object's ELF header (where its first segment maps the
// file's start) and program headers.
uint64_t headersHash(const Head& head, uint64_t bias, const Elf64_Phdr* ph, uint32_t phnum) {
    uint64_t hash = fnv1a(0xcbf29ce484222325ull, ph, uint64_t{phnum} * sizeof(Elf64_Phdr));
    const uint64_t page = vm_page_size();
    for (uint32_t i = 0; i < phnum; ++i) {
        if (ph[i].p_type != PT_LOAD) continue;
        Elf64_Ehdr eh;
        if (ph[i].p_offset == 0 && head.read(bias + (ph[i].p_vaddr & ~(page - 1)), &eh, sizeof eh))
            hash = fnv1a(hash, &eh, sizeof eh);
        break;
    }
    return hash;
}

// Notes the identity of the file in `mapping` as the object's.
void noteFile(const process_mapping& mapping, loaded_elf* out) {
    out->has_file = mapping.inode != 0;
    out->file_device = mapping.device;
    out->file_inode = mapping.inode;
    out->file_size = mapping.size;
    out->file_mtime_ns = mapping.mtime_ns;
    out->file_mapping_end = mapping.end;
}

// Fills `out` from program headers already copied.
bool fromHeaders(const Head& head, uint64_t bias, const Elf64_Phdr* ph, uint32_t phnum, loaded_elf* out) {
    *out = loaded_elf{};
    out->bias = bias;
    const uint64_t page = vm_page_size();
    uint64_t lo = UINT64_MAX, hi = 0, textHi = 0;
    const Elf64_Phdr* hdrSeg = nullptr;
    for (uint32_t i = 0; i < phnum; ++i) {
        if (ph[i].p_type == PT_LOAD) {
            if (ph[i].p_vaddr > UINT64_MAX - page || ph[i].p_memsz > UINT64_MAX - page - ph[i].p_vaddr) return false;
            const uint64_t end = (ph[i].p_vaddr + ph[i].p_memsz + page - 1) & ~(page - 1);
            if ((ph[i].p_vaddr & ~(page - 1)) < lo) lo = ph[i].p_vaddr & ~(page - 1);
            if (end > hi) hi = end;
            if (!(ph[i].p_flags & PF_W) && end > textHi) textHi = end;
            // The lowest loaded segment so far, whose mapping starts at the base.
            if (lo == (ph[i].p_vaddr & ~(page - 1)) && ph[i].p_filesz > 0 && ph[i].p_filesz <= ph[i].p_memsz)
                out->first_mapping_end = bias + ((ph[i].p_vaddr + ph[i].p_filesz + page - 1) & ~(page - 1));
            if ((ph[i].p_flags & PF_X) && out->text_bytes == 0) {
                out->text = bias + ph[i].p_vaddr;
                out->text_bytes = ph[i].p_memsz;
            }
        }
        if (ph[i].p_type == PT_DYNAMIC) out->dynamic = bias + ph[i].p_vaddr;
        if (ph[i].p_type == PT_GNU_EH_FRAME) hdrSeg = &ph[i];
    }
    if (lo >= hi) return false;
    out->base = bias + lo;
    out->span = hi - lo;
    out->text_size = textHi > lo ? textHi - lo : out->span;

    if (hdrSeg && hdrSeg->p_memsz >= 8) {
        out->eh_frame_hdr = bias + hdrSeg->p_vaddr;
        out->eh_frame_hdr_size = hdrSeg->p_memsz;
        if (const uint64_t frame = ehFrameOf(head, out->eh_frame_hdr); frame != 0) {
            for (uint32_t i = 0; i < phnum; ++i) {
                const uint64_t start = bias + ph[i].p_vaddr;
                if (ph[i].p_type == PT_LOAD && frame >= start && frame - start < ph[i].p_memsz) {
                    out->eh_frame = frame;
                    out->eh_frame_size = ph[i].p_memsz - (frame - start);
                }
            }
        }
    }

    for (uint32_t i = 0; i < phnum && !out->has_uuid; ++i) {
        if (ph[i].p_type != PT_NOTE) continue;
        const uint64_t at = bias + ph[i].p_vaddr;
        uint64_t offset, length;
        const NotesAt notes{&head, at};
        if (!elf_build_id_note(readNotePages, &notes, ph[i].p_memsz, out->uuid, &offset, &length)) continue;
        const uint32_t kept = static_cast<uint32_t>(length < kLoadedElfMaxNote ? length : kLoadedElfMaxNote);
        if (!head.read(at + offset, out->note_bytes, kept)) continue;
        out->has_uuid = true;
        out->note = at + offset;
        out->note_size = kept;
    }
    if (!out->has_uuid) out->headers_hash = headersHash(head, bias, ph, phnum);
    return true;
}

}  // namespace

bool elf_build_id_note(elf_note_reader read, const void* context, uint64_t size, uint8_t uuid[16], uint64_t* offset,
                       uint64_t* length) {
    auto align4 = [](uint64_t v) { return (v + 3) & ~uint64_t{3}; };
    uint64_t pos = 0;
    for (uint32_t notes = 0; notes < kMaxNotes && size - pos >= sizeof(Elf64_Nhdr); ++notes) {
        Elf64_Nhdr note;
        if (!read(context, pos, &note, sizeof note)) return false;
        const uint64_t start = pos;
        const uint64_t name = pos + sizeof note;
        const uint64_t desc = name + align4(note.n_namesz);
        if (desc > size || note.n_descsz > size - desc) return false;
        uint8_t owner[4];
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && read(context, name, owner, 4) &&
            sameBytes(owner, (const uint8_t*)"GNU", 4)) {
            const uint64_t n = note.n_descsz < 16 ? note.n_descsz : 16;
            for (int i = 0; i < 16; ++i) uuid[i] = 0;
            if (n > 0 && !read(context, desc, uuid, n)) return false;
            if (offset) *offset = start;
            if (length) *length = desc + note.n_descsz - start;
            return true;
        }
        const uint64_t next = desc + align4(note.n_descsz);
        pos = next < size ? next : size;
    }
    return false;
}

bool elf_build_id_note(const uint8_t* data, uint64_t size, uint8_t uuid[16], uint64_t* offset, uint64_t* length) {
    struct Bytes {
        const uint8_t* data;
        uint64_t size;
    } bytes{data, size};
    auto copy = [](const void* context, uint64_t at, void* out, uint64_t n) {
        const auto* b = static_cast<const Bytes*>(context);
        if (at > b->size || n > b->size - at) return false;
        __builtin_memcpy(out, b->data + at, n);
        return true;
    };
    return elf_build_id_note(copy, &bytes, size, uuid, offset, length);
}

bool loaded_elf_read(uint64_t bias, uint64_t phdr, uint32_t phnum, loaded_elf* out) {
    if (phnum == 0 || phdr < sizeof(Elf64_Ehdr)) return false;
    if (phnum > kLoadedElfMaxHeaders) phnum = kLoadedElfMaxHeaders;
    // Program headers lie right behind the ELF header, as linkers put them.
    Head head(phdr - sizeof(Elf64_Ehdr));
    const Elf64_Phdr* ph = head.phdrs(phdr, phnum);
    if (!ph || !fromHeaders(head, bias, ph, phnum, out)) return false;
    loaded_elf_read_file(out);
    return true;
}

void loaded_elf_read_file(loaded_elf* elf, process_maps_budget* budget) {
    process_mapping mapping;
    if (elf->has_uuid || elf->has_file) return;
    if ((elf->first_mapping_end > elf->base && process_mapping_at(elf->base, elf->first_mapping_end, &mapping)) ||
        process_mapping_find(elf->base, &mapping, nullptr, 0, budget))
        noteFile(mapping, elf);
}

namespace {

constexpr uint32_t kMaxDynamic = 1024;

// The ELF header of this machine's objects at `at`, where a loaded object's
// file starts, and its program headers, which lie in its first page; null
// when there is none.
const Elf64_Phdr* headersAt(Head& head, uint32_t* phnum) {
    const Elf64_Ehdr& eh = head.eh;
    if (head.size < sizeof eh || !sameBytes(eh.e_ident, reinterpret_cast<const uint8_t*>(ELFMAG), SELFMAG) ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_machine != kMachine || eh.e_phentsize != sizeof(Elf64_Phdr) ||
        eh.e_phnum == 0 || eh.e_phnum > kLoadedElfMaxHeaders || eh.e_phoff > vm_page_size())
        return nullptr;
    *phnum = eh.e_phnum;
    return head.phdrs(head.at + eh.e_phoff, eh.e_phnum);
}

// The object whose ELF header is at `at`, where its first loaded segment
// maps the file's start: loaded with `*bias`, or with the bias that puts
// that segment there when `bias` is null.
bool objectAt(uint64_t at, const uint64_t* bias, loaded_elf* out) {
    Head head(at);
    uint32_t phnum = 0;
    const Elf64_Phdr* ph = headersAt(head, &phnum);
    if (!ph) return false;
    const uint64_t page = vm_page_size();
    const Elf64_Phdr* first = nullptr;
    for (uint32_t i = 0; i < phnum && !first; ++i)
        if (ph[i].p_type == PT_LOAD) first = &ph[i];
    if (!first || first->p_offset >= page || (first->p_vaddr & (page - 1)) != first->p_offset) return false;
    const uint64_t linked = first->p_vaddr & ~(page - 1);
    if (bias && *bias + linked != at) return false;
    return fromHeaders(head, bias ? *bias : at - linked, ph, phnum, out);
}

// The same, loaded with `bias`, whose dynamic section is the linker's.
bool objectAt(uint64_t at, uint64_t bias, uint64_t dynamic, loaded_elf* out) {
    return objectAt(at, &bias, out) && out->dynamic == dynamic;
}

}  // namespace

bool loaded_elf_read_dynamic(uint64_t dynamic, loaded_elf_dynamic* out) {
    *out = loaded_elf_dynamic{};
    if (dynamic == 0) return false;
    constexpr uint32_t kChunk = 64;
    Elf64_Dyn dyn[kChunk];
    for (uint32_t at = 0; at < kMaxDynamic; at += kChunk) {
        if (!readPages(dynamic + uint64_t{at} * sizeof(Elf64_Dyn), dyn, sizeof dyn)) {
            // The section may end on its last page: one entry at a time.
            for (uint32_t i = 0; i < kChunk; ++i) {
                if (!readPages(dynamic + uint64_t{at + i} * sizeof(Elf64_Dyn), &dyn[i], sizeof dyn[i])) return false;
                if (dyn[i].d_tag == DT_NULL) break;
            }
        }
        for (const Elf64_Dyn& d : dyn) {
            switch (d.d_tag) {
            case DT_NULL: return true;
            case DT_SYMTAB: out->symtab = d.d_un.d_ptr; break;
            case DT_STRTAB: out->strtab = d.d_un.d_ptr; break;
            case DT_STRSZ: out->strsz = d.d_un.d_val; break;
            case DT_SYMENT: out->syment = d.d_un.d_val; break;
            case DT_HASH: out->hash = d.d_un.d_ptr; break;
            case DT_GNU_HASH: out->gnu_hash = d.d_un.d_ptr; break;
            default: break;
            }
        }
    }
    return false;
}

bool loaded_elf_find(uint64_t bias, uint64_t dynamic, loaded_elf* out) {
    if (objectAt(bias, bias, dynamic, out)) return true;
    // Its first segment lies elsewhere: the header is at the start of the
    // segment that holds the symbol lookup tables, a few pages below them
    // (notes come between).
    loaded_elf_dynamic d;
    if (!loaded_elf_read_dynamic(dynamic, &d)) return false;
    uint64_t lowest = UINT64_MAX;
    const uint64_t tables[] = {d.hash, d.gnu_hash, d.symtab, d.strtab};
    for (uint64_t table : tables)
        if (table != 0 && table < lowest) lowest = table;
    if (lowest == UINT64_MAX) return false;
    const uint64_t page = vm_page_size();
    constexpr uint64_t kPagesBelow = 16;
    // As the linker rewrote it, or as linked.
    const uint64_t readings[] = {lowest, bias + lowest};
    for (uint64_t table : readings) {
        const uint64_t top = table & ~(page - 1);
        for (uint64_t i = 0; i <= kPagesBelow && i * page <= top; ++i)
            if (objectAt(top - i * page, bias, dynamic, out)) return true;
    }
    return false;
}

bool loaded_elf_from_file(uint64_t start, loaded_elf* out) { return objectAt(start, nullptr, out); }

bool loaded_elf_still_there(const loaded_elf& elf, process_maps_budget* budget) {
    if (elf.note_size > 0) {
        uint8_t now[kLoadedElfMaxNote];
        return readPages(elf.note, now, elf.note_size) && sameBytes(now, elf.note_bytes, elf.note_size);
    }
    // Without a build-id: the same headers where they were, and the same file
    // mapped at its base, looked for first where it was mapped at load.
    loaded_elf again;
    if (!objectAt(elf.base, elf.bias, elf.dynamic, &again)) return false;
    process_mapping mapping;
    if (elf.has_file && process_mapping_at(elf.base, elf.file_mapping_end, &mapping))
        noteFile(mapping, &again);
    else
        loaded_elf_read_file(&again, budget);
    return loaded_elf_same(elf, again);
}

bool loaded_elf_same(const loaded_elf& a, const loaded_elf& b) {
    if (a.bias != b.bias || a.base != b.base || a.has_uuid != b.has_uuid) return false;
    if (a.has_uuid) return sameBytes(a.uuid, b.uuid, sizeof a.uuid);
    return a.headers_hash == b.headers_hash && a.has_file == b.has_file && a.file_device == b.file_device &&
           a.file_inode == b.file_inode && a.file_size == b.file_size && a.file_mtime_ns == b.file_mtime_ns;
}

}  // namespace platform::system
