// The compact unwind reader on __unwind_info sections the tests build: the
// two-level lookup, every mode of the three processor types, the applier on
// a stack laid out in memory, and the reader over an image in the image list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/unwind/CompactUnwind.h"
#include "tests/crash/capture/UnwindInfoBuilder.h"

namespace {

using namespace ovcrash;
namespace ps = platform::system;
using unwindtest::Bytes;
using unwindtest::Page;
using unwindtest::UnwindInfo;

const task_t self = ps::mach_task_self();

async_mobject objectOver(const Bytes &b) {
    async_mobject m{};
    m.task = self;
    m.address = reinterpret_cast<uintptr_t>(b.data());
    m.task_address = reinterpret_cast<uint64_t>(b.data());
    m.length = b.size();
    return m;
}

struct Lookup {
    Bytes bytes;
    async_mobject object;
    compact_unwind_reader reader;
    async_error init;

    explicit Lookup(const UnwindInfo &info, ps::cpu_type_t cpu = ps::CPU_TYPE_X86_64)
        : bytes(info.build()), object(objectOver(bytes)) {
        init = compact_unwind_reader_init(&reader, &object,
                                          info.swapped ? &async_byteorder_swapped : async_byteorder_native(), cpu);
    }
    async_error find(uint64_t pc, uint32_t *base, uint32_t *encoding) {
        return compact_unwind_find_pc(&reader, pc, base, encoding);
    }
};

UnwindInfo twoPages() {
    UnwindInfo info;
    info.common = {0x01000000, 0x02000000};
    Page compressed;
    compressed.compressed = true;
    compressed.entries = {{0, 0}, {0x100, 2}, {0x200, 4}};  // common 0, local 0, one past the locals
    compressed.localEncodings = {0x04000123, 0x04000456};
    Page regular;
    regular.entries = {{0x3000, 0x01000001}, {0x3400, 0x01000002}};
    info.index = {{0x1000, compressed}, {0x3000, regular}};
    info.sentinel = 0x5000;
    return info;
}

TEST(CompactUnwindLookup, FindsTheFunctionInEitherPageKind) {
    Lookup l(twoPages());
    ASSERT_EQ(l.init, ASYNC_ESUCCESS);
    uint32_t base, encoding;
    ASSERT_EQ(l.find(0x1000, &base, &encoding), ASYNC_ESUCCESS);  // a function's first byte
    EXPECT_EQ(base, 0x1000u);
    EXPECT_EQ(encoding, 0x01000000u);
    ASSERT_EQ(l.find(0x10ff, &base, &encoding), ASYNC_ESUCCESS);
    EXPECT_EQ(base, 0x1000u);
    // The index just past the common encodings picks the page's first own one.
    ASSERT_EQ(l.find(0x1100, &base, &encoding), ASYNC_ESUCCESS);
    EXPECT_EQ(base, 0x1100u);
    EXPECT_EQ(encoding, 0x04000123u);
    EXPECT_EQ(l.find(0x1200, &base, &encoding), ASYNC_EINVAL);  // beyond the page's own encodings
    EXPECT_EQ(l.find(0x0fff, &base, &encoding), ASYNC_ENOTFOUND);
    ASSERT_EQ(l.find(0x33ff, &base, &encoding), ASYNC_ESUCCESS);
    EXPECT_EQ(base, 0x3000u);
    EXPECT_EQ(encoding, 0x01000001u);
    // Above the last real index entry: still that entry's page.
    ASSERT_EQ(l.find(0x9000, &base, &encoding), ASYNC_ESUCCESS);
    EXPECT_EQ(base, 0x3400u);
    EXPECT_EQ(encoding, 0x01000002u);
    EXPECT_EQ(l.find(0x1'0000'0000, &base, &encoding), ASYNC_ENOTFOUND);
}

TEST(CompactUnwindLookup, ReadsTheHeaderInTheImagesByteOrder) {
    UnwindInfo info = twoPages();
    info.swapped = true;
    Lookup l(info);
    ASSERT_EQ(l.init, ASYNC_ESUCCESS);
    EXPECT_EQ(l.reader.header.index_count, 3u);
    uint32_t base, encoding;
    ASSERT_EQ(l.find(0x1100, &base, &encoding), ASYNC_ESUCCESS);
    EXPECT_EQ(encoding, 0x04000123u);
}

TEST(CompactUnwindLookup, RefusesTablesItCannotTrust) {
    UnwindInfo info = twoPages();
    info.version = 2;
    EXPECT_EQ(Lookup(info).init, ASYNC_ENOTSUP);
    EXPECT_EQ(Lookup(twoPages(), ps::CPU_TYPE_ARM).init, ASYNC_ENOTSUP);
    Bytes shortHeader(20, 0);
    async_mobject m = objectOver(shortHeader);
    compact_unwind_reader reader;
    EXPECT_EQ(compact_unwind_reader_init(&reader, &m, async_byteorder_native(), ps::CPU_TYPE_X86), ASYNC_EINVAL);

    uint32_t base, encoding;
    UnwindInfo sentinelOnly;
    Lookup one(sentinelOnly);  // an index of one entry: the sentinel alone
    ASSERT_EQ(one.init, ASYNC_ESUCCESS);
    EXPECT_EQ(one.find(0, &base, &encoding), ASYNC_ENOTFOUND);

    Lookup bad(twoPages());
    bad.reader.header.index_count = 0;
    EXPECT_EQ(bad.find(0x1000, &base, &encoding), ASYNC_ENOTFOUND);
    bad.reader.header.index_count = 1000;  // runs past the section
    EXPECT_EQ(bad.find(0x1000, &base, &encoding), ASYNC_EINVAL);
    bad.reader.header.index_count = 3;
    bad.reader.header.common_encodings_count = 0x40000000;
    EXPECT_EQ(bad.find(0x1000, &base, &encoding), ASYNC_EINVAL);

    Lookup kind(twoPages());
    const uint32_t page = kind.reader.header.index_offset + 4;
    uint32_t pageAt;
    std::memcpy(&pageAt, &kind.bytes[page], 4);
    kind.bytes[pageAt] = 7;  // no such page kind
    EXPECT_EQ(kind.find(0x1000, &base, &encoding), ASYNC_EINVAL);
    kind.bytes[pageAt] = 3;
    kind.bytes[pageAt + 6] = 0xff;  // more entries than the section holds
    EXPECT_EQ(kind.find(0x1000, &base, &encoding), ASYNC_EINVAL);
}

compact_unwind_entry decode(ps::cpu_type_t cpu, uint32_t encoding, async_error expected = ASYNC_ESUCCESS) {
    compact_unwind_entry e;
    EXPECT_EQ(compact_unwind_entry_init(&e, cpu, encoding), expected) << std::hex << encoding;
    return e;
}

std::vector<uint32_t> registers(const compact_unwind_entry &e) {
    return {e.register_list, e.register_list + e.register_count};
}

constexpr uint32_t X(uint32_t n) { return ARM64_REG_X0 + n; }
constexpr uint32_t R(uint32_t n) { return X86_64_REG_R8 + (n - 8); }
constexpr uint32_t kNone = COMPACT_UNWIND_NO_REGISTER;

TEST(CompactUnwindEncoding, Arm64Modes) {
    EXPECT_EQ(decode(ps::CPU_TYPE_ARM64, 0).kind, COMPACT_UNWIND_NONE);
    compact_unwind_entry e = decode(ps::CPU_TYPE_ARM64, 0x03000123);
    EXPECT_EQ(e.kind, COMPACT_UNWIND_DWARF);
    EXPECT_EQ(e.stack_offset, 0x123);
    e = decode(ps::CPU_TYPE_ARM64, 0x02010000);
    EXPECT_EQ(e.kind, COMPACT_UNWIND_FRAMELESS_IMMD);
    EXPECT_EQ(e.stack_offset, 256);
    EXPECT_EQ(e.return_address_register, ARM64_REG_LR);
    e = decode(ps::CPU_TYPE_ARM64, 0x04000011);
    EXPECT_EQ(e.kind, COMPACT_UNWIND_FRAME);
    EXPECT_EQ(registers(e), (std::vector<uint32_t>{X(28), X(27), X(20), X(19)}));
    EXPECT_EQ(e.stack_offset, -32);
    e = decode(ps::CPU_TYPE_ARM64, 0x0400001f);
    EXPECT_EQ(e.register_count, 10u);
    decode(ps::CPU_TYPE_ARM64, 0x01000000, ASYNC_ENOTSUP);
    decode(ps::CPU_TYPE_ARM, 0x04000000, ASYNC_ENOTSUP);
}

TEST(CompactUnwindEncoding, X86FramePointerMode) {
    compact_unwind_entry e = decode(ps::CPU_TYPE_X86_64, 0x01020001 | (5 << 3));  // rbx, r15 at rbp-16
    EXPECT_EQ(e.kind, COMPACT_UNWIND_FRAME);
    EXPECT_EQ(e.stack_offset, -16);
    EXPECT_EQ(registers(e), (std::vector<uint32_t>{X86_64_REG_RBX, R(15)}));
    e = decode(ps::CPU_TYPE_X86_64, 0x01010000 | (2 << 3));  // an empty slot below r12
    EXPECT_EQ(registers(e), (std::vector<uint32_t>{kNone, R(12)}));
    e = decode(ps::CPU_TYPE_X86, 0x01010000 | 1 | (5 << 3) | (3 << 6));  // ebx, esi, edx
    EXPECT_EQ(e.stack_offset, -4);
    EXPECT_EQ(registers(e), (std::vector<uint32_t>{X86_REG_EBX, X86_REG_ESI, X86_REG_EDX}));
    decode(ps::CPU_TYPE_X86_64, 0x01000007, ASYNC_EINVAL);  // register code 7
    e = decode(ps::CPU_TYPE_X86_64, 0x04000456);
    EXPECT_EQ(e.kind, COMPACT_UNWIND_DWARF);
    EXPECT_EQ(e.stack_offset, 0x456);
    EXPECT_EQ(decode(ps::CPU_TYPE_X86, 0).kind, COMPACT_UNWIND_NONE);
    decode(ps::CPU_TYPE_X86_64, 0x05000000, ASYNC_ENOTSUP);
}

uint32_t frameless(uint32_t mode, uint32_t size, uint32_t count, uint32_t permutation, uint32_t adjust = 0) {
    return (mode << 24) | (size << 16) | (adjust << 13) | (count << 10) | permutation;
}

TEST(CompactUnwindEncoding, X86FramelessPermutations) {
    struct Case {
        uint32_t count, permutation;
        std::vector<uint32_t> registers;
    } cases[] = {
        {0, 0, {}},
        {1, 2, {R(13)}},
        {2, 25, {REG_FP, X86_64_REG_RBX}},
        {3, 82, {R(15), X86_64_REG_RBX, R(14)}},
        {4, 74, {R(12), R(13), X86_64_REG_RBX, REG_FP}},
        {5, 719, {REG_FP, R(15), R(14), R(13), R(12)}},
        {6, 0, {X86_64_REG_RBX, R(12), R(13), R(14), R(15), REG_FP}},
    };
    for (const Case &c : cases) {
        compact_unwind_entry e = decode(ps::CPU_TYPE_X86_64, frameless(2, 3, c.count, c.permutation));
        EXPECT_EQ(e.kind, COMPACT_UNWIND_FRAMELESS_IMMD);
        EXPECT_EQ(e.stack_offset, 24);
        EXPECT_EQ(registers(e), c.registers) << c.count;
    }
    compact_unwind_entry e = decode(ps::CPU_TYPE_X86, frameless(2, 3, 6, 0));
    EXPECT_EQ(e.stack_offset, 12);
    EXPECT_EQ(registers(e),
              (std::vector<uint32_t>{X86_REG_EBX, X86_REG_ECX, X86_REG_EDX, X86_REG_EDI, X86_REG_ESI, REG_FP}));
    e = decode(ps::CPU_TYPE_X86_64, frameless(3, 9, 1, 0, 3));
    EXPECT_EQ(e.kind, COMPACT_UNWIND_FRAMELESS_INDIRECT);
    EXPECT_EQ(e.stack_offset, 9);
    EXPECT_EQ(e.stack_adjust, 24u);
    e = decode(ps::CPU_TYPE_X86, frameless(3, 9, 0, 0, 3));
    EXPECT_EQ(e.stack_adjust, 12u);

    decode(ps::CPU_TYPE_X86_64, frameless(2, 1, 7, 0), ASYNC_EINVAL);  // more than six registers
    decode(ps::CPU_TYPE_X86_64, frameless(2, 1, 1, 6), ASYNC_EINVAL);  // a digit past the codes
    decode(ps::CPU_TYPE_X86_64, frameless(2, 1, 2, 30), ASYNC_EINVAL);
    decode(ps::CPU_TYPE_X86_64, frameless(2, 1, 6, 720), ASYNC_EINVAL);
}

// A stack growing down in a local array, and the registers around it.
struct Machine {
    uint64_t stack[64] = {};
    thread_state current, next;
    Machine(uint32_t flavor = X86_THREAD_STATE64) {
        std::memset(&current, 0, sizeof current);
        current.ts.flavor = flavor;
        current.register_size = flavor == ARM_THREAD_STATE32 ? 4 : 8;
        current.stack_direction = STACK_DIRECTION_DOWN;
    }
    uint64_t at(int i) const { return reinterpret_cast<uint64_t>(&stack[i]); }
    async_error apply(uint32_t encoding, uint64_t function = 0) {
        compact_unwind_entry e;
        const ps::cpu_type_t cpu = current.ts.flavor == X86_THREAD_STATE64 ? ps::CPU_TYPE_X86_64 : ps::CPU_TYPE_ARM64;
        async_error err = compact_unwind_entry_init(&e, cpu, encoding);
        return err != ASYNC_ESUCCESS ? err : compact_unwind_entry_apply(self, function, &current, &e, &next);
    }
    uint64_t get(uint32_t reg) const { return thread_state_get_register(&next, reg); }
};

TEST(CompactUnwindApply, FramePointerFrames) {
    Machine m;
    m.stack[10] = m.at(20);  // caller's rbp
    m.stack[11] = 0x401000;  // return address
    m.stack[9] = 99;         // rbx, saved at rbp-8
    thread_state_set_register(&m.current, REG_FP, m.at(10));
    thread_state_set_register(&m.current, X86_64_REG_RAX, 5);
    ASSERT_EQ(m.apply(0x01010001), ASYNC_ESUCCESS);
    EXPECT_EQ(m.get(REG_IP), 0x401000u);
    EXPECT_EQ(m.get(REG_FP), m.at(20));
    EXPECT_EQ(m.get(REG_SP), m.at(12));
    EXPECT_EQ(m.get(X86_64_REG_RBX), 99u);
    EXPECT_FALSE(thread_state_has_register(&m.next, X86_64_REG_RAX));

    Machine arm(ARM_THREAD_STATE64);
    arm.stack[10] = arm.at(20);
    arm.stack[11] = 0x402000;
    for (int i = 0; i < 4; i++) arm.stack[6 + i] = 100 + i;  // x28, x27, x20, x19 from fp-32 up
    thread_state_set_register(&arm.current, REG_FP, arm.at(10));
    ASSERT_EQ(arm.apply(0x04000011), ASYNC_ESUCCESS);
    EXPECT_EQ(arm.get(X(28)), 100u);
    EXPECT_EQ(arm.get(X(27)), 101u);
    EXPECT_EQ(arm.get(X(20)), 102u);
    EXPECT_EQ(arm.get(X(19)), 103u);
    EXPECT_EQ(arm.get(REG_IP), 0x402000u);

    Machine none;
    EXPECT_EQ(none.apply(0x01010001), ASYNC_ENOTFOUND);  // no frame pointer held
}

TEST(CompactUnwindApply, FramelessFrames) {
    Machine m;
    thread_state_set_register(&m.current, REG_SP, m.at(0));
    m.stack[3] = 0x403000;  // return address at the top of a 32-byte frame
    m.stack[1] = 11;        // rbx
    m.stack[2] = 12;        // r12
    ASSERT_EQ(m.apply(frameless(2, 4, 2, 0)), ASYNC_ESUCCESS);
    EXPECT_EQ(m.get(REG_SP), m.at(4));
    EXPECT_EQ(m.get(REG_IP), 0x403000u);
    EXPECT_EQ(m.get(X86_64_REG_RBX), 11u);
    EXPECT_EQ(m.get(R(12)), 12u);

    // The size from the function's own code, plus the adjustment.
    const uint8_t code[] = {0x48, 0x81, 0xec, 0x18, 0x00, 0x00, 0x00};  // sub $24, %rsp
    ASSERT_EQ(m.apply(frameless(3, 3, 2, 0, 1), reinterpret_cast<uint64_t>(code)), ASYNC_ESUCCESS);
    EXPECT_EQ(m.get(REG_SP), m.at(4));
    EXPECT_EQ(m.get(REG_IP), 0x403000u);

    Machine arm(ARM_THREAD_STATE64);
    thread_state_set_register(&arm.current, REG_SP, arm.at(0));
    thread_state_set_register(&arm.current, ARM64_REG_LR, 0x404000);
    arm.stack[30] = 19;  // x20, x19 just below the caller's sp
    arm.stack[31] = 20;
    ASSERT_EQ(arm.apply(0x02010000 | 0x01), ASYNC_ESUCCESS);  // 256 bytes, x20/x19
    EXPECT_EQ(arm.get(REG_IP), 0x404000u);
    EXPECT_EQ(arm.get(REG_SP), arm.at(32));
    EXPECT_EQ(arm.get(X(20)), 19u);
    EXPECT_EQ(arm.get(X(19)), 20u);
}

TEST(CompactUnwindApply, RefusesWhatWouldLeaveTheState) {
    Machine m;
    thread_state_set_register(&m.current, REG_SP, 0xfffffffffffffff0);
    EXPECT_EQ(m.apply(frameless(2, 4, 0, 0)), ASYNC_EINVAL);  // the stack size overflows
    EXPECT_EQ(m.apply(0x04000000), ASYNC_ENOTSUP);
    EXPECT_EQ(m.apply(0), ASYNC_ENOTSUP);

    // Register numbers beyond the state's range fail the frame, never trap.
    compact_unwind_entry e;
    ASSERT_EQ(compact_unwind_entry_init(&e, ps::CPU_TYPE_X86_64, frameless(2, 4, 1, 0)), ASYNC_ESUCCESS);
    e.register_list[0] = 40;
    thread_state_set_register(&m.current, REG_SP, m.at(0));
    EXPECT_EQ(compact_unwind_entry_apply(self, 0, &m.current, &e, &m.next), ASYNC_EINVAL);
    // A 64-bit ARM entry returns through lr, which a 32-bit state lacks.
    Machine arm32(ARM_THREAD_STATE32);
    thread_state_set_register(&arm32.current, REG_SP, 0x1000);
    ASSERT_EQ(compact_unwind_entry_init(&e, ps::CPU_TYPE_ARM64, 0x02001000), ASYNC_ESUCCESS);
    EXPECT_EQ(compact_unwind_entry_apply(self, 0, &arm32.current, &e, &arm32.next), ASYNC_EINVAL);
}

// An image in memory: a Mach-O header whose __TEXT holds an __unwind_info.
struct Image {
    alignas(16) uint8_t bytes[0x4000] = {};
    image_list list;

