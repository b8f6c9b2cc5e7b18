// The DWARF call-frame reader on tables the tests build: numbers and
// pointers, CIEs and FDEs, every call-frame instruction, every expression
// operator, the rules applied to registers, and the faults mended in each.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/unwind/DwarfCfaState.h"
#include "crash/capture/unwind/DwarfExpression.h"
#include "crash/capture/unwind/DwarfFrameReader.h"
#include "crash/capture/unwind/FrameCursor.h"
#include "crash/capture/unwind/FrameMemory.h"
#include "platform/system/Loader.h"
#include "tests/crash/capture/DwarfBuilder.h"

// Instruction programs are built one operation a line, each with its comment.
// clang-format off

namespace {

using namespace ovcrash;
using namespace ovcrash::PKR::async;
using dwarftest::Bytes;
using dwarftest::EhFrame;
using dwarftest::Ops;

const task_t self = platform::system::mach_task_self();

dwarf_section over(const Bytes &b, uint64_t address = 0x1000) {
    return {b.data(), address, b.size(), async_byteorder_native()};
}

thread_state x86State() {
    thread_state s;
    std::memset(&s, 0, sizeof s);
    s.ts.flavor = X86_THREAD_STATE64;
    s.register_size = 8;
    s.stack_direction = STACK_DIRECTION_DOWN;
    return s;
}

TEST(DwarfNumbers, Leb128) {
    uint64_t u, size;
    int64_t s;
    auto uleb = [&](const Bytes &b) { auto v = over(b); return dwarf_read_uleb128(&v, 0, &u, &size); };
    auto sleb = [&](const Bytes &b) { auto v = over(b); return dwarf_read_sleb128(&v, 0, &s, &size); };
    ASSERT_EQ(uleb({0xe5, 0x8e, 0x26}), ASYNC_ESUCCESS);
    EXPECT_EQ(u, 624485u);
    EXPECT_EQ(size, 3u);
    ASSERT_EQ(sleb({0xc0, 0xbb, 0x78}), ASYNC_ESUCCESS);
    EXPECT_EQ(s, -123456);
    // All 64 bits, and one more.
    Bytes b(9, 0xff);
    b.push_back(0x01);
    ASSERT_EQ(uleb(b), ASYNC_ESUCCESS);
    EXPECT_EQ(u, UINT64_MAX);
    b.back() = 0x03;
    EXPECT_EQ(uleb(b), ASYNC_ENOTSUP);
    // A signed number is bounded by what it may hold.
    b = Bytes(40, 0x80);
    b.push_back(0x00);
    EXPECT_EQ(sleb(b), ASYNC_ESUCCESS);
    EXPECT_EQ(sleb(Bytes(12, 0x80)), ASYNC_EINVAL);  // runs off the end
    b = Bytes(11, 0xaa);
    b.push_back(0x01);
    EXPECT_EQ(sleb(b), ASYNC_ENOTSUP);
}

TEST(DwarfNumbers, PointerEncodings) {
    const gnu_ehptr_reader reader{self, true};
    uint64_t value, size;
    Bytes b;
    dwarftest::put(b, 0xfffe, 2);
    dwarftest::put(b, 0xfffffff0, 4);
    dwarftest::put(b, 0x1122334455667788, 8);
    b.push_back(0x7e);
    const dwarf_section s = over(b, 0x1000);
    struct Case {
        uint8_t encoding;
        uint64_t offset, value, size;
    } cases[] = {
        {DW_EH_PE_udata2, 0, 0xfffe, 2},
        {DW_EH_PE_sdata2, 0, static_cast<uint64_t>(-2), 2},
        {DW_EH_PE_udata4, 2, 0xfffffff0, 4},
        {DW_EH_PE_sdata4, 2, static_cast<uint64_t>(-16), 4},
        {DW_EH_PE_pcrel | DW_EH_PE_sdata4, 2, 0x1002 - 16, 4},
        {DW_EH_PE_udata8, 6, 0x1122334455667788, 8},
        {DW_EH_PE_sdata8, 6, 0x1122334455667788, 8},
        {DW_EH_PE_absptr, 6, 0x1122334455667788, 8},
        {DW_EH_PE_uleb128, 14, 0x7e, 1},
        {DW_EH_PE_sleb128, 14, static_cast<uint64_t>(-2), 1},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(reader.read(&s, c.offset, c.encoding, &value, &size), ASYNC_ESUCCESS) << int(c.encoding);
        EXPECT_EQ(value, c.value) << int(c.encoding);
        EXPECT_EQ(size, c.size) << int(c.encoding);
    }
    const gnu_ehptr_reader narrow{self, false};
    ASSERT_EQ(narrow.read(&s, 2, DW_EH_PE_absptr, &value, &size), ASYNC_ESUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(reader.read(&s, 0, DW_EH_PE_omit, &value, &size), ASYNC_ENOTFOUND);
    EXPECT_EQ(reader.read(&s, 0, DW_EH_PE_datarel | DW_EH_PE_sdata4, &value, &size), ASYNC_ENOTSUP);
    EXPECT_EQ(reader.read(&s, 0, 0x05, &value, &size), ASYNC_ENOTSUP);
    EXPECT_EQ(reader.read(&s, 12, DW_EH_PE_udata4, &value, &size), ASYNC_EINVAL);  // past the end

    // Indirect: the word found at the decoded address.
    static uint64_t slot = 0xabcdef;
    Bytes p;
    dwarftest::put(p, reinterpret_cast<uint64_t>(&slot), 8);
    const dwarf_section ps = over(p);
    ASSERT_EQ(reader.read(&ps, 0, DW_EH_PE_indirect | DW_EH_PE_udata8, &value, &size), ASYNC_ESUCCESS);
    EXPECT_EQ(value, 0xabcdefu);
    ASSERT_EQ(reader.read(&ps, 0, DW_EH_PE_indirect | DW_EH_PE_udata8, &value, &size, false), ASYNC_ESUCCESS);
    EXPECT_EQ(value, reinterpret_cast<uint64_t>(&slot));
}

TEST(DwarfEntries, CieAugmentations) {
    const gnu_ehptr_reader reader{self, true};
    EhFrame eh;
    // zR: FDE pointers pc-relative.
    const size_t zr = eh.cie("zR", {0x1b}, Ops().op(0x0c).u(7).u(8).b);
    // zPLR: a personality whose slot is unreadable must not matter.
    Bytes plr = {0x9b};
    dwarftest::put(plr, 0x7ffffff0, 4);  // far away and unmapped
    plr.push_back(0x1b);
    plr.push_back(0x1b);
    const size_t zplr = eh.cie("zPLR", plr, {});
    const size_t zrs = eh.cie("zRS", {0x1b}, {}, 4, -4, 30, 3);
    const size_t empty = eh.cie("", {}, Ops().op(0x0c).u(7).u(8).b);
    const size_t unknown = eh.cie("zRX", {0x1b, 0x42, 0x43}, Ops().op(0x00).b);
    const size_t notZ = eh.cie("eh", {}, {});
    const size_t v2 = eh.cie("zR", {0x1b}, {}, 1, -8, 16, 2);

    async_dwarf_cie_info cie;
    auto section = eh.section();
    ASSERT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, zr), ASYNC_ESUCCESS);
    EXPECT_TRUE(cie.has_eh_augmentation);
    EXPECT_TRUE(cie.pointer_encoding.present);
    EXPECT_EQ(cie.pointer_encoding.pointer_encoding, 0x1b);
    EXPECT_EQ(cie.code_alignment_factor, 1u);
    EXPECT_EQ(cie.data_alignment_factor, -8);
    EXPECT_EQ(cie.return_address_register, 16u);
    EXPECT_EQ(cie.initial_instructions_length, 3u);
    EXPECT_EQ(section.data[cie.initial_instructions_offset], 0x0c);

