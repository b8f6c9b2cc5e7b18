// The Mach-O view of a real library, held against what readelf reads from
// the same file: the sections, the build-id, the read-only span and every
// function symbol.
#include <gtest/gtest.h>

#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "platform/system/MachO.h"
#include "platform/system/MachOView.h"
#include "tests/support/ShellTools.h"

namespace ps = platform::system;

namespace {

struct Found {
    dl_phdr_info info{};
    std::string path;
};

int findLibc(dl_phdr_info* info, size_t, void* data) {
    auto* found = static_cast<Found*>(data);
    if (info->dlpi_name && std::strstr(info->dlpi_name, "/libc.so")) {
        found->info = *info;
        found->path = info->dlpi_name;
        return 1;
    }
    return 0;
}

uint64_t hex(const std::string& s) { return std::stoull(s, nullptr, 16); }

// readelf's function symbols of the table the view reads (.symtab when the
// file has one, else .dynsym), as (address, name) without version suffixes.
std::set<std::pair<uint64_t, std::string>> readelfFunctions(const std::string& path) {
    std::string all = qmtest::run({"readelf", "-sW", path}).out;
    const bool hasSymtab = all.find("Symbol table '.symtab'") != std::string::npos;
    const std::string table = hasSymtab ? ".symtab" : ".dynsym";
    std::set<std::pair<uint64_t, std::string>> out;
    std::istringstream lines(all);
    std::string line;
    bool inTable = false;
    const std::regex row(R"(^\s*\d+:\s+([0-9a-f]+)\s+\S+\s+(\w+)\s+\w+\s+\w+\s+(?:\[[^\]]*\]\s+)?(\w+)\s+(\S+))");
    while (std::getline(lines, line)) {
        if (line.rfind("Symbol table '", 0) == 0) inTable = line.find("'" + table + "'") != std::string::npos;
        std::smatch m;
        if (!inTable || !std::regex_search(line, m, row)) continue;
        const std::string type = m[2], ndx = m[3];
        if ((type != "FUNC" && type != "IFUNC") || ndx == "UND" || ndx == "ABS" || ndx == "COM") continue;
        uint64_t value = hex(m[1]);
        std::string name = m[4].str().substr(0, m[4].str().find('@'));
        if (value != 0 && !name.empty()) out.insert({value, name});
    }
    return out;
}

}  // namespace