    explicit Image(const Bytes &unwindInfo) {
        const uint64_t base = reinterpret_cast<uint64_t>(bytes);
        ps::mach_header_64 header{};
        header.magic = ps::MH_MAGIC_64;
        header.cputype = ps::CPU_TYPE_X86_64;
        header.filetype = ps::MH_DYLIB;
        header.ncmds = 1;
        header.sizeofcmds = sizeof(ps::segment_command_64) + sizeof(ps::section_64);
        ps::segment_command_64 text{};
        text.cmd = ps::LC_SEGMENT_64;
        text.cmdsize = header.sizeofcmds;
        std::strcpy(text.segname, "__TEXT");
        text.vmaddr = base;
        text.vmsize = sizeof bytes;
        text.nsects = 1;
        ps::section_64 section{};
        std::strncpy(section.sectname, "__unwind_info", 16);
        std::strcpy(section.segname, "__TEXT");
        section.addr = base + 0x1000;
        section.size = unwindInfo.size();
        section.offset = 0x1000;
        std::memcpy(bytes, &header, sizeof header);
        std::memcpy(bytes + sizeof header, &text, sizeof text);
        std::memcpy(bytes + sizeof header + sizeof text, &section, sizeof section);
        std::memcpy(bytes + 0x1000, unwindInfo.data(), unwindInfo.size());
        image_list_init(&list, self);
        image_list_append(&list, base, "unwind-test");
    }
    // Removing the image frees its record.
    ~Image() { image_list_remove(&list, reinterpret_cast<uint64_t>(bytes)); }
    uint64_t pc(uint32_t offset) const { return reinterpret_cast<uint64_t>(bytes) + offset; }
};

TEST(CompactUnwindReader, ReadsTheCallersFrameThroughTheImageList) {
    UnwindInfo info;
    Page page;
    page.entries = {{0x2000, 0x01010001}, {0x2100, 0x04000000}, {0x2200, 0}};
    info.index = {{0x2000, page}};
    info.sentinel = 0x3000;
    Image image(info.build());

    Machine m;
    m.stack[10] = m.at(20);
    m.stack[11] = 0x401000;
    thread_state_set_register(&m.current, REG_FP, m.at(10));
    // A return address just past the first function belongs to its call.
    thread_state_set_register(&m.current, REG_IP, image.pc(0x2100));
    ASSERT_EQ(compact_unwind_read_frame(self, &image.list, &m.current, nullptr, &m.next), FRAME_ESUCCESS);
    EXPECT_EQ(m.get(REG_IP), 0x401000u);
    EXPECT_EQ(m.get(REG_FP), m.at(20));

    // Described by DWARF: the DWARF reader is next. No information: no frame.
    thread_state_set_register(&m.current, REG_IP, image.pc(0x2110));
    EXPECT_EQ(compact_unwind_read_frame(self, &image.list, &m.current, nullptr, &m.next), FRAME_ENOFRAME);
    thread_state_set_register(&m.current, REG_IP, image.pc(0x2210));
    EXPECT_EQ(compact_unwind_read_frame(self, &image.list, &m.current, nullptr, &m.next), FRAME_ENOFRAME);
    // Outside every image, or without a pc.
    thread_state_set_register(&m.current, REG_IP, 0x1000);
    EXPECT_EQ(compact_unwind_read_frame(self, &image.list, &m.current, nullptr, &m.next), FRAME_ENOTSUP);
    thread_state_clear_register(&m.current, REG_IP);
    EXPECT_EQ(compact_unwind_read_frame(self, &image.list, &m.current, nullptr, &m.next), FRAME_EBADFRAME);
}

}  // namespace