    ASSERT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, zplr), ASYNC_ESUCCESS);
    EXPECT_TRUE(cie.personality_address.present);
    EXPECT_EQ(cie.personality_address.pointer_encoding, 0x9b);
    EXPECT_TRUE(cie.lsda_encoding.present);
    EXPECT_TRUE(cie.pointer_encoding.present);
    EXPECT_EQ(cie.initial_instructions_length, 0u);

    ASSERT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, zrs), ASYNC_ESUCCESS);
    EXPECT_TRUE(cie.signal_frame);
    EXPECT_EQ(cie.cie_version, 3);
    EXPECT_EQ(cie.return_address_register, 30u);

    ASSERT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, empty), ASYNC_ESUCCESS);
    EXPECT_FALSE(cie.has_eh_augmentation);
    EXPECT_EQ(cie.initial_instructions_length, 3u);

    // An unknown letter ends the scan; the data is skipped by its length.
    ASSERT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, unknown), ASYNC_ESUCCESS);
    EXPECT_EQ(cie.initial_instructions_length, 1u);

    EXPECT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, notZ), ASYNC_ENOTSUP);
    EXPECT_EQ(async_dwarf_cie_info_init(&cie, &section, &reader, v2), ASYNC_EINVAL);
}

TEST(DwarfEntries, FdeSearch) {
    EhFrame eh;
    Bytes lsda = {0x1b};
    Bytes plr = {0x9b, 0, 0, 0, 0, 0x1b, 0x1b};
    const size_t cie = eh.cie("zPLR", plr, {});
    const size_t first = eh.fde(cie, 0x20000, 0x100, Ops().op(0x0e).u(16).b, &lsda);  // carries an LSDA pointer
    // A broken FDE: its CIE pointer leads before the section.
    dwarftest::put(eh.bytes, 12, 4);
    dwarftest::put(eh.bytes, 0x7fffffff, 4);
    dwarftest::put(eh.bytes, 0, 8);
    const size_t after = eh.fde(cie, 0x30000, 0x100, {}, &lsda);
    eh.terminator();
    eh.fde(cie, 0x40000, 0x100, {}, &lsda);  // beyond the terminator

    dwarf_frame_reader frames;
    auto section = eh.section();
    dwarf_frame_reader_init(&frames, &section, self, true, false);
    async_dwarf_fde_info fde;
    async_dwarf_cie_info info;
    ASSERT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x200ff, &fde, &info), ASYNC_ESUCCESS);
    EXPECT_EQ(fde.pc_start, 0x20000u);
    EXPECT_EQ(fde.pc_end, 0x20100u);
    EXPECT_EQ(fde.instructions_length, 2u);  // after the augmentation data
    EXPECT_EQ(section.data[fde.instructions_offset], 0x0e);
    EXPECT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x20100, &fde, &info), ASYNC_ENOTFOUND);
    // The broken FDE does not hide the ones after it.
    ASSERT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x30000, &fde, &info), ASYNC_ESUCCESS);
    EXPECT_EQ(fde.fde_offset, after + 4);
    // A zero length ends the search.
    EXPECT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x40000, &fde, &info), ASYNC_ENOTFOUND);

    // The loader's sorted table finds the same FDE by halves.
    int32_t entries[4] = {0x20000 - 0x10000, static_cast<int32_t>(first), 0x30000 - 0x10000,
                          static_cast<int32_t>(after)};
    const dwarf_fde_table sorted{entries, 2, 0x10000};
    dwarf_frame_reader_init(&frames, &section, self, true, false, &sorted);
    ASSERT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x30010, &fde, &info), ASYNC_ESUCCESS);
    EXPECT_EQ(fde.pc_start, 0x30000u);
    EXPECT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x1000, &fde, &info), ASYNC_ENOTFOUND);
}

