#include "platform/system/MachOView.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/system/Host.h"
#include "platform/system/LoadedElf.h"
#include "platform/system/LoadedElfSymbols.h"
#include "platform/system/MachO.h"
#include "platform/system/MachOViewCommands.h"

namespace platform::system {

namespace {

// A span of ELF bytes: a file mapped read-only, or an image that is wholly
// mapped in memory (the kernel's vDSO).
struct Bytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    bool holds(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }
    template <typename T>
    const T* at(uint64_t offset) const {
        return holds(offset, sizeof(T)) ? reinterpret_cast<const T*>(data + offset) : nullptr;
    }
};

class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd_, 0);
            if (p != MAP_FAILED) bytes_ = {static_cast<const uint8_t*>(p), static_cast<uint64_t>(st.st_size)};
        }
    }
    ~MappedFile() {
        if (bytes_.data) ::munmap(const_cast<uint8_t*>(bytes_.data), bytes_.size);
        if (fd_ >= 0) ::close(fd_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const Bytes& bytes() const { return bytes_; }

    // [offset, offset + length) of the file in a read-only mapping of its
    // own that is never released; null when that range is not in the file,
    // or when `expected` is given and the bytes differ from it.
    const uint8_t* keep(uint64_t offset, uint64_t length, const void* expected) const {
        if (!bytes_.data || length == 0 || !bytes_.holds(offset, length)) return nullptr;
        const uint64_t page = vm_page_size();
        const uint64_t start = offset & ~(page - 1);
        const uint64_t total = offset + length - start;
        void* p = ::mmap(nullptr, total, PROT_READ, MAP_PRIVATE, fd_, static_cast<off_t>(start));
        if (p == MAP_FAILED) return nullptr;
        const uint8_t* kept = static_cast<const uint8_t*>(p) + (offset - start);
        if (expected && std::memcmp(kept, expected, length) != 0) {
            ::munmap(p, total);
            return nullptr;
        }
        return kept;
    }

private:
    int fd_ = -1;
    Bytes bytes_;
};

}  // namespace

namespace {

bool buildIdOfFile(const Bytes& file, uint8_t out[16]) {
    const auto* eh = file.at<Elf64_Ehdr>(0);
    if (!eh || eh->e_phentsize != sizeof(Elf64_Phdr)) return false;
    for (uint16_t i = 0; i < eh->e_phnum; ++i) {
        const auto* ph = file.at<Elf64_Phdr>(eh->e_phoff + uint64_t{i} * sizeof(Elf64_Phdr));
        if (!ph) return false;
        if (ph->p_type == PT_NOTE && file.holds(ph->p_offset, ph->p_filesz) &&
            elf_build_id_note(file.data + ph->p_offset, ph->p_filesz, out, nullptr, nullptr))
            return true;
    }
    return false;
}

struct Section {
    uint64_t addr = 0, size = 0;
    bool found = false;
};

struct Symbol {
    uint64_t value;
    std::string_view name;
    uint8_t bind;
};

// What the section headers of an ELF file tell: .text, .eh_frame and the
// function symbols (.symtab, else .dynsym). Addresses are unrelocated.
struct ElfSections {
    Section text, ehFrame, ehFrameHdr;
    std::vector<Symbol> symbols;
};

bool readSections(const Bytes& elf, ElfSections* out) {
    const auto* eh = elf.at<Elf64_Ehdr>(0);
    if (!eh || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
        eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shnum == 0 || eh->e_shstrndx >= eh->e_shnum)
        return false;
    if (!elf.holds(eh->e_shoff, uint64_t{eh->e_shnum} * sizeof(Elf64_Shdr))) return false;
    const auto* sh = reinterpret_cast<const Elf64_Shdr*>(elf.data + eh->e_shoff);
    const Elf64_Shdr& names = sh[eh->e_shstrndx];
    if (names.sh_type == SHT_NOBITS || !elf.holds(names.sh_offset, names.sh_size)) return false;
    auto sectionName = [&](uint32_t index) -> std::string_view {
        if (index >= names.sh_size) return {};
        const char* s = reinterpret_cast<const char*>(elf.data + names.sh_offset + index);
        return {s, strnlen(s, names.sh_size - index)};
    };
    const Elf64_Shdr* symtab = nullptr;
    const Elf64_Shdr* dynsym = nullptr;
    for (uint16_t i = 0; i < eh->e_shnum; ++i) {
        std::string_view name = sectionName(sh[i].sh_name);
        if (name == ".text") out->text = {sh[i].sh_addr, sh[i].sh_size, true};
        if (name == ".eh_frame") out->ehFrame = {sh[i].sh_addr, sh[i].sh_size, true};
        if (name == ".eh_frame_hdr") out->ehFrameHdr = {sh[i].sh_addr, sh[i].sh_size, true};
        if (sh[i].sh_type == SHT_SYMTAB && sh[i].sh_size > 0) symtab = &sh[i];
        if (sh[i].sh_type == SHT_DYNSYM && sh[i].sh_size > 0) dynsym = &sh[i];
    }
    const Elf64_Shdr* table = symtab ? symtab : dynsym;
    if (!table || table->sh_link >= eh->e_shnum || table->sh_entsize != sizeof(Elf64_Sym)) return true;
    const Elf64_Shdr& strings = sh[table->sh_link];
    if (!elf.holds(table->sh_offset, table->sh_size) || !elf.holds(strings.sh_offset, strings.sh_size)) return true;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(elf.data + table->sh_offset);
    uint64_t count = table->sh_size / sizeof(Elf64_Sym);
    const char* str = reinterpret_cast<const char*>(elf.data + strings.sh_offset);
    out->symbols.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        const Elf64_Sym& s = syms[i];
        unsigned type = ELF64_ST_TYPE(s.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF || s.st_shndx >= SHN_LORESERVE ||
            s.st_value == 0 || s.st_name == 0 || s.st_name >= strings.sh_size)
            continue;
        std::string_view name{str + s.st_name, strnlen(str + s.st_name, strings.sh_size - s.st_name)};
        if (name.empty()) continue;
        out->symbols.push_back({s.st_value, name, static_cast<uint8_t>(ELF64_ST_BIND(s.st_info))});
    }
    return true;
}