TEST(MachOView, TheViewOfTheCLibraryMatchesReadelf) {
    if (!qmtest::have("readelf")) GTEST_SKIP() << "readelf is not installed";
    Found libc;
    ASSERT_EQ(dl_iterate_phdr(findLibc, &libc), 1) << "the C library is not loaded";
    ps::MachOView view;
    std::string error;
    ASSERT_TRUE(ps::buildMachOView(libc.info, libc.path, &view, &error)) << error;
    const uint64_t bias = libc.info.dlpi_addr;

    // The header and load commands as the image reader walks them.
    ps::mach_header_64 header;
    ASSERT_GE(view.commands.size(), sizeof header);
    std::memcpy(&header, view.commands.data(), sizeof header);
    EXPECT_EQ(header.magic, ps::MH_MAGIC_64);
    EXPECT_EQ(header.filetype, ps::MH_DYLIB);
    ASSERT_EQ(header.sizeofcmds, view.commands.size() - sizeof header);
    ps::segment_command_64 text{};
    std::map<std::string, ps::section_64> sections;
    ps::symtab_command symtab{};
    const uint8_t* uuid = nullptr;
    size_t at = sizeof header;
    for (uint32_t i = 0; i < header.ncmds; ++i) {
        ps::load_command lc;
        ASSERT_LE(at + sizeof lc, view.commands.size());
        std::memcpy(&lc, view.commands.data() + at, sizeof lc);
        const uint8_t* p = view.commands.data() + at;
        if (lc.cmd == ps::LC_SEGMENT_64) {
            ps::segment_command_64 seg;
            std::memcpy(&seg, p, sizeof seg);
            if (std::string(seg.segname, strnlen(seg.segname, 16)) == "__TEXT") {
                text = seg;
                for (uint32_t s = 0; s < seg.nsects; ++s) {
                    ps::section_64 sect;
                    std::memcpy(&sect, p + sizeof seg + s * sizeof sect, sizeof sect);
                    sections[std::string(sect.sectname, strnlen(sect.sectname, 16))] = sect;
                }
            }
        } else if (lc.cmd == ps::LC_SYMTAB) {
            std::memcpy(&symtab, p, sizeof symtab);
        } else if (lc.cmd == ps::LC_UUID) {
            uuid = p + offsetof(ps::uuid_command, uuid);
        }
        at += lc.cmdsize;
    }

    // Sections: __text over .text, the unwind tables over theirs.
    std::string sectionHeaders = qmtest::run({"readelf", "-SW", libc.path}).out;
    const std::pair<const char*, const char*> names[] = {
        {"__text", ".text"}, {"__eh_frame", ".eh_frame"}, {"__eh_frame_hdr", ".eh_frame_hdr"}};
    for (auto [ours, theirs] : names) {
        std::smatch m;
        std::regex row(std::string(R"(\]\s+)") + std::regex_replace(theirs, std::regex(R"(\.)"), R"(\.)") +
                       R"(\s+\w+\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+))");
        ASSERT_TRUE(std::regex_search(sectionHeaders, m, row)) << theirs;
        ASSERT_TRUE(sections.count(ours)) << ours;
        EXPECT_EQ(sections[ours].addr, bias + hex(m[1])) << ours;
        EXPECT_EQ(sections[ours].size, hex(m[2])) << ours;
        EXPECT_GE(sections[ours].addr, text.vmaddr) << ours;
        EXPECT_LE(sections[ours].addr + sections[ours].size, text.vmaddr + text.vmsize) << ours;
    }

    // __TEXT from the first loaded page to the end of the last read-only one.
    std::string programHeaders = qmtest::run({"readelf", "-lW", libc.path}).out;
    const std::regex load(R"(LOAD\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(R?W?E?))");
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t lo = UINT64_MAX, readOnlyEnd = 0;
    for (std::sregex_iterator it(programHeaders.begin(), programHeaders.end(), load), end; it != end; ++it) {
        uint64_t vaddr = hex((*it)[1]), memsz = hex((*it)[2]);
        lo = std::min(lo, vaddr & ~(page - 1));
        if ((*it)[3].str().find('W') == std::string::npos)
            readOnlyEnd = std::max(readOnlyEnd, (vaddr + memsz + page - 1) & ~(page - 1));
    }
    ASSERT_NE(lo, UINT64_MAX);
    EXPECT_EQ(text.vmaddr, bias + lo);
    EXPECT_EQ(text.vmaddr + text.vmsize, bias + readOnlyEnd);

    // LC_UUID: the first 16 bytes of the build-id.
    std::smatch id;
    std::string notes = qmtest::run({"readelf", "-nW", libc.path}).out;
    if (std::regex_search(notes, id, std::regex(R"(Build ID: ([0-9a-f]{32}))"))) {
        ASSERT_NE(uuid, nullptr);
        char ours[33];
        for (int i = 0; i < 16; ++i) std::snprintf(ours + 2 * i, 3, "%02x", uuid[i]);
        EXPECT_EQ(std::string(ours), id[1].str().substr(0, 32));
    }

    // Every function symbol, at its loaded address, with a leading "_".
    std::set<std::pair<uint64_t, std::string>> ours;
    ASSERT_EQ(symtab.nsyms, view.symbolCount);
    for (uint32_t i = 0; i < symtab.nsyms; ++i) {
        ps::nlist_64 n;
        std::memcpy(&n, view.linkedit.data() + i * sizeof n, sizeof n);
        const char* name = reinterpret_cast<const char*>(view.linkedit.data() + symtab.nsyms * sizeof n + n.n_strx);
        ASSERT_EQ(name[0], '_');
        ours.insert({n.n_value - bias, name + 1});
    }
    const auto theirs = readelfFunctions(libc.path);
    EXPECT_GT(theirs.size(), 100u);
    EXPECT_EQ(ours, theirs);
}