TEST(DwarfEntries, DebugFrameIdsAndOffsets) {
    EhFrame eh;
    eh.debugFrame = true;
    const size_t cie = eh.cie("", {}, {});
    eh.fde(cie, 0x50000, 0x80, {}, nullptr, true);
    dwarf_frame_reader frames;
    auto section = eh.section();
    dwarf_frame_reader_init(&frames, &section, self, true, true);
    async_dwarf_fde_info fde;
    async_dwarf_cie_info info;
    ASSERT_EQ(dwarf_frame_reader_find_fde(&frames, 0, 0x50040, &fde, &info), ASYNC_ESUCCESS);
    EXPECT_EQ(info.cie_id, 0xffffffffu);
    EXPECT_EQ(fde.cie_offset, cie);
}

// Runs `program` as the FDE's instructions after `initial` as the CIE's.
struct Program {
    async_dwarf_cie_info cie{};
    dwarf_cfa_state state;
    Program() {
        cie.code_alignment_factor = 1;
        cie.data_alignment_factor = -8;
        cie.return_address_register = 16;
    }
    async_error run(const Bytes &program, uint64_t pc = UINT64_MAX, const Bytes &initial = {}) {
        initialBytes = initial;
        programBytes = program;
        const gnu_ehptr_reader reader{self, true};
        auto a = over(initialBytes);
        async_error err = state.eval_program(&a, &reader, &cie, 0x100, pc != UINT64_MAX, pc, 0, initialBytes.size());
        if (err != ASYNC_ESUCCESS)
            return err;
        auto b = over(programBytes);
        return state.eval_program(&b, &reader, &cie, 0x100, pc != UINT64_MAX, pc, 0, programBytes.size());
    }
    bool rule(uint32_t reg, dwarf_cfa_reg_rule_t expectedRule, uint64_t expectedValue) {
        dwarf_cfa_reg_rule_t r;
        uint64_t v;
        return state.get_register_rule(reg, &r, &v) && r == expectedRule && v == expectedValue;
    }
    bool none(uint32_t reg) {
        dwarf_cfa_reg_rule_t r;
        uint64_t v;
        return !state.get_register_rule(reg, &r, &v);
    }
    Bytes initialBytes, programBytes;
};

TEST(DwarfCallFrame, RegisterRuleInstructions) {
    Program p;
    ASSERT_EQ(p.run(Ops()
                        .op(0x80 | 3).u(2)                 // offset r3, 2 * -8
                        .op(0x05).u(40).u(3)               // offset_extended r40
                        .op(0x11).u(4).s(2)                // offset_extended_sf r4, 2 * -8
                        .op(0x14).u(5).u(1)                // val_offset r5
                        .op(0x15).u(6).s(-1)               // val_offset_sf r6
                        .op(0x09).u(7).u(1)                // register r7 in r1
                        .op(0x08).u(8)                     // same_value r8
                        .op(0x07).u(9)                     // undefined r9
                        .op(0x10).u(10).block({0x30})      // expression r10
                        .op(0x16).u(11).block({0x31})      // val_expression r11
                        .op(0x2e).u(32)                    // GNU_args_size, skipped
                        .op(0x00)                          // nop
                        .b),
              ASYNC_ESUCCESS);
    EXPECT_TRUE(p.rule(3, DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-16)));
    EXPECT_TRUE(p.rule(40, DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-24)));
    EXPECT_TRUE(p.rule(4, DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-16)));
    EXPECT_TRUE(p.rule(5, DWARF_CFA_REG_RULE_VAL_OFFSET, static_cast<uint64_t>(-8)));
    EXPECT_TRUE(p.rule(6, DWARF_CFA_REG_RULE_VAL_OFFSET, 8));
    EXPECT_TRUE(p.rule(7, DWARF_CFA_REG_RULE_REGISTER, 1));
    EXPECT_TRUE(p.rule(8, DWARF_CFA_REG_RULE_SAME_VALUE, 0));
    EXPECT_TRUE(p.rule(9, DWARF_CFA_REG_RULE_UNDEFINED, 0));
    // Expression rules keep where the block's length is, so the block follows it.
    EXPECT_TRUE(p.rule(10, DWARF_CFA_REG_RULE_EXPRESSION, 0x1000 + 23));
    EXPECT_TRUE(p.rule(11, DWARF_CFA_REG_RULE_VAL_EXPRESSION, 0x1000 + 27));
    EXPECT_EQ(p.state.get_register_count(), 10);
}

TEST(DwarfCallFrame, CfaInstructions) {
    Program p;
    ASSERT_EQ(p.run(Ops().op(0x0c).u(7).u(8).b), ASYNC_ESUCCESS);  // def_cfa rsp+8
    EXPECT_EQ(p.state.get_cfa_rule().kind, DWARF_CFA_RULE_REGISTER);
    ASSERT_EQ(p.run(Ops().op(0x0e).u(16).op(0x0d).u(6).b), ASYNC_ESUCCESS);  // def_cfa_offset, def_cfa_register
    EXPECT_EQ(p.state.get_cfa_rule().reg, 6u);
    EXPECT_EQ(p.state.get_cfa_rule().offset, 16u);
    ASSERT_EQ(p.run(Ops().op(0x13).s(-3).b), ASYNC_ESUCCESS);  // def_cfa_offset_sf
    EXPECT_EQ(p.state.get_cfa_rule().kind, DWARF_CFA_RULE_REGISTER_SIGNED);
    EXPECT_EQ(static_cast<int64_t>(p.state.get_cfa_rule().offset), 24);
    ASSERT_EQ(p.run(Ops().op(0x12).u(7).s(-2).b), ASYNC_ESUCCESS);  // def_cfa_sf
    EXPECT_EQ(static_cast<int64_t>(p.state.get_cfa_rule().offset), 16);
    ASSERT_EQ(p.run(Ops().op(0x0f).block({0x77, 0x08, 0x06}).b), ASYNC_ESUCCESS);  // def_cfa_expression
    EXPECT_EQ(p.state.get_cfa_rule().kind, DWARF_CFA_RULE_EXPRESSION);
    EXPECT_EQ(p.state.get_cfa_rule().offset, 0x1002u);
    EXPECT_EQ(p.state.get_cfa_rule().length, 3u);

    // A CFA offset or register with no register rule before it.
    Program q;
    EXPECT_EQ(q.run(Ops().op(0x0e).u(16).b), ASYNC_EINVAL);
    EXPECT_EQ(q.run(Ops().op(0x13).s(2).b), ASYNC_EINVAL);
    EXPECT_EQ(q.run(Ops().op(0x0d).u(6).b), ASYNC_EINVAL);
}