void setName(char (&field)[16], const char* name) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name, std::min<size_t>(std::strlen(name), sizeof field));
}

// --- Reading the ELF image ---

// What the loaded image and its file tell: where it lies, its build-id, its
// sections and its function symbols in the order the view keeps them.
struct ElfImage {
    const dl_phdr_info* info = nullptr;
    bool mainProgram = false;
    std::string path;
    uint64_t base = 0, span = 0, textSize = 0;
    bool hasUuid = false;
    uint8_t uuid[16] = {};
    ElfSections sections;
    std::unique_ptr<MappedFile> file;  // the symbol names point into it
    bool fileIsLoaded = false;         // the file is the one loaded, as far as its build-id tells
    // Without symbols from section headers: the dynamic symbol table, as the
    // views made at crash time read it (LoadedElfSymbols.h), already in the
    // form __LINKEDIT holds.
    std::vector<uint8_t> dynamicTable;
    loaded_elf_symbol_table dynamicLayout;
};

// The function symbols of the loaded image's dynamic symbol table, read from
// its pages, into image->dynamicTable; false when it has none.
bool readDynamicSymbols(const loaded_elf& elf, ElfImage* image) {
    if (elf.dynamic == 0) return false;
    std::vector<uint8_t>& table = image->dynamicTable;
    table.resize(uint64_t{64} << 10);
    // A second try learns the room the table takes where the first had too
    // little; a third makes it there.
    for (int attempt = 0; attempt < 3; ++attempt) {
        loaded_elf_symbol_table& layout = image->dynamicLayout;
        if (loaded_elf_symbols(elf, nullptr, table.data(), table.size(), &layout) && layout.nsyms > 0) {
            table.resize(layout.size);
            return true;
        }
        if (layout.needed <= table.size()) break;
        table.resize(layout.needed);
    }
    table = {};
    image->dynamicLayout = {};
    return false;
}

// Symbols by address; at one address a global name comes before a weak one
// and both before a local one, since the reader keeps the first.
void sortSymbols(std::vector<Symbol>* symbols) {
    auto rank = [](uint8_t bind) { return bind == STB_GLOBAL ? 0 : bind == STB_WEAK ? 1 : 2; };
    std::sort(symbols->begin(), symbols->end(), [&](const Symbol& a, const Symbol& b) {
        if (a.value != b.value) return a.value < b.value;
        if (rank(a.bind) != rank(b.bind)) return rank(a.bind) < rank(b.bind);
        return a.name < b.name;
    });
    symbols->erase(std::unique(symbols->begin(), symbols->end(),
                               [](const Symbol& a, const Symbol& b) { return a.value == b.value && a.name == b.name; }),
                   symbols->end());
}

