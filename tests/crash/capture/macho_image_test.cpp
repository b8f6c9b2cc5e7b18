// The Mach-O image reader on constructed images: both widths and byte
// orders, symbol lookup and its edges, and every count, offset and size that
// an image could lie about, checked against what was mapped.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "crash/capture/image/MachOImage.h"
#include "crash/capture/image/SymbolLookup.h"
#include "platform/system/Host.h"
#include "platform/system/MachPort.h"
#include "tests/crash/capture/MachOBuilder.h"

using namespace ovcrash;
namespace ps = platform::system;
using machotest::MachOBuilder;

namespace {

struct Found {
    uint64_t address = 0;
    std::string name;
    int calls = 0;
};

void record(uint64_t address, const char* name, void* ctx) {
    auto* f = static_cast<Found*>(ctx);
    f->address = address;
    f->name = name;
    ++f->calls;
}

// A constructed image read from where it lies in this process.
struct Image {
    std::vector<uint8_t> bytes;
    macho_image image{};
    async_error init = ASYNC_EUNKNOWN;
    explicit Image(const std::vector<uint8_t>& b) : bytes(b) {
        init = macho_image_init(&image, ps::mach_task_self(), "test.dylib", header());
    }
    ~Image() {
        if (init == ASYNC_ESUCCESS) macho_image_free(&image);
    }
    uint64_t header() const { return reinterpret_cast<uint64_t>(bytes.data()); }
    // The address a file value has once loaded.
    uint64_t slid(uint64_t value) const { return value + static_cast<uint64_t>(image.vmaddr_slide); }
    async_error lookup(uint64_t pc, Found* f) const { return macho_find_symbol_by_pc(&image, pc, record, f); }
};

MachOBuilder withSymbols(bool m64, bool swapped) {
    MachOBuilder b;
    b.m64 = m64;
    b.swapped = swapped;
    uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
    b.symbols = {{"_second", text + 0x40},
                 {"_first", text},
                 {"_thumb", text + 0x80, ps::N_SECT | ps::N_EXT, ps::N_ARM_THUMB_DEF}};
    return b;
}

class WidthAndOrder : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(WidthAndOrder, ReadsHeaderCommandsSectionsAndSymbols) {
    auto [m64, swapped] = GetParam();
    MachOBuilder b = withSymbols(m64, swapped);
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);
    EXPECT_EQ(img.image.m64, m64);
    EXPECT_EQ(img.image.header_size, m64 ? 32u : 28u);
    EXPECT_EQ(macho_image_cpu_type(&img.image), m64 ? ps::CPU_TYPE_ARM64 : ps::CPU_TYPE_ARM);
    EXPECT_EQ(img.image.text_vmaddr, b.textVmaddr);
    EXPECT_EQ(img.image.text_size, MachOBuilder::kLinkeditOffset);
    EXPECT_EQ(img.image.vmaddr_slide, static_cast<int64_t>(img.header() - b.textVmaddr));
    EXPECT_TRUE(macho_image_contains_address(&img.image, img.header()));
    EXPECT_FALSE(macho_image_contains_address(&img.image, img.header() + MachOBuilder::kLinkeditOffset));

    uint8_t uuid[16];
    ASSERT_EQ(macho_image_uuid(&img.image, uuid), ASYNC_ESUCCESS);
    EXPECT_EQ(uuid[0], 0xA0);
    EXPECT_EQ(uuid[15], 0xAF);

    async_mobject text;
    ASSERT_EQ(macho_image_map_section(&img.image, "__TEXT", "__text", &text), ASYNC_ESUCCESS);
    EXPECT_EQ(mobject_task_address(&text), img.header() + MachOBuilder::kTextOffset);
    EXPECT_EQ(mobject_length(&text), 0x100u);
    mobject_free(&text);