TEST(DwarfCallFrame, LocationsStopAtTheTarget) {
    Program p;
    // Rules at 0x100, then each advance form moves one byte on; set_loc jumps to 0x200.
    const Bytes program = Ops()
                              .op(0x80 | 1).u(1).op(0x41)
                              .op(0x80 | 2).u(1).op(0x02).n(1, 1)
                              .op(0x80 | 3).u(1).op(0x03).n(1, 2)
                              .op(0x80 | 4).u(1).op(0x04).n(1, 4)
                              .op(0x80 | 5).u(1).op(0x01).n(0x200, 8)
                              .op(0x80 | 6).u(1)
                              .b;
    ASSERT_EQ(p.run(program, 0x100), ASYNC_ESUCCESS);
    EXPECT_FALSE(p.none(1));
    EXPECT_TRUE(p.none(2));
    Program q;
    ASSERT_EQ(q.run(program, 0x102), ASYNC_ESUCCESS);
    EXPECT_FALSE(q.none(3));
    EXPECT_TRUE(q.none(4));
    Program r;
    ASSERT_EQ(r.run(program, 0x1ff), ASYNC_ESUCCESS);
    EXPECT_FALSE(r.none(5));
    EXPECT_TRUE(r.none(6));
    Program all;
    ASSERT_EQ(all.run(program, 0x200), ASYNC_ESUCCESS);
    EXPECT_FALSE(all.none(6));
    // A start already past the target runs nothing.
    Program none;
    ASSERT_EQ(none.run(program, 0x50), ASYNC_ESUCCESS);
    EXPECT_TRUE(none.none(1));
    // set_loc with a segment size is not supported.
    Program seg;
    seg.cie.segment_size = 4;
    EXPECT_EQ(seg.run(Ops().op(0x01).n(0, 8).b), ASYNC_ENOTSUP);
}

TEST(DwarfCallFrame, RestoreAndRememberedStates) {
    Program p;
    // The CIE saves r3; the FDE changes it, saves r4, then restores both.
    ASSERT_EQ(p.run(Ops().op(0x80 | 3).u(5).op(0x80 | 4).u(1).op(0xc0 | 3).op(0x06).u(4).b, UINT64_MAX,
                    Ops().op(0x80 | 3).u(1).b),
              ASYNC_ESUCCESS);
    EXPECT_TRUE(p.rule(3, DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8)));
    EXPECT_TRUE(p.none(4));

    Program q;
    ASSERT_EQ(q.run(Ops().op(0x0c).u(7).u(8).op(0x80 | 3).u(1)
                        .op(0x0a).op(0x0e).u(64).op(0x80 | 3).u(4).op(0x80 | 5).u(2).op(0x0b).b),
              ASYNC_ESUCCESS);
    EXPECT_TRUE(q.rule(3, DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8)));
    EXPECT_TRUE(q.none(5));
    EXPECT_EQ(q.state.get_cfa_rule().offset, 8u);
    EXPECT_EQ(q.state.get_register_count(), 1);

    Program deep;
    EXPECT_EQ(deep.run(Ops().op(0x0a).op(0x0a).op(0x0a).op(0x0a).op(0x0a).b), ASYNC_ESUCCESS);
    EXPECT_EQ(deep.run(Ops().op(0x0a).b), ASYNC_ENOMEM);  // the sixth
    Program shallow;
    EXPECT_EQ(shallow.run(Ops().op(0x0b).b), ASYNC_EINVAL);
}

TEST(DwarfCallFrame, BadInstructions) {
    Program p;
    EXPECT_EQ(p.run({0x2f}), ASYNC_ENOTSUP);                          // unknown opcode
    EXPECT_EQ(p.run(Ops().op(0x05).u(1ull << 33).u(1).b), ASYNC_ENOTSUP);  // register beyond 32 bits
    EXPECT_EQ(p.run({0x05, 0x01}), ASYNC_EINVAL);                     // operand past the end
    EXPECT_EQ(p.run({0x10, 0x01, 0x05, 0x30}), ASYNC_EINVAL);         // block past the end
    // The pool holds 100 rules.
    Ops many;
    for (int r = 0; r < 100; r++)
        many.op(0x05).u(r).u(1);
    Program full;
    EXPECT_EQ(full.run(many.b), ASYNC_ESUCCESS);
    EXPECT_EQ(full.run(Ops().op(0x05).u(100).u(1).b), ASYNC_ENOMEM);
    EXPECT_EQ(full.run(Ops().op(0x0a).b), ASYNC_ENOMEM);
}

// Expressions: the result, or the error.
struct Result {
    async_error error;
    uint64_t value;
};

Result eval(const Bytes &expression, std::vector<uint64_t> initial = {}, bool is64 = true,
            const thread_state *state = nullptr) {
    thread_state empty = x86State();
    const dwarf_section s = over(expression);
    Result r{ASYNC_EUNKNOWN, 0};
    r.error = async_dwarf_expression_eval(&s, self, state ? state : &empty, is64, 0, expression.size(),
                                          initial.data(), initial.size(), &r.value);
    return r;
}

struct Case {
    Bytes expression;
    uint64_t result;
};

