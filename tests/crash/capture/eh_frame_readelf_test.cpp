// Our parse of every CIE and FDE of real .eh_frame sections (this test
// program's and the C library's) against what `readelf --debug-dump=frames`
// reads from the same files.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crash/capture/unwind/DwarfFrameInfo.h"
#include "tests/support/ShellTools.h"

namespace {

using namespace ovcrash;
using namespace ovcrash::PKR::async;

// Augmentation letters in one order, whatever order the CIE lists them in.
std::string letters(const std::string &augmentation) {
    std::string out;
    for (char c : std::string("zPLRS"))
        if (augmentation.find(c) != std::string::npos) out += c;
    return out;
}

std::string cieLine(unsigned long offset, int version, const std::string &augmentation, long long codeAlign,
                    long long dataAlign, unsigned long long ra) {
    char line[160];
    std::snprintf(line, sizeof line, "%08lx CIE v%d %s %lld %lld %llu", offset, version, letters(augmentation).c_str(),
                  codeAlign, dataAlign, ra);
    return line;
}

std::string fdeLine(unsigned long offset, unsigned long cie, unsigned long long start, unsigned long long end) {
    char line[160];
    std::snprintf(line, sizeof line, "%08lx FDE cie=%08lx pc=%llx..%llx", offset, cie, start, end);
    return line;
}

std::vector<std::string> readelfFrames(const std::string &path) {
    std::vector<std::string> out;
    std::istringstream listing(qmtest::run({"readelf", "--debug-dump=frames", path}).out);
    static const std::regex cie(R"(^([0-9a-f]{8}) [0-9a-f]+ [0-9a-f]{8} CIE)");
    static const std::regex fde(
        R"(^([0-9a-f]{8}) [0-9a-f]+ [0-9a-f]{8} FDE cie=([0-9a-f]{8}) pc=([0-9a-f]+)\.\.([0-9a-f]+))");
    static const std::regex field(
        R"(^  (Version|Augmentation|Code alignment factor|Data alignment factor|Return address column):\s+\"?([^"]*)\"?)");
    std::smatch m;
    unsigned long cieOffset = 0;
    int fields = -1;
    std::string version, augmentation, codeAlign, dataAlign;
    for (std::string line; std::getline(listing, line);) {
        if (std::regex_search(line, m, cie)) {
            cieOffset = std::stoul(m[1], nullptr, 16);
            fields = 0;
        } else if (std::regex_search(line, m, fde)) {
            out.push_back(fdeLine(std::stoul(m[1], nullptr, 16), std::stoul(m[2], nullptr, 16),
                                  std::stoull(m[3], nullptr, 16), std::stoull(m[4], nullptr, 16)));
        } else if (fields >= 0 && std::regex_search(line, m, field)) {
            const std::string name = m[1], value = m[2];
            if (name == "Version")
                version = value;
            else if (name == "Augmentation")
                augmentation = value;
            else if (name == "Code alignment factor")
                codeAlign = value;
            else if (name == "Data alignment factor")
                dataAlign = value;
            else {
                out.push_back(cieLine(cieOffset, std::stoi(version), augmentation, std::stoll(codeAlign),
                                      std::stoll(dataAlign), std::stoull(value)));
                fields = -1;
            }
        }
    }
    return out;
}

// Every entry of the file's .eh_frame, parsed by our reader.
std::vector<std::string> ourFrames(const std::string &path) {
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(Elf64_Ehdr)) return out;
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
    const char *names = reinterpret_cast<const char *>(file.data() + sections[eh.e_shstrndx].sh_offset);
    for (const Elf64_Shdr &sh : sections) {
        if (std::strcmp(names + sh.sh_name, ".eh_frame") != 0) continue;
        const dwarf_section section{file.data() + sh.sh_offset, sh.sh_addr, sh.sh_size, async_byteorder_native()};
        const gnu_ehptr_reader reader{platform::system::mach_task_self(), true};
        uint64_t offset = 0;
        while (offset + 4 <= section.length) {
            uint32_t length, id;
            dwarf_read_u32(&section, offset, &length);
            if (length == 0) break;
            dwarf_read_u32(&section, offset + 4, &id);
            if (id == 0) {
                async_dwarf_cie_info cie;
                EXPECT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, offset), ASYNC_ESUCCESS) << offset;
                std::string augmentation;
                if (cie.has_eh_augmentation) augmentation += 'z';
                if (cie.personality_address.present) augmentation += 'P';
                if (cie.lsda_encoding.present) augmentation += 'L';
                if (cie.pointer_encoding.present) augmentation += 'R';
                if (cie.signal_frame) augmentation += 'S';
                out.push_back(cieLine(offset, cie.cie_version, augmentation,
                                      static_cast<long long>(cie.code_alignment_factor), cie.data_alignment_factor,
                                      cie.return_address_register));
            } else {
                async_dwarf_fde_info fde;
                async_dwarf_cie_info cie;
                EXPECT_EQ(async_dwarf_fde_info_init(&fde, &cie, &section, &reader, offset, false), ASYNC_ESUCCESS)
                    << offset;
                out.push_back(fdeLine(offset, fde.cie_offset, fde.pc_start, fde.pc_end));
            }
            offset += 4 + uint64_t{length};
        }
    }
    return out;
}

void expectSameFrames(const std::string &path) {
    const std::vector<std::string> ours = ourFrames(path), theirs = readelfFrames(path);
    ASSERT_GT(theirs.size(), 10u) << path;
    EXPECT_EQ(ours.size(), theirs.size()) << path;
    for (size_t i = 0; i < ours.size() && i < theirs.size(); i++)
        ASSERT_EQ(ours[i], theirs[i]) << path << " entry " << i;
}

TEST(EhFrameParse, AgreesWithReadelfOnThisProgram) {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(n, 0);
    expectSameFrames(std::string(path, static_cast<size_t>(n)));
}

TEST(EhFrameParse, AgreesWithReadelfOnTheCLibrary) {
    Dl_info info;
    ASSERT_NE(::dladdr(reinterpret_cast<void *>(&std::printf), &info), 0);
    expectSameFrames(info.dli_fname);
}

}  // namespace