    Found f;
    uint64_t text0 = b.textVmaddr + MachOBuilder::kTextOffset;
    ASSERT_EQ(img.lookup(img.slid(text0 + 0x50), &f), ASYNC_ESUCCESS);
    EXPECT_EQ(f.name, "_second");
    EXPECT_EQ(f.address, img.slid(text0 + 0x40));
    ASSERT_EQ(img.lookup(img.slid(text0), &f), ASYNC_ESUCCESS);  // a pc equal to a symbol's value
    EXPECT_EQ(f.name, "_first");
    ASSERT_EQ(img.lookup(img.slid(text0 + 0x90), &f), ASYNC_ESUCCESS);
    EXPECT_EQ(f.name, "_thumb");
    EXPECT_EQ(f.address, img.slid(text0 + 0x80) + 1);  // a Thumb function starts at value + 1
    EXPECT_EQ(img.lookup(img.slid(text0 - 1), &f), ASYNC_ENOTFOUND);
}

INSTANTIATE_TEST_SUITE_P(MachOImage, WidthAndOrder, testing::Combine(testing::Bool(), testing::Bool()));

TEST(MachOImage, CandidatesAndTiesFollowThePlatformsRules) {
    MachOBuilder b;
    uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
    b.symbols = {{"_debug", text + 0x30, 0x24 /* a debugging entry */},
                 {"_undefined", text + 0x30, ps::N_EXT},
                 {"_kept", text + 0x20},
                 {"_later_equal", text + 0x20}};
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);
    EXPECT_FALSE(img.image.symtab_sorted);
    Found f;
    ASSERT_EQ(img.lookup(img.slid(text + 0x38), &f), ASYNC_ESUCCESS);
    EXPECT_EQ(f.name, "_kept");
    EXPECT_EQ(f.calls, 1);
}

TEST(MachOImage, GlobalSymbolsAreSearchedBeforeLocalOnes) {
    MachOBuilder b;
    uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
    b.withDysymtab = true;
    b.nlocal = 1;
    b.symbols = {{"_local", text + 0x10, ps::N_SECT}, {"_global", text + 0x10}};
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);
    Found f;
    ASSERT_EQ(img.lookup(img.slid(text + 0x18), &f), ASYNC_ESUCCESS);
    EXPECT_EQ(f.name, "_global");

    // Ranges that end past the symbol count are refused.
    b.build();
    b.put32(b.dysymtabAt + 20, 5);
    Image bad(b.bytes);
    ASSERT_EQ(bad.init, ASYNC_ESUCCESS);
    EXPECT_EQ(bad.lookup(bad.slid(text + 0x18), &f), ASYNC_EINVAL);
}

TEST(MachOImage, SearchByHalvesAgreesWithAFullScan) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 30; ++round) {
        MachOBuilder b;
        uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
        uint64_t value = text;
        for (int i = 0; i < 60; ++i) {
            value += rng() % 3;  // runs of equal values
            uint8_t type = rng() % 5 == 0 ? uint8_t{0x24} : uint8_t(ps::N_SECT | (rng() % 2));
            b.symbols.push_back({"_s" + std::to_string(i), value, type});
        }
        Image img(b.build());
        ASSERT_EQ(img.init, ASYNC_ESUCCESS);
        ASSERT_TRUE(img.image.symtab_sorted);
        for (uint64_t pc = text - 1; pc <= value + 1; ++pc) {
            Found halves, scan;
            async_error e1 = img.lookup(img.slid(pc), &halves);
            img.image.symtab_sorted = false;
            async_error e2 = img.lookup(img.slid(pc), &scan);
            img.image.symtab_sorted = true;
            ASSERT_EQ(e1, e2) << pc;
            ASSERT_EQ(halves.name, scan.name) << pc;
        }
    }
}