uint64_t s64(int64_t v) { return static_cast<uint64_t>(v); }

TEST(DwarfExpression, EveryOperator) {
    const Case cases[] = {
        // Constants: lit0, lit31, const1u/1s/2u/2s/4u/4s/8u/8s, constu, consts; nop.
        {{0x30}, 0}, {{0x4f}, 31}, {{0x08, 0xff}, 255}, {{0x09, 0xff}, s64(-1)},
        {{0x0a, 0xfe, 0xff}, 0xfffe}, {{0x0b, 0xfe, 0xff}, s64(-2)},
        {{0x0c, 0xfc, 0xff, 0xff, 0xff}, 0xfffffffc}, {{0x0d, 0xfc, 0xff, 0xff, 0xff}, s64(-4)},
        {Ops().op(0x0e).n(0x8000000000000001, 8).b, 0x8000000000000001},
        {Ops().op(0x0f).n(0x8000000000000001, 8).b, 0x8000000000000001},
        {Ops().op(0x10).u(300).b, 300}, {Ops().op(0x11).s(-300).b, s64(-300)}, {{0x96, 0x35}, 5},
        // Stack: dup, drop, over, pick, swap, rot (1 2 3 -> 3 1 2).
        {{0x37, 0x12, 0x22}, 14}, {{0x31, 0x32, 0x13}, 1}, {{0x31, 0x32, 0x14}, 1}, {{0x31, 0x32, 0x33, 0x15, 2}, 1},
        {{0x31, 0x32, 0x16}, 1}, {{0x31, 0x32, 0x33, 0x17}, 2}, {{0x31, 0x32, 0x33, 0x17, 0x13}, 1},
        {{0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, 3},
        // Arithmetic: abs, and, div (unsigned), minus, mod (unsigned), mul, neg, not, or, plus,
        // plus_uconst, shl, shr (logical), shra, xor.
        {Ops().op(0x11).s(-5).op(0x19).b, 5}, {{0x3c, 0x36, 0x1a}, 4},
        {Ops().op(0x11).s(-6).op(0x32).op(0x1b).b, 0x7ffffffffffffffd}, {{0x3b, 0x33, 0x1b}, 3},
        {{0x35, 0x33, 0x1c}, 2}, {{0x37, 0x33, 0x1d}, 1}, {Ops().op(0x11).s(-1).op(0x3a).op(0x1d).b, 5}, {{0x37, 0x33, 0x1e}, 21}, {{0x35, 0x1f}, s64(-5)},
        {{0x30, 0x20}, UINT64_MAX}, {{0x34, 0x31, 0x21}, 5}, {Ops().op(0x35).op(0x23).u(100).b, 105},
        {{0x31, 0x34, 0x24}, 16}, {Ops().op(0x11).s(-1).op(0x08).n(60, 1).op(0x25).b, 15},
        {Ops().op(0x11).s(-16).op(0x32).op(0x26).b, s64(-4)}, {{0x36, 0x33, 0x27}, 5},
        // Comparisons (unsigned: all ones is above 1), bra taken and not, skip.
        {{0x33, 0x33, 0x29}, 1}, {{0x33, 0x32, 0x2a}, 1}, {{0x32, 0x33, 0x2b}, 0}, {{0x32, 0x33, 0x2c}, 1},
        {{0x33, 0x33, 0x2d}, 0}, {{0x33, 0x32, 0x2e}, 1}, {Ops().op(0x11).s(-1).op(0x31).op(0x2b).b, 1},
        {{0x30, 0x31, 0x28, 0x01, 0x00, 0x39}, 0}, {{0x30, 0x30, 0x28, 0x01, 0x00, 0x39}, 9},
        {{0x32, 0x2f, 0x01, 0x00, 0x39}, 2},
        // Results that would be undefined are defined: abs and neg of the most negative
        // value, shift counts modulo 64; dividing it by all ones is 0, as unsigned numbers.
        {Ops().op(0x0e).n(0x8000000000000000, 8).op(0x19).b, 0x8000000000000000},
        {Ops().op(0x0e).n(0x8000000000000000, 8).op(0x1f).b, 0x8000000000000000},
        {Ops().op(0x0e).n(0x8000000000000000, 8).op(0x11).s(-1).op(0x1b).b, 0},
        {Ops().op(0x31).op(0x08).n(65, 1).op(0x24).b, 2},
    };
    for (const Case &c : cases) {
        const Result r = eval(c.expression);
        EXPECT_EQ(r.error, ASYNC_ESUCCESS) << testing::PrintToString(c.expression);
        EXPECT_EQ(r.value, c.result) << testing::PrintToString(c.expression);
    }
    EXPECT_EQ(eval({}, {42}).value, 42u);  // the initial value alone
}

TEST(DwarfExpression, RegistersAndMemory) {
    static uint64_t memory[2] = {0x1122334455667788, 0};
    thread_state s = x86State();
    thread_state_set_register(&s, REG_SP, reinterpret_cast<uint64_t>(memory));
    thread_state_set_register(&s, X86_64_REG_RBX, 1000);
    Result r = eval(Ops().op(0x77).s(8).b, {}, true, &s);  // breg7 (rsp) + 8
    EXPECT_EQ(r.value, reinterpret_cast<uint64_t>(memory) + 8);
    r = eval(Ops().op(0x92).u(3).s(-1).b, {}, true, &s);  // bregx rbx - 1
    EXPECT_EQ(r.value, 999u);
    r = eval(Ops().op(0x77).s(0).op(0x06).b, {}, true, &s);  // deref
    EXPECT_EQ(r.value, 0x1122334455667788u);
    const uint8_t sizes[] = {1, 2, 4, 8};
    const uint64_t expected[] = {0x88, 0x7788, 0x55667788, 0x1122334455667788};
    for (int i = 0; i < 4; i++) {
        r = eval(Ops().op(0x77).s(0).op(0x94).op(sizes[i]).b, {}, true, &s);  // deref_size
        EXPECT_EQ(r.value, expected[i]);
        r = eval(Ops().op(0x30).op(0x77).s(0).op(0x95).op(sizes[i]).b, {}, true, &s);  // xderef_size
        EXPECT_EQ(r.value, expected[i]);
    }
    r = eval(Ops().op(0x30).op(0x77).s(0).op(0x18).b, {}, true, &s);  // xderef
    EXPECT_EQ(r.value, 0x1122334455667788u);

    EXPECT_EQ(eval(Ops().op(0x80).s(0).b, {}, true, &s).error, ASYNC_ENOTSUP);  // breg16: no such register
    EXPECT_EQ(eval(Ops().op(0x70).s(0).b, {}, true, &s).error, ASYNC_ENOTFOUND);  // rax: not held
    EXPECT_EQ(eval(Ops().op(0x77).s(0).op(0x94).op(3).b, {}, true, &s).error, ASYNC_EINVAL);
    EXPECT_EQ(eval({0x30, 0x06}).error, ASYNC_EINVAL);  // unreadable
}

TEST(DwarfExpression, NarrowWordsAndEndlessJumps) {
    EXPECT_EQ(eval({0x35, 0x30, 0x1b}).error, ASYNC_EINVAL);  // div by zero
    EXPECT_EQ(eval({0x35, 0x30, 0x1d}).error, ASYNC_EINVAL);  // mod by zero
    // The 32-bit width: values wrap at 32 bits, shifts stay defined.
    Result r = eval(Ops().op(0x31).op(0x08).n(40, 1).op(0x24).b, {}, false);
    EXPECT_EQ(r.value, 0u);
    r = eval(Ops().op(0x0c).n(0x80000000, 4).op(0x19).b, {}, false);
    EXPECT_EQ(r.value, 0x80000000u);
    r = eval(Ops().op(0x0c).n(0x80000000, 4).op(0x11).s(-1).op(0x1b).b, {}, false);
    EXPECT_EQ(r.value, 0u);
    r = eval(Ops().op(0x11).s(-6).op(0x32).op(0x1b).b, {}, false);
    EXPECT_EQ(r.value, 0x7ffffffdu);
    r = eval(Ops().op(0x0c).n(0x80000000, 4).op(0x31).op(0x26).b, {}, false);
    EXPECT_EQ(r.value, 0xc0000000u);
    // Jumps backwards end after a bounded number of steps.
    EXPECT_EQ(eval({0x31, 0x28, 0xfc, 0xff}).error, ASYNC_EINVAL);
    EXPECT_EQ(eval({0x2f, 0xfd, 0xff}).error, ASYNC_EINVAL);
}

TEST(DwarfExpression, Errors) {
    EXPECT_EQ(eval({0x12}).error, ASYNC_EINVAL);      // dup on an empty stack
    EXPECT_EQ(eval({0x31, 0x16}).error, ASYNC_EINVAL);  // swap with one
    EXPECT_EQ(eval({0x31, 0x22}).error, ASYNC_EINTERNAL);  // plus with one
    EXPECT_EQ(eval({0x06}).error, ASYNC_EINTERNAL);
    EXPECT_EQ(eval({0x31, 0x15, 1}).error, ASYNC_EINVAL);  // pick beyond the depth
    EXPECT_EQ(eval(Bytes(101, 0x31)).error, ASYNC_EINTERNAL);  // overflow
    EXPECT_EQ(eval({}, std::vector<uint64_t>(101, 1)).error, ASYNC_EINTERNAL);
    EXPECT_EQ(eval({0x30, 0x2f, 0x10, 0x00}).error, ASYNC_EINVAL);  // jump outside
    EXPECT_EQ(eval({0x0c, 0x01, 0x02}).error, ASYNC_EINVAL);        // short operand
    EXPECT_EQ(eval({}).error, ASYNC_EINVAL);                        // nothing left
    for (uint8_t op : {0x03, 0x07, 0x50, 0x6f, 0x90, 0x91, 0x93, 0x97, 0xe0})
        EXPECT_EQ(eval({0x31, op, 0, 0, 0, 0, 0, 0, 0, 0}).error, ASYNC_ENOTSUP) << int(op);
}

// Applying the rules to registers held in a local stack.
struct Applied {
    uint64_t stack[16] = {};
    thread_state current = x86State(), next;
    async_error error = ASYNC_EUNKNOWN;

    uint64_t at(int i) const { return reinterpret_cast<uint64_t>(&stack[i]); }
    async_error apply(Program &p) {
        auto s = over(p.programBytes);
        return error = p.state.apply_state(self, &s, &p.cie, &current, &next);
    }
};

TEST(DwarfApply, RecoversTheCallersRegisters) {
    Applied a;
    a.stack[4] = 0x401234;  // return address at CFA - 8
    a.stack[3] = 77;        // rbx at CFA - 16
    a.current.valid_regs = ~0ull;
    thread_state_set_register(&a.current, REG_SP, a.at(0));
    thread_state_set_register(&a.current, X86_64_REG_R8 + 4, 12);  // r12, preserved
    thread_state_set_register(&a.current, X86_64_REG_RAX, 1);      // rax, volatile
    Program p;
    ASSERT_EQ(p.run(Ops().op(0x0c).u(7).u(40).op(0x80 | 16).u(1).op(0x80 | 3).u(2).b), ASYNC_ESUCCESS);
    ASSERT_EQ(a.apply(p), ASYNC_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&a.next, REG_IP), 0x401234u);
    EXPECT_EQ(thread_state_get_register(&a.next, REG_SP), a.at(5));
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_RBX), 77u);
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_R8 + 4), 12u);
    EXPECT_FALSE(thread_state_has_register(&a.next, X86_64_REG_RAX));
    EXPECT_FALSE(a.next.pc_exact);

    // Expression rules: rbx at the address "CFA - 16" computes; r13 is it.
    Program e;
    ASSERT_EQ(e.run(Ops().op(0x0c).u(7).u(40).op(0x80 | 16).u(1)
                        .op(0x10).u(3).block({0x08, 16, 0x1c})
                        .op(0x16).u(13).block({0x08, 16, 0x1c}).b),
              ASYNC_ESUCCESS);
    ASSERT_EQ(a.apply(e), ASYNC_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_RBX), 77u);
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_R8 + 5), a.at(3));

    // A CFA from an expression, register and same-value rules.
    Program x;
    ASSERT_EQ(x.run(Ops().op(0x0f).block({0x77, 40}).op(0x80 | 16).u(1).op(0x09).u(3).u(12).op(0x08).u(13).b),
              ASYNC_ESUCCESS);
    thread_state_set_register(&a.current, X86_64_REG_R8 + 5, 13);
    ASSERT_EQ(a.apply(x), ASYNC_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_RBX), 12u);
    EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_R8 + 5), 13u);
    EXPECT_EQ(thread_state_get_register(&a.next, REG_SP), a.at(5));
}

