#pragma once
// Builds small Mach-O images in memory for the image reader's tests and seed
// inputs: a header, a __TEXT segment (with __text and __eh_frame), a
// __LINKEDIT segment holding the symbol and string tables, LC_UUID, LC_SYMTAB
// and optionally LC_DYSYMTAB, in either width and byte order. The offsets of
// what tests corrupt are kept after build().
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system/MachO.h"

namespace machotest {

namespace ps = platform::system;

struct Symbol {
    std::string name;
    uint64_t value;  // unslid, as in the file
    uint8_t type = ps::N_SECT | ps::N_EXT;
    uint16_t desc = 0;
};

struct MachOBuilder {
    bool m64 = true;
    bool swapped = false;
    uint64_t textVmaddr = 0x100000;
    std::vector<Symbol> symbols;
    bool withDysymtab = false;
    uint32_t nlocal = 0;  // with LC_DYSYMTAB: the first nlocal symbols are local, the rest external

    static constexpr uint64_t kTextOffset = 0x400;  // __text
    static constexpr uint64_t kEhFrameOffset = 0x600;
    static constexpr uint64_t kLinkeditOffset = 0x800;

    // Offsets in the built image.
    size_t sizeofcmdsAt = 0, textSegAt = 0, linkeditSegAt = 0, symtabAt = 0, dysymtabAt = 0, uuidAt = 0;
    std::vector<uint8_t> bytes;

    uint64_t entrySize() const { return m64 ? 16 : 12; }

    void put16(size_t at, uint16_t v) { putN(at, v, 2); }
    void put32(size_t at, uint32_t v) { putN(at, v, 4); }
    void put64(size_t at, uint64_t v) { putN(at, v, 8); }
    void putWord(size_t at, uint64_t v) { m64 ? put64(at, v) : put32(at, static_cast<uint32_t>(v)); }
    void putName(size_t at, const char* name) { std::strncpy(reinterpret_cast<char*>(&bytes[at]), name, 16); }

    const std::vector<uint8_t>& build() {
        const size_t headerSize = m64 ? 32 : 28, segSize = m64 ? 72 : 56, sectSize = m64 ? 80 : 68;
        std::string strings(1, '\0');
        std::vector<uint32_t> strx;
        for (const Symbol& s : symbols) {
            strx.push_back(static_cast<uint32_t>(strings.size()));
            strings += s.name;
            strings += '\0';
        }
        const uint64_t symoff = kLinkeditOffset, stroff = symoff + symbols.size() * entrySize();
        bytes.assign(stroff + strings.size(), 0);

        size_t at = headerSize;
        textSegAt = at;
        put32(at, m64 ? ps::LC_SEGMENT_64 : ps::LC_SEGMENT);
        put32(at + 4, static_cast<uint32_t>(segSize + 2 * sectSize));
        putName(at + 8, "__TEXT");
        putWord(at + 24, textVmaddr);
        putWord(at + (m64 ? 32 : 28), kLinkeditOffset);  // vmsize
        putWord(at + (m64 ? 48 : 36), kLinkeditOffset);  // filesize
        put32(at + (m64 ? 64 : 48), 2);                  // nsects
        const char* names[] = {"__text", "__eh_frame"};
        const uint64_t offs[] = {kTextOffset, kEhFrameOffset};
        for (int i = 0; i < 2; ++i) {
            size_t s = at + segSize + i * sectSize;
            putName(s, names[i]);
            putName(s + 16, "__TEXT");
            putWord(s + 32, textVmaddr + offs[i]);
            putWord(s + (m64 ? 40 : 36), 0x100);
        }
        at += segSize + 2 * sectSize;

        linkeditSegAt = at;
        put32(at, m64 ? ps::LC_SEGMENT_64 : ps::LC_SEGMENT);
        put32(at + 4, static_cast<uint32_t>(segSize));
        putName(at + 8, "__LINKEDIT");
        putWord(at + 24, textVmaddr + kLinkeditOffset);
        putWord(at + (m64 ? 32 : 28), bytes.size() - kLinkeditOffset);
        putWord(at + (m64 ? 40 : 32), kLinkeditOffset);  // fileoff
        putWord(at + (m64 ? 48 : 36), bytes.size() - kLinkeditOffset);
        at += segSize;

        uuidAt = at;
        put32(at, ps::LC_UUID);
        put32(at + 4, 24);
        for (int i = 0; i < 16; ++i) bytes[at + 8 + i] = static_cast<uint8_t>(0xA0 + i);
        at += 24;

        symtabAt = at;
        put32(at, ps::LC_SYMTAB);
        put32(at + 4, 24);
        put32(at + 8, static_cast<uint32_t>(symoff));
        put32(at + 12, static_cast<uint32_t>(symbols.size()));
        put32(at + 16, static_cast<uint32_t>(stroff));
        put32(at + 20, static_cast<uint32_t>(strings.size()));
        at += 24;
        uint32_t ncmds = 4;

        if (withDysymtab) {
            dysymtabAt = at;
            put32(at, ps::LC_DYSYMTAB);
            put32(at + 4, 80);
            put32(at + 8, 0);
            put32(at + 12, nlocal);
            put32(at + 16, nlocal);
            put32(at + 20, static_cast<uint32_t>(symbols.size()) - nlocal);
            at += 80;
            ++ncmds;
        }

        put32(0, m64 ? ps::MH_MAGIC_64 : ps::MH_MAGIC);  // swapped: the other magic, as read
        put32(4, static_cast<uint32_t>(m64 ? ps::CPU_TYPE_ARM64 : ps::CPU_TYPE_ARM));
        put32(8, m64 ? 0 : 9);
        put32(12, ps::MH_DYLIB);
        put32(16, ncmds);
        sizeofcmdsAt = 20;
        put32(20, static_cast<uint32_t>(at - headerSize));

        for (size_t i = 0; i < symbols.size(); ++i) {
            size_t e = symoff + i * entrySize();
            put32(e, strx[i]);
            bytes[e + 4] = symbols[i].type;
            bytes[e + 5] = 1;
            put16(e + 6, symbols[i].desc);
            putWord(e + 8, symbols[i].value);
        }
        std::memcpy(&bytes[stroff], strings.data(), strings.size());
        return bytes;
    }

private:
    void putN(size_t at, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            int shift = swapped ? (n - 1 - i) * 8 : i * 8;
            bytes[at + i] = static_cast<uint8_t>(v >> shift);
        }
    }
};

}  // namespace machotest
