// Async-signal-safe: checked copies (vm_read_pages) into the caller's buffer
// and a small stack, no allocation, no lock, bounded loops.
#include "platform/system/LoadedElfSymbols.h"

#include <elf.h>

#include "platform/system/Mach.h"
#include "platform/system/MachO.h"

namespace platform::system {

namespace {

bool readPages(uint64_t address, void* out, uint64_t size) {
    return vm_read_pages(mach_task_self(), address, size, reinterpret_cast<vm_address_t>(out), nullptr) ==
           KERN_SUCCESS;
}

constexpr uint64_t kMaxSymbols = uint64_t{1} << 20;
constexpr uint32_t kChunk = 64;

struct DynamicTables {
    uint64_t symtab = 0, strtab = 0, strsz = 0, syment = 0, hash = 0, gnuHash = 0;
};

// The dynamic linker rewrites the addresses in a loaded object's dynamic
// section to where they are loaded (most do); those still as linked get the bias.
uint64_t loadedAddress(const loaded_elf& elf, uint64_t value) {
    return value >= elf.base && value - elf.base < elf.span ? value : elf.bias + value;
}

bool readDynamic(const loaded_elf& elf, DynamicTables* t) {
    loaded_elf_dynamic d;
    if (!loaded_elf_read_dynamic(elf.dynamic, &d)) return false;
    t->symtab = d.symtab ? loadedAddress(elf, d.symtab) : 0;
    t->strtab = d.strtab ? loadedAddress(elf, d.strtab) : 0;
    t->strsz = d.strsz;
    t->syment = d.syment;
    t->hash = d.hash ? loadedAddress(elf, d.hash) : 0;
    t->gnuHash = d.gnu_hash ? loadedAddress(elf, d.gnu_hash) : 0;
    return t->symtab && t->strtab && t->syment == sizeof(Elf64_Sym) && (t->hash || t->gnuHash);
}

// How many entries the symbol table has: the classic hash table says so; the
// GNU one only through the end of its last chain.
bool symbolCount(const DynamicTables& t, uint64_t* count) {
    if (t.hash) {
        uint32_t words[2];
        if (!readPages(t.hash, words, sizeof words)) return false;
        *count = words[1];
        return *count <= kMaxSymbols;
    }
    uint32_t header[4];  // buckets, first hashed symbol, bloom words, bloom shift
    if (!readPages(t.gnuHash, header, sizeof header)) return false;
    const uint64_t nbuckets = header[0], symoffset = header[1], bloom = header[2];
    if (nbuckets > kMaxSymbols || bloom > kMaxSymbols) return false;
    const uint64_t buckets = t.gnuHash + sizeof header + bloom * sizeof(uint64_t);
    uint64_t last = 0;
    uint32_t chunk[kChunk];
    for (uint64_t at = 0; at < nbuckets; at += kChunk) {
        const uint64_t n = nbuckets - at < kChunk ? nbuckets - at : kChunk;
        if (!readPages(buckets + at * 4, chunk, n * 4)) return false;
        for (uint64_t i = 0; i < n; ++i) last = chunk[i] > last ? chunk[i] : last;
    }
    if (last < symoffset) {
        *count = symoffset;
        return true;
    }
    const uint64_t chains = buckets + nbuckets * 4;
    for (uint64_t index = last; index < kMaxSymbols; ++index) {
        uint32_t hash;
        if (!readPages(chains + (index - symoffset) * 4, &hash, sizeof hash)) return false;
        if (hash & 1) {
            *count = index + 1;
            return true;
        }
    }
    return false;
}

bool isFunction(const Elf64_Sym& s, uint64_t strsz) {
    const unsigned type = ELF64_ST_TYPE(s.st_info);
    return (type == STT_FUNC || type == STT_GNU_IFUNC) && s.st_shndx != SHN_UNDEF && s.st_shndx < SHN_LORESERVE &&
           s.st_value != 0 && s.st_name != 0 && s.st_name < strsz;
}

// Where the symbols come from: the object's pages or its file.
struct PagesSource {
    uint64_t symtab, strtab;
    bool symbols(uint64_t at, Elf64_Sym* out, uint64_t n) const {
        return readPages(symtab + at * sizeof(Elf64_Sym), out, n * sizeof(Elf64_Sym));
    }
    bool strings(void* out, uint64_t size) const { return readPages(strtab, out, size); }
};

struct FileSource {
    const loaded_elf_file* file;
    bool symbols(uint64_t at, Elf64_Sym* out, uint64_t n) const {
        return loaded_elf_file_read(*file, file->symtab_offset + at * sizeof(Elf64_Sym), out, n * sizeof(Elf64_Sym));
    }
    bool strings(void* out, uint64_t size) const { return loaded_elf_file_read(*file, file->strtab_offset, out, size); }
};

uint16_t rank(unsigned bind) { return bind == STB_GLOBAL ? 0 : bind == STB_WEAK ? 1 : 2; }

// The loader's own views' order: by address, then global, weak, local, then name.
bool before(const nlist_64& a, const nlist_64& b, const uint8_t* strings) {
    if (a.n_value != b.n_value) return a.n_value < b.n_value;
    if (a.n_desc != b.n_desc) return a.n_desc < b.n_desc;
    for (uint64_t i = 0;; ++i) {
        const uint8_t x = strings[a.n_strx + i], y = strings[b.n_strx + i];
        if (x != y) return x < y;
        if (x == 0) return false;
    }
}

// Heapsort in place: no allocation, n log n at worst.
void sortEntries(uint8_t* out, uint64_t n, const uint8_t* strings) {
    auto at = [&](uint64_t i) {
        nlist_64 e;
        __builtin_memcpy(&e, out + i * sizeof e, sizeof e);
        return e;
    };
    auto put = [&](uint64_t i, const nlist_64& e) { __builtin_memcpy(out + i * sizeof e, &e, sizeof e); };
    auto sift = [&](uint64_t root, uint64_t end) {
        for (;;) {
            uint64_t child = 2 * root + 1;
            if (child >= end) return;
            if (child + 1 < end && before(at(child), at(child + 1), strings)) ++child;
            const nlist_64 r = at(root), c = at(child);
            if (!before(r, c, strings)) return;
            put(root, c);
            put(child, r);
            root = child;
        }
    };
    for (uint64_t i = n / 2; i-- > 0;) sift(i, n);
    for (uint64_t end = n; end > 1; --end) {
        const nlist_64 top = at(0), last = at(end - 1);
        put(0, last);
        put(end - 1, top);
        sift(0, end - 1);
    }
}

template <typename Source>
bool writeTable(const loaded_elf& elf, const Source& source, uint64_t count, uint64_t strsz, uint8_t* out,
                uint64_t capacity, loaded_elf_symbol_table* table) {
    if (strsz == 0 || count > kMaxSymbols) return false;
    if (strsz > capacity) {
        table->needed = strsz + 1;
        return false;
    }
    // The object's own names, read once into the end of the buffer.
    const uint8_t* names = out + capacity - strsz;
    if (!source.strings(out + capacity - strsz, strsz)) return false;
    auto nameLength = [&](uint64_t at) {
        uint64_t n = 0;
        while (at + n < strsz && names[at + n] != '\0') ++n;
        return n;
    };

    // First what the kept entries and names take, so that the names can go
    // right after the entries.
    Elf64_Sym syms[kChunk];
    uint64_t functions = 0, size = 1;
    for (uint64_t at = 0; at < count; at += kChunk) {
        const uint64_t n = count - at < kChunk ? count - at : kChunk;
        if (!source.symbols(at, syms, n)) return false;
        for (uint64_t i = 0; i < n; ++i) {
            if (!isFunction(syms[i], strsz)) continue;
            ++functions;
            size += nameLength(syms[i].st_name) + 2;
        }
    }
    const uint64_t entries = functions * sizeof(nlist_64);
    if (functions > UINT32_MAX || size > UINT32_MAX) return false;
    if (entries + size > capacity - strsz) {
        table->needed = strsz + entries + size;
        return false;
    }

    uint8_t* strings = out + entries;
    uint64_t strx = 0;
    strings[strx++] = '\0';
    uint64_t written = 0;
    for (uint64_t at = 0; at < count && written < functions; at += kChunk) {
        const uint64_t n = count - at < kChunk ? count - at : kChunk;
        if (!source.symbols(at, syms, n)) return false;
        for (uint64_t i = 0; i < n && written < functions; ++i) {
            const Elf64_Sym& s = syms[i];
            if (!isFunction(s, strsz)) continue;
            const uint64_t length = nameLength(s.st_name);
            if (length + 2 > size - strx) return false;  // the table changed under the first reading
            nlist_64 entry{};
            entry.n_strx = static_cast<uint32_t>(strx);
            entry.n_type = N_SECT | (ELF64_ST_BIND(s.st_info) == STB_LOCAL ? 0 : N_EXT);
            entry.n_sect = 1;
            entry.n_desc = rank(ELF64_ST_BIND(s.st_info));  // for the sort only
            entry.n_value = elf.bias + s.st_value;
            __builtin_memcpy(out + written * sizeof entry, &entry, sizeof entry);
            ++written;
            strings[strx++] = '_';
            __builtin_memcpy(strings + strx, names + s.st_name, length);
            strx += length;
            strings[strx++] = '\0';
        }
    }
    // The same table read twice: what changed in between is not kept.
    if (written != functions || strx != size) return false;
    sortEntries(out, written, strings);
    for (uint64_t i = 0; i < written; ++i) {
        nlist_64 e;
        __builtin_memcpy(&e, out + i * sizeof e, sizeof e);
        e.n_desc = 0;
        __builtin_memcpy(out + i * sizeof e, &e, sizeof e);
    }
    table->nsyms = static_cast<uint32_t>(written);
    table->strsize = static_cast<uint32_t>(strx);
    table->size = entries + strx;
    return true;
}

}  // namespace

bool loaded_elf_symbols(const loaded_elf& elf, const loaded_elf_file* file, uint8_t* out, uint64_t capacity,
                        loaded_elf_symbol_table* table) {
    *table = loaded_elf_symbol_table{};
    if (file && file->symtab_count > 0 &&
        writeTable(elf, FileSource{file}, file->symtab_count, file->strtab_size, out, capacity, table))
        return true;
    *table = loaded_elf_symbol_table{};
    DynamicTables t;
    uint64_t count = 0;
    if (!readDynamic(elf, &t) || !symbolCount(t, &count)) return false;
    return writeTable(elf, PagesSource{t.symtab, t.strtab}, count, t.strsz, out, capacity, table);
}

}  // namespace platform::system