// `elf` is what its program headers say, through the checked read: where it
// lies, its build-id and, for want of section headers, its code and unwind
// tables.
bool readElfImage(const dl_phdr_info& info, const std::string& path, const loaded_elf& elf, ElfImage* image,
                  std::string* error) {
    image->info = &info;
    if (elf.span == 0) {
        if (error) *error = "no loadable segment";
        return false;
    }
    image->base = elf.base;
    image->span = elf.span;
    // __TEXT is what the platform maps read-only: the code and the read-only
    // data, never the writable data and bss after them.
    image->textSize = elf.text_size;
    image->mainProgram = path.empty();
    image->path = path;
    if (image->mainProgram) {
        char buf[4096];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        image->path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("/proc/self/exe");
    }

    image->hasUuid = elf.has_uuid;
    std::memcpy(image->uuid, elf.uuid, sizeof image->uuid);

    // The file's section headers, when the file is the one that was loaded
    // (same build-id); the vDSO has no file but is mapped whole.
    ElfSections& sections = image->sections;
    bool haveSections = false;
    image->file = std::make_unique<MappedFile>(image->path);
    const Bytes& file = image->file->bytes();
    if (file.data) {
        uint8_t fileId[16];
        image->fileIsLoaded =
            !image->hasUuid || (buildIdOfFile(file, fileId) && std::memcmp(fileId, image->uuid, 16) == 0);
        if (image->fileIsLoaded) haveSections = readSections(file, &sections);
    } else if (!path.empty() && path.find('/') == std::string::npos) {
        Bytes memory{reinterpret_cast<const uint8_t*>(image->base), image->span};
        haveSections = readSections(memory, &sections);
    }
    if (!haveSections) sections = ElfSections{};
    if (!sections.text.found || !sections.ehFrame.found || !sections.ehFrameHdr.found) {
        // Unrelocated, as the section headers give them.
        const auto fromSegments = [&](uint64_t address, uint64_t size) {
            return address ? Section{address - elf.bias, size, true} : Section{};
        };
        if (!sections.text.found) sections.text = fromSegments(elf.text, elf.text_bytes);
        if (!sections.ehFrame.found) sections.ehFrame = fromSegments(elf.eh_frame, elf.eh_frame_size);
        if (!sections.ehFrameHdr.found) sections.ehFrameHdr = fromSegments(elf.eh_frame_hdr, elf.eh_frame_hdr_size);
    }
    sortSymbols(&sections.symbols);
    // A file without section headers (or not the one loaded) names its
    // functions only through the dynamic symbol table, as a view made at
    // crash time of the same image would.
    if (sections.symbols.empty()) readDynamicSymbols(elf, image);
    return true;
}

// --- Building the Mach-O view ---

// Where the symbol table lies in the view's file offsets.
struct LinkeditLayout {
    uint64_t offset = 0, nsyms = 0, strSize = 1;
};

// The nlist entries and their names, into view->linkedit.
LinkeditLayout buildLinkedit(const ElfImage& image, MachOView* view) {
    LinkeditLayout layout;
    if (!image.dynamicTable.empty()) {
        layout.nsyms = image.dynamicLayout.nsyms;
        layout.strSize = image.dynamicLayout.strsize;
        layout.offset = image.span + image.dynamicTable.size() <= UINT32_MAX ? image.span : 0;
        view->symbolCount = image.dynamicLayout.nsyms;
        view->linkedit = image.dynamicTable;
        return layout;
    }
    const std::vector<Symbol>& symbols = image.sections.symbols;
    for (const Symbol& s : symbols) layout.strSize += s.name.size() + 2;
    layout.nsyms = symbols.size();
    uint64_t linkeditSize = layout.nsyms * sizeof(nlist_64) + layout.strSize;
    // Offsets in LC_SYMTAB are 32-bit file offsets; __LINKEDIT follows __TEXT.
    layout.offset = image.span;
    if (layout.offset + linkeditSize > UINT32_MAX) {
        layout.offset = 0;
        if (linkeditSize > UINT32_MAX) layout.nsyms = 0, layout.strSize = 1, linkeditSize = 1;
    }
    view->symbolCount = static_cast<uint32_t>(layout.nsyms);
    view->linkedit.assign(linkeditSize, 0);
    uint8_t* out = view->linkedit.data();
    uint64_t strx = 1;
    uint8_t* strings = out + layout.nsyms * sizeof(nlist_64);
    for (uint64_t i = 0; i < layout.nsyms; ++i) {
        const Symbol& s = symbols[i];
        nlist_64 n{};
        n.n_strx = static_cast<uint32_t>(strx);
        n.n_type = N_SECT | (s.bind == STB_LOCAL ? 0 : N_EXT);
        n.n_sect = 1;
        n.n_value = image.info->dlpi_addr + s.value;
        std::memcpy(out + i * sizeof n, &n, sizeof n);
        strings[strx++] = '_';
        std::memcpy(strings + strx, s.name.data(), s.name.size());
        strx += s.name.size() + 1;
    }
    return layout;
}