TEST(MachOImage, CombinedLookupCutsLongNamesAndHonoursTheStrategy) {
    MachOBuilder b;
    uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
    b.symbols = {{std::string(300, 'n'), text}};
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);
    Found f;
    ASSERT_EQ(async_symbol_lookup(&img.image, SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, img.slid(text + 4), record, &f),
              ASYNC_ESUCCESS);
    EXPECT_EQ(f.name, std::string(255, 'n'));
    EXPECT_EQ(f.address, img.slid(text));
    EXPECT_EQ(async_symbol_lookup(&img.image, 0, nullptr, img.slid(text + 4), record, &f), ASYNC_ENOTFOUND);
    EXPECT_EQ(async_symbol_lookup(&img.image, SYMBOL_STRATEGY_CLASS_METADATA, nullptr, img.slid(text + 4), record, &f),
              ASYNC_ENOTFOUND);
    EXPECT_EQ(f.calls, 1);
}

TEST(MachOImage, AbsentSectionsAndSegmentsAreNotFound) {
    MachOBuilder b;
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);
    async_mobject m;
    EXPECT_EQ(macho_image_map_section(&img.image, "__TEXT", "__unwind_info", &m), ASYNC_ENOTFOUND);
    EXPECT_EQ(macho_image_map_section(&img.image, "__DATA", "__data", &m), ASYNC_ENOTFOUND);
    macho_segment_map seg;
    EXPECT_EQ(macho_image_map_segment(&img.image, "__DATA", &seg), ASYNC_ENOTFOUND);
    // Without a symbol table there is nothing to look up.
    b.put32(b.symtabAt, 0x99);
    Image noSymtab(b.bytes);
    Found f;
    EXPECT_EQ(noSymtab.lookup(noSymtab.header() + 0x400, &f), ASYNC_ENOTFOUND);
}

TEST(MachOImage, HeadersThatCannotBeReadOrAreNotMachOAreRefused) {
    MachOBuilder b;
    b.build();
    b.put32(0, 0x12345678);
    Image notMachO(b.bytes);
    EXPECT_EQ(notMachO.init, ASYNC_EINVAL);

    size_t page = ps::vm_page_size();
    void* gone = ::mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    macho_image image;
    EXPECT_EQ(macho_image_init(&image, ps::mach_task_self(), "x", reinterpret_cast<uint64_t>(gone)), ASYNC_EINTERNAL);
    EXPECT_EQ(image.name, nullptr);
    ::munmap(gone, page);
}

ps::mach_port_urefs_t taskReferences() {
    ps::mach_port_urefs_t refs = 0;
    ps::mach_port_get_refs(ps::mach_task_self(), ps::mach_task_self(), ps::MACH_PORT_RIGHT_SEND, &refs);
    return refs;
}

// An image and each memory object hold a task reference while they live;
// freeing, or failing to read, leaves the task as it was.
TEST(MachOImage, ImagesAndMemoryObjectsGiveBackTheTaskReferenceTheyTake) {
    const auto before = taskReferences();
    {
        Image image(MachOBuilder().build());
        ASSERT_EQ(image.init, ASYNC_ESUCCESS);
        EXPECT_EQ(taskReferences(), before + 2);  // the image and its load commands
        async_mobject text;
        ASSERT_EQ(macho_image_map_section(&image.image, "__TEXT", "__text", &text), ASYNC_ESUCCESS);
        EXPECT_EQ(taskReferences(), before + 3);
        mobject_free(&text);
        EXPECT_EQ(taskReferences(), before + 2);
    }
    EXPECT_EQ(taskReferences(), before);
    MachOBuilder b;
    b.build();
    b.put32(0, 0x12345678);
    Image notMachO(b.bytes);
    EXPECT_EQ(notMachO.init, ASYNC_EINVAL);
    EXPECT_EQ(taskReferences(), before);
}