TEST(DwarfApply, MendedRules) {
    Applied a;
    a.current.valid_regs = ~0ull;
    thread_state_set_register(&a.current, REG_SP, a.at(0));
    // An undefined return address is the outermost frame: no pc, no repeat.
    Program outer;
    ASSERT_EQ(outer.run(Ops().op(0x0c).u(7).u(8).op(0x07).u(16).b), ASYNC_ESUCCESS);
    ASSERT_EQ(a.apply(outer), ASYNC_ESUCCESS);
    EXPECT_FALSE(thread_state_has_register(&a.next, REG_IP));

    // A rule for a register this state lacks (x86-64 has no DWARF 17) is skipped.
    a.stack[0] = 0x401000;
    Program extra;
    ASSERT_EQ(extra.run(Ops().op(0x0c).u(7).u(8).op(0x80 | 16).u(1).op(0x80 | 17).u(1).b), ASYNC_ESUCCESS);
    ASSERT_EQ(a.apply(extra), ASYNC_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&a.next, REG_IP), 0x401000u);

    // A CFA register that is not held, or no CFA at all.
    Program noCfa;
    ASSERT_EQ(noCfa.run(Ops().op(0x80 | 16).u(1).b), ASYNC_ESUCCESS);
    EXPECT_EQ(a.apply(noCfa), ASYNC_EINVAL);
    thread_state_clear_register(&a.current, X86_64_REG_RBX);
    Program onRbx;
    ASSERT_EQ(onRbx.run(Ops().op(0x0c).u(3).u(8).b), ASYNC_ESUCCESS);
    EXPECT_EQ(a.apply(onRbx), ASYNC_ENOTFOUND);
}