// The loaded bytes [addr, addr + size) as the image's file holds them, in a
// mapping of the loader's own. It outlives the image's pages: a library
// closed behind the loader's back takes them with it, and a crash in its code
// must still find its unwind tables. Null when the file is not the one loaded
// or does not hold the range.
const uint8_t* keepFromFile(const ElfImage& image, uint64_t addr, uint64_t size) {
    if (!image.fileIsLoaded) return nullptr;
    const dl_phdr_info& info = *image.info;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const Elf64_Phdr& ph = info.dlpi_phdr[i];
        const uint64_t start = info.dlpi_addr + ph.p_vaddr;
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_R) || addr < start || addr - start > ph.p_filesz ||
            size > ph.p_filesz - (addr - start))
            continue;
        // Without a build-id, only the bytes tell the loaded file from another.
        const void* loaded = image.hasUuid ? nullptr : reinterpret_cast<const void*>(addr);
        return image.file->keep(ph.p_offset + (addr - start), size, loaded);
    }
    return nullptr;
}

// The __TEXT sections that lie inside the image; the unwind tables among
// them go into view->unwindTables, read from the loader's own mapping.
std::vector<section_64> textSections(const ElfImage& image, MachOView* view) {
    struct Sect {
        const char* name;
        Section where;
    };
    const ElfSections& sections = image.sections;
    Sect wanted[] = {
        {"__text", sections.text}, {"__eh_frame", sections.ehFrame}, {"__eh_frame_hdr", sections.ehFrameHdr}};
    int tables = 0;
    std::vector<section_64> sects;
    for (const Sect& w : wanted) {
        if (!w.where.found) continue;
        uint64_t addr = image.info->dlpi_addr + w.where.addr;
        if (addr < image.base || addr - image.base > image.span || w.where.size > image.span - (addr - image.base))
            continue;
        section_64 s{};
        setName(s.sectname, w.name);
        setName(s.segname, "__TEXT");
        s.addr = addr;
        s.size = w.where.size;
        s.offset = static_cast<uint32_t>(addr - image.base);
        sects.push_back(s);
        if (w.where.size && std::strncmp(w.name, "__eh_frame", 10) == 0) {
            MachOView::Range& table = view->unwindTables[tables++];
            table.address = addr;
            table.size = w.where.size;
            table.bytes.store(keepFromFile(image, addr, w.where.size), std::memory_order_release);
        }
    }
    return sects;
}

// The header and load commands, into view->commands.
void buildLoadCommands(const ElfImage& image, const std::vector<section_64>& sects, const LinkeditLayout& layout,
                       MachOView* view) {
    std::vector<macho_view_section> sections;
    for (const section_64& s : sects) sections.push_back({s.sectname, s.addr, s.size});
    macho_view_layout l{};
    l.filetype = image.mainProgram ? MH_EXECUTE : MH_DYLIB;
    l.base = view->base;
    l.text_size = view->textSize;
    l.sections = sections.data();
    l.nsects = static_cast<uint32_t>(sections.size());
    l.has_uuid = view->hasUuid;
    std::memcpy(l.uuid, view->uuid, 16);
    l.has_symtab = true;
    l.linkedit_vmaddr = reinterpret_cast<uint64_t>(view->linkedit.data());
    l.linkedit_size = view->linkedit.size();
    l.linkedit_fileoff = layout.offset;
    l.nsyms = static_cast<uint32_t>(layout.nsyms);
    l.strsize = static_cast<uint32_t>(layout.strSize);
    view->commands.assign(macho_view_commands_size(l), 0);
    macho_view_write_commands(l, view->commands.data(), view->commands.size());
}

}  // namespace

void releaseUnwindTables(MachOView* view) {
    const uint64_t page = vm_page_size();
    for (MachOView::Range& table : view->unwindTables) {
        const uint8_t* kept = table.bytes.exchange(nullptr, std::memory_order_acq_rel);
        if (!kept) continue;
        const auto at = reinterpret_cast<uintptr_t>(kept);
        const uintptr_t start = at & ~(page - 1);
        ::munmap(reinterpret_cast<void*>(start), at + table.size - start);
    }
}

bool buildMachOView(const dl_phdr_info& info, const std::string& path, MachOView* view, std::string* error) {
    loaded_elf elf;
    if (!loaded_elf_read(info.dlpi_addr, reinterpret_cast<uint64_t>(info.dlpi_phdr), info.dlpi_phnum, &elf)) {
        if (error) *error = "no loadable segment";
        return false;
    }
    return buildMachOView(info, path, elf, view, error);
}

bool buildMachOView(const dl_phdr_info& info, const std::string& path, const loaded_elf& elf, MachOView* view,
                    std::string* error) {
    ElfImage image;
    if (!readElfImage(info, path, elf, &image, error)) return false;
    view->bias = info.dlpi_addr;
    view->base = image.base;
    view->span = image.span;
    view->textSize = image.textSize;
    view->path = image.path;
    view->hasUuid = image.hasUuid;
    std::memcpy(view->uuid, image.uuid, sizeof view->uuid);
    LinkeditLayout layout = buildLinkedit(image, view);
    buildLoadCommands(image, textSections(image, view), layout, view);
    return true;
}

}  // namespace platform::system