// Load commands may claim any size: the walk trusts none past the mapping.
TEST(MachOImage, LoadCommandSizesAreCheckedAgainstTheMappedCommands) {
    MachOBuilder b;
    b.build();
    const std::vector<uint8_t> good = b.bytes;

    b.put32(b.linkeditSegAt + 4, 0x10000);  // runs past the commands: the walk ends there
    Image longCmd(b.bytes);
    ASSERT_EQ(longCmd.init, ASYNC_ESUCCESS);
    EXPECT_EQ(macho_image_find_segment(&longCmd.image, "__LINKEDIT"), nullptr);
    EXPECT_EQ(macho_image_find_command(&longCmd.image, ps::LC_SYMTAB), nullptr);

    b.bytes = good;
    b.put32(b.linkeditSegAt + 4, 4);  // below 8: the walk ends
    Image shortCmd(b.bytes);
    ASSERT_EQ(shortCmd.init, ASYNC_ESUCCESS);
    EXPECT_EQ(macho_image_find_command(&shortCmd.image, ps::LC_UUID), nullptr);

    b.bytes = good;
    b.put32(b.textSegAt + 4, 0x7FFFFFF0);  // __TEXT itself unreadable as a whole
    EXPECT_EQ(Image(b.bytes).init, ASYNC_EINVAL);

    b.bytes = good;
    b.put32(b.textSegAt + 4, 40);  // smaller than a segment command
    EXPECT_EQ(Image(b.bytes).init, ASYNC_EINVAL);

    b.bytes = good;
    b.put32(b.sizeofcmdsAt, 6);  // too short for any command
    EXPECT_EQ(Image(b.bytes).init, ASYNC_EINVAL);

    b.bytes = good;
    b.put32(b.textSegAt + 64, 1000);  // more section headers than the command holds
    Image manySects(b.bytes);
    ASSERT_EQ(manySects.init, ASYNC_ESUCCESS);
    async_mobject m;
    EXPECT_EQ(macho_image_map_section(&manySects.image, "__TEXT", "__absent", &m), ASYNC_EINVAL);
}

TEST(MachOImage, SymbolAndStringTablesOutsideLinkeditAreRefused) {
    MachOBuilder b;
    uint64_t text = b.textVmaddr + MachOBuilder::kTextOffset;
    b.symbols = {{"_only", text}};
    b.build();
    const std::vector<uint8_t> good = b.bytes;
    struct Case {
        size_t field;  // offset in LC_SYMTAB
        uint32_t value;
        async_error expected;
    } cases[] = {
        {8, MachOBuilder::kLinkeditOffset - 16, ASYNC_EINTERNAL},  // symbols below __LINKEDIT
        {12, 0x10000001, ASYNC_EINTERNAL},                         // count past its end; 32-bit size wraps
        {8, 0xFFFFFFF0, ASYNC_EINTERNAL},                          // offset whose 32-bit sum wraps
        {16, 0x7FFFFFFF, ASYNC_EINTERNAL},                         // strings past the end
        {20, 0xFFFFFFFF, ASYNC_EINTERNAL},                         // string size past the end
        {20, 4, ASYNC_EINVAL},                                     // the name has no NUL inside the table
    };
    for (const Case& c : cases) {
        b.bytes = good;
        b.put32(b.symtabAt + c.field, c.value);
        Image img(b.bytes);
        ASSERT_EQ(img.init, ASYNC_ESUCCESS);
        Found f;
        EXPECT_EQ(img.lookup(img.slid(text), &f), c.expected) << c.field << "=" << c.value;
        EXPECT_EQ(f.calls, 0);
    }
    b.bytes = good;
    b.put32(MachOBuilder::kLinkeditOffset, 0xFFFF);  // string index past the table
    Image farName(b.bytes);
    Found f;
    EXPECT_EQ(farName.lookup(farName.slid(text), &f), ASYNC_EINVAL);
}