// "Same value" keeps what this frame holds: a register it does not hold is
// not found, on the full path and on the rules kept for the pc alike.
TEST(DwarfApply, SameValueOfARegisterThisFrameLacksIsNotFound) {
    Applied a;
    a.stack[0] = 0x401000;
    a.current.valid_regs = 0;
    thread_state_set_register(&a.current, REG_SP, a.at(0));
    Program p;
    ASSERT_EQ(p.run(Ops().op(0x0c).u(7).u(8).op(0x80 | 16).u(1).op(0x08).u(12).b), ASYNC_ESUCCESS);
    auto s = over(p.programBytes);
    dwarf_compiled_rules kept;
    ASSERT_TRUE(p.state.compile(&s, &p.cie, &a.current, &kept));

    EXPECT_EQ(a.apply(p), ASYNC_ENOTFOUND);
    EXPECT_EQ(dwarf_compiled_rules_apply(self, &kept, &a.current, &a.next), ASYNC_ENOTFOUND);

    thread_state_set_register(&a.current, X86_64_REG_R8 + 4, 12);  // r12
    for (bool compiled : {false, true}) {
        ASSERT_EQ(compiled ? dwarf_compiled_rules_apply(self, &kept, &a.current, &a.next) : a.apply(p), ASYNC_ESUCCESS);
        EXPECT_EQ(thread_state_get_register(&a.next, X86_64_REG_R8 + 4), 12u);
        EXPECT_EQ(thread_state_get_register(&a.next, REG_IP), 0x401000u);
    }
}

TEST(DwarfApply, LeafFunctionReturnsThroughTheLinkRegister) {
    thread_state arm;
    std::memset(&arm, 0, sizeof arm);
    arm.ts.flavor = ARM_THREAD_STATE64;
    arm.register_size = 8;
    arm.valid_regs = ~0ull;
    thread_state_set_register(&arm, REG_SP, 0x8000);
    thread_state_set_register(&arm, ARM64_REG_LR, 0x400abc);
    Program p;
    p.cie.return_address_register = 30;
    ASSERT_EQ(p.run(Ops().op(0x0c).u(31).u(0).b), ASYNC_ESUCCESS);
    thread_state next;
    auto s = over(p.programBytes);
    ASSERT_EQ(p.state.apply_state(self, &s, &p.cie, &arm, &next), ASYNC_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x400abcu);
    EXPECT_EQ(thread_state_get_register(&next, REG_SP), 0x8000u);
}

