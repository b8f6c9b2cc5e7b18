// Async-signal-safe: checked copies (vm_read_pages) into the caller's stack,
// no allocation, no lock, bounded loops.
#include "platform/system/LoadedElf.h"

#include <elf.h>

#include "platform/system/Host.h"
#include "platform/system/Mach.h"

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

// .eh_frame_hdr's own pointer to .eh_frame, in the one encoding linkers write.
uint64_t ehFrameOf(uint64_t hdr) {
    uint8_t bytes[8];
    if (!readPages(hdr, bytes, sizeof bytes)) return 0;
    constexpr uint8_t kPcrelSdata4 = 0x1b;
    if (bytes[0] != 1 || bytes[1] != kPcrelSdata4) return 0;
    int32_t rel;
    __builtin_memcpy(&rel, bytes + 4, 4);
    return hdr + 4 + static_cast<int64_t>(rel);
}

// Fills `out` from program headers already copied.
bool fromHeaders(uint64_t bias, const Elf64_Phdr* ph, uint32_t phnum, loaded_elf* out) {
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
        if (const uint64_t frame = ehFrameOf(out->eh_frame_hdr); frame != 0) {
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
        uint8_t notes[512];
        const uint64_t size = ph[i].p_memsz < sizeof notes ? ph[i].p_memsz : sizeof notes;
        const uint64_t at = bias + ph[i].p_vaddr;
        uint64_t offset, length;
        if (size == 0 || !readPages(at, notes, size) || !elf_build_id_note(notes, size, out->uuid, &offset, &length))
            continue;
        out->has_uuid = true;
        out->note = at + offset;
        out->note_size = static_cast<uint32_t>(length < kLoadedElfMaxNote ? length : kLoadedElfMaxNote);
        __builtin_memcpy(out->note_bytes, notes + offset, out->note_size);
    }
    return true;
}

// An object's ELF header and its program headers.
struct Headers {
    Elf64_Ehdr eh;
    Elf64_Phdr ph[kLoadedElfMaxHeaders];
};

// The ELF header of this machine's objects at `at`, where a loaded object's
// file starts, and its program headers, which lie in its first page.
bool headersAt(uint64_t at, Headers* h) {
    // Linkers put the program headers right behind the header: one read
    // takes both, up to the end of the page.
    const uint64_t page = vm_page_size();
    const uint64_t inPage = page - (at & (page - 1));
    const uint64_t size = inPage < sizeof *h ? inPage : sizeof *h;
    if (size < sizeof h->eh || !readPages(at, h, size)) return false;
    const Elf64_Ehdr& eh = h->eh;
    if (!sameBytes(eh.e_ident, reinterpret_cast<const uint8_t*>(ELFMAG), SELFMAG) ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_machine != kMachine || eh.e_phentsize != sizeof(Elf64_Phdr) ||
        eh.e_phnum == 0 || eh.e_phnum > kLoadedElfMaxHeaders || eh.e_phoff > page)
        return false;
    const uint64_t bytes = uint64_t{eh.e_phnum} * sizeof(Elf64_Phdr);
    if (eh.e_phoff == sizeof eh && sizeof eh + bytes <= size) return true;
    return readPages(at + eh.e_phoff, h->ph, bytes);
}

}  // namespace

bool elf_build_id_note(const uint8_t* data, uint64_t size, uint8_t uuid[16], uint64_t* offset, uint64_t* length) {
    uint64_t pos = 0;
    auto align4 = [](uint64_t v) { return (v + 3) & ~uint64_t{3}; };
    while (size - pos >= sizeof(Elf64_Nhdr)) {
        Elf64_Nhdr note;
        __builtin_memcpy(&note, data + pos, sizeof note);
        const uint64_t start = pos;
        const uint64_t name = pos + sizeof note;
        const uint64_t desc = name + align4(note.n_namesz);
        if (desc > size || note.n_descsz > size - desc) return false;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && sameBytes(data + name, (const uint8_t*)"GNU", 4)) {
            for (int i = 0; i < 16; ++i) uuid[i] = i < static_cast<int>(note.n_descsz) ? data[desc + i] : 0;
            if (offset) *offset = start;
            if (length) *length = desc + note.n_descsz - start;
            return true;
        }
        const uint64_t next = desc + align4(note.n_descsz);
        pos = next < size ? next : size;
    }
    return false;
}

bool loaded_elf_read(uint64_t bias, uint64_t phdr, uint32_t phnum, loaded_elf* out) {
    if (phnum == 0) return false;
    if (phnum > kLoadedElfMaxHeaders) phnum = kLoadedElfMaxHeaders;
    Elf64_Phdr ph[kLoadedElfMaxHeaders];
    if (!readPages(phdr, ph, uint64_t{phnum} * sizeof(Elf64_Phdr))) return false;
    return fromHeaders(bias, ph, phnum, out);
}

bool loaded_elf_find(uint64_t bias, uint64_t dynamic, loaded_elf* out) {
    Headers h;
    if (!headersAt(bias, &h)) return false;
    const Elf64_Ehdr& eh = h.eh;
    const Elf64_Phdr* ph = h.ph;
    // The header read is the object's only when its first segment maps the
    // file's start at the bias and its dynamic section is the linker's.
    const Elf64_Phdr* first = nullptr;
    for (uint32_t i = 0; i < eh.e_phnum && !first; ++i)
        if (ph[i].p_type == PT_LOAD) first = &ph[i];
    if (!first || first->p_offset != 0 || first->p_vaddr != 0) return false;
    if (!fromHeaders(bias, ph, eh.e_phnum, out)) return false;
    return out->dynamic == dynamic;
}

bool loaded_elf_from_file(uint64_t start, loaded_elf* out) {
    Headers h;
    if (!headersAt(start, &h)) return false;
    const Elf64_Ehdr& eh = h.eh;
    const Elf64_Phdr* ph = h.ph;
    // The loaded segment that maps the file's start tells the bias.
    const uint64_t page = vm_page_size();
    for (uint32_t i = 0; i < eh.e_phnum; ++i)
        if (ph[i].p_type == PT_LOAD && ph[i].p_offset < page)
            return (ph[i].p_vaddr & (page - 1)) == ph[i].p_offset &&
                   fromHeaders(start - (ph[i].p_vaddr & ~(page - 1)), ph, eh.e_phnum, out);
    return false;
}

bool loaded_elf_note_unchanged(const loaded_elf& elf) {
    if (elf.note_size == 0) return true;
    uint8_t now[kLoadedElfMaxNote];
    return readPages(elf.note, now, elf.note_size) && sameBytes(now, elf.note_bytes, elf.note_size);
}

}  // namespace platform::system