// Pages of which the last is unreadable.
struct Pages {
    size_t page = ps::vm_page_size();
    size_t count;
    uint8_t* base;
    Pages(size_t readable, uint8_t fill) : count(readable + 1) {
        base = static_cast<uint8_t*>(
            ::mmap(nullptr, count * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, fill, readable * page);
        ::mprotect(base + readable * page, page, PROT_NONE);
    }
    ~Pages() { ::munmap(base, count * page); }
    uint64_t at(size_t offset) const { return reinterpret_cast<uint64_t>(base) + offset; }
};

TEST(MemoryObject, RangesThatWrapOrRoundPastTheTopAreRefused) {
    async_mobject m;
    task_t self = ps::mach_task_self();
    EXPECT_EQ(mobject_init(&m, self, UINT64_MAX - 0x10, 0x20, false), ASYNC_EINVAL);
    EXPECT_EQ(mobject_init(&m, self, UINT64_MAX - 10, 5, false), ASYNC_EINVAL);  // its end rounds past the top
    EXPECT_EQ(mobject_init(&m, self, 0x1000, 0, false), ASYNC_EINVAL);
}

TEST(MemoryObject, EndsAtTheFirstUnreadablePageUnlessAllIsRequired) {
    Pages p(1, 'x');
    async_mobject m;
    task_t self = ps::mach_task_self();
    ASSERT_EQ(mobject_init(&m, self, p.at(10), 2 * p.page, false), ASYNC_ESUCCESS);
    EXPECT_EQ(mobject_length(&m), p.page - 10);
    EXPECT_NE(mobject_remap_address(&m, p.at(10), 0, p.page - 10), nullptr);
    EXPECT_EQ(mobject_remap_address(&m, p.at(10), 0, p.page - 9), nullptr);
    EXPECT_EQ(mobject_remap_address(&m, p.at(10), -1, 1), nullptr);
    EXPECT_EQ(mobject_remap_address(&m, p.at(10), INT64_MAX, 1), nullptr);
    EXPECT_EQ(mobject_verify_local_pointer(&m, m.address, INT64_MIN, 1), nullptr);
    uint32_t v;
    EXPECT_EQ(mobject_read_uint32(&m, async_byteorder_native(), p.at(p.page - 4), 0, &v), ASYNC_ESUCCESS);
    EXPECT_EQ(v, 0x78787878u);
    EXPECT_EQ(mobject_read_uint32(&m, async_byteorder_native(), p.at(p.page - 3), 0, &v), ASYNC_EINVAL);
    mobject_free(&m);
    EXPECT_EQ(mobject_init(&m, self, p.at(10), 2 * p.page, true), ASYNC_ENOMEM);
    EXPECT_EQ(mobject_init(&m, self, p.at(p.page), 10, false), ASYNC_ENOMEM);
}

TEST(MachOString, MapsMorePagesUntilItsEndButNotWithoutBound) {
    MachOBuilder b;
    Image img(b.build());
    ASSERT_EQ(img.init, ASYNC_ESUCCESS);

    Pages across(3, 'a');
    across.base[2 * across.page + 5] = '\0';
    macho_string s;
    macho_string_init(&s, &img.image, across.at(100));
    uint64_t length = 0;
    ASSERT_EQ(macho_string_length(&s, &length), ASYNC_ESUCCESS);
    EXPECT_EQ(length, 2 * across.page + 5 - 100);
    const char* p = nullptr;
    ASSERT_EQ(macho_string_pointer(&s, &p), ASYNC_ESUCCESS);
    EXPECT_EQ(std::string(p), std::string(length, 'a'));
    macho_string_free(&s);

    Pages unterminated(2, 'b');  // runs into an unreadable page
    macho_string_init(&s, &img.image, unterminated.at(0));
    EXPECT_EQ(macho_string_length(&s, &length), ASYNC_EINVAL);
    macho_string_free(&s);

    Pages endless(40, 'c');  // readable, but no NUL for 40 pages
    macho_string_init(&s, &img.image, endless.at(0));
    EXPECT_EQ(macho_string_length(&s, &length), ASYNC_EINVAL);
    EXPECT_EQ(macho_string_pointer(&s, &p), ASYNC_EINVAL);
    macho_string_free(&s);
}

}  // namespace