// The reader over a whole section: two functions back to back, and a
// signal trampoline.
TEST(DwarfFrameReader, LooksUpTheCallNotTheReturnAddress) {
    uint64_t stack[4] = {0x7777, 0x8888, 0, 0};
    EhFrame eh;
    const size_t cie = eh.cie("zR", {0x1b}, Ops().op(0x0c).u(7).u(8).op(0x80 | 16).u(1).b);
    const Bytes none;
    eh.fde(cie, 0x20000, 0x10, {}, &none);                          // CFA rsp+8
    eh.fde(cie, 0x20010, 0x10, Ops().op(0x0e).u(16).b, &none);      // CFA rsp+16
    const size_t sigCie = eh.cie("zRS", {0x1b}, Ops().op(0x0c).u(7).u(16).op(0x80 | 16).u(1).b);
    eh.fde(sigCie, 0x30000, 0x10, {}, &none);
    eh.terminator();
    dwarf_frame_reader reader;
    auto section = eh.section();
    dwarf_frame_reader_init(&reader, &section, self, true, false);

    thread_state current = x86State(), next;
    current.valid_regs = ~0ull;
    thread_state_set_register(&current, REG_SP, reinterpret_cast<uint64_t>(stack));
    // A return address just past the first function: its call is in it.
    thread_state_set_register(&current, REG_IP, 0x20010);
    current.pc_exact = false;
    ASSERT_EQ(dwarf_unwind_frame_from_section(self, &reader, &current, &next), FRAME_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x7777u);
    // The same pc interrupted by a signal is in the second function.
    current.pc_exact = true;
    ASSERT_EQ(dwarf_unwind_frame_from_section(self, &reader, &current, &next), FRAME_ESUCCESS);
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x8888u);

    // Past a signal trampoline the caller was interrupted: its pc is exact.
    thread_state_set_register(&current, REG_IP, 0x30004);
    ASSERT_EQ(dwarf_unwind_frame_from_section(self, &reader, &current, &next), FRAME_ESUCCESS);
    EXPECT_TRUE(next.pc_exact);
    EXPECT_EQ(thread_state_get_register(&next, REG_IP), 0x8888u);

    thread_state_set_register(&current, REG_IP, 0x50000);
    EXPECT_EQ(dwarf_unwind_frame_from_section(self, &reader, &current, &next), FRAME_ENOTSUP);
}

// A step reads an image's tables kept from the last step only while that
// image is listed: once removed, even if not yet freed, no image covers the pc.
[[gnu::noinline]] int keptImageTarget(int v) { return v * 3; }

TEST(DwarfFrameReader, AnImageRemovedBetweenStepsIsNoLongerRead) {
    platform::system::dl_info info;
    const auto pc = reinterpret_cast<uint64_t>(&keptImageTarget);
    ASSERT_NE(platform::system::dladdr(reinterpret_cast<const void *>(pc), &info), 0);
    const auto header = reinterpret_cast<uint64_t>(info.dli_fbase);
    image_list list;
    image_list_init(&list, self);
    image_list_append(&list, header, info.dli_fname);

    uint64_t stack[4] = {0x7777, 0, 0, 0};
    thread_state current = x86State(), next;
    current.valid_regs = ~0ull;
    current.pc_exact = true;
    thread_state_set_register(&current, REG_SP, reinterpret_cast<uint64_t>(stack));
    thread_state_set_register(&current, REG_IP, pc);
    frame_memory_begin(self);
    EXPECT_EQ(dwarf_unwind_read_frame(self, &list, &current, nullptr, &next), FRAME_ESUCCESS);
    EXPECT_EQ(dwarf_unwind_read_frame(self, &list, &current, nullptr, &next), FRAME_ESUCCESS);
    image_list_set_reading(&list, true);  // a reader inside keeps the record alive
    image_list_remove(&list, header);
    image_list_set_reading(&list, false);
    EXPECT_EQ(dwarf_unwind_read_frame(self, &list, &current, nullptr, &next), FRAME_ENOTSUP);
    image_list_append(&list, header, info.dli_fname);
    EXPECT_EQ(dwarf_unwind_read_frame(self, &list, &current, nullptr, &next), FRAME_ESUCCESS);
    frame_memory_end();
    image_list_remove(&list, header);
}

// A walk of a stack walked before steps from the rules the first walk kept
// for each pc, and finds the same frames with the same registers.
struct RegistersOfWalk {
    int frames = 0;
    uint64_t valid[48] = {};
    uint64_t values[48][64] = {};
};

async_error walkTwice(thread_state *start, void *context) {
    auto *walks = static_cast<RegistersOfWalk *>(context);
    const frame_reader dwarf[] = {dwarf_unwind_read_frame};
    for (int k = 0; k < 2; k++) {
        RegistersOfWalk &w = walks[k];
        frame_cursor cursor;
        frame_cursor_init(&cursor, self, start, shared_image_list());
        while (w.frames < 48 && frame_cursor_next(&cursor, dwarf, 1) == FRAME_ESUCCESS) {
            for (uint32_t r = 0; r < frame_cursor_register_count(&cursor); r++) {
                uint64_t value;
                if (frame_cursor_get_register(&cursor, r, &value) != FRAME_ESUCCESS) continue;
                w.valid[w.frames] |= 1ull << r;
                w.values[w.frames][r] = value;
            }
            w.frames++;
        }
        frame_cursor_free(&cursor);
    }
    return ASYNC_ESUCCESS;
}

[[gnu::noinline]] int walkBelow(int depth, RegistersOfWalk *walks) {
    if (depth == 0) return thread_state_current_capture(walkTwice, walks);
    return walkBelow(depth - 1, walks) + depth;  // not a tail call
}

TEST(DwarfFrameReader, ASecondWalkFromKeptRulesFindsTheSameRegisters) {
    shared_image_list_start();
    auto walks = std::make_unique<RegistersOfWalk[]>(2);
    walkBelow(6, walks.get());
    ASSERT_GE(walks[0].frames, 8);
    ASSERT_EQ(walks[1].frames, walks[0].frames);
    for (int f = 0; f < walks[0].frames; f++) {
        EXPECT_EQ(walks[1].valid[f], walks[0].valid[f]) << "frame " << f;
        for (int r = 0; r < 64; r++)
            if (walks[0].valid[f] & (1ull << r)) {
                EXPECT_EQ(walks[1].values[f][r], walks[0].values[f][r]) << f << ":" << r;
            }
    }
}

}  // namespace
// clang-format on
