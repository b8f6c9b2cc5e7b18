#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The CFA rule table of the DWARF call-frame reader: runs a CIE's and an
// FDE's call-frame instructions up to a pc and applies the resulting rules
// to a frame's registers to recover its caller's. Fixed size, on the stack.
#include <cstdint>

#include "crash/capture/unwind/DwarfFrameInfo.h"
#include "crash/capture/unwind/ThreadState.h"

namespace ovcrash::PKR::async {

enum dwarf_cfa_reg_rule_t : uint8_t {
    DWARF_CFA_REG_RULE_OFFSET = 0,      // saved at CFA + value
    DWARF_CFA_REG_RULE_VAL_OFFSET = 1,  // is CFA + value
    DWARF_CFA_REG_RULE_REGISTER = 2,    // saved in DWARF register `value`
    DWARF_CFA_REG_RULE_EXPRESSION = 3,  // saved at the address the expression at `value` computes
    DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
    DWARF_CFA_REG_RULE_SAME_VALUE = 5,
    // Has no value in the caller: for the return address, the end of the stack.
    DWARF_CFA_REG_RULE_UNDEFINED = 6,
};

enum dwarf_cfa_rule_kind : uint8_t {
    DWARF_CFA_RULE_UNDEFINED = 0,
    DWARF_CFA_RULE_EXPRESSION = 1,       // address and length of the block
    DWARF_CFA_RULE_REGISTER = 2,         // register + unsigned offset
    DWARF_CFA_RULE_REGISTER_SIGNED = 3,  // register + signed offset
};

struct dwarf_cfa_rule {
    dwarf_cfa_rule_kind kind;
    uint32_t reg;     // DWARF register (kinds 2 and 3)
    uint64_t offset;  // kinds 2 and 3 (as signed for 3); the block's task address for kind 1
    uint64_t length;  // the block's length (kind 1)
};

// The rules for one pc of a 64-bit flavour, reduced to what a step needs: the
// registers mapped to the flavour's, no expression, every operand in range.
// Made once from the full rule table, applied to every frame at that pc.
struct dwarf_compiled_rules {
    static constexpr uint8_t kMaxOps = 14;
    static constexpr uint8_t kNoRegister = 0xff;
    enum op_kind : uint8_t {
        OP_LOAD = 0,       // saved at CFA + operand
        OP_VALUE = 1,      // is CFA + operand
        OP_COPY = 2,       // saved in register `operand`
        OP_SAME = 3,       // unchanged; this frame must have it
        OP_UNDEFINED = 4,  // no value in the caller
    };
    struct op {
        uint8_t target;  // the flavour's register, or kNoRegister for the return address alone
        op_kind kind;
        bool is_ra;
        int32_t operand;
    };
    uint32_t flavor;
    uint8_t cfa_register;
    uint8_t ra_register;  // kNoRegister when the return address column has none
    uint8_t count;
    bool signal_frame;
    bool ra_signed;
    uint64_t cfa_offset;
    op ops[kMaxOps];
};

// The caller of `current`, whose flavour the rules were made for.
async_error dwarf_compiled_rules_apply(task_t task, const dwarf_compiled_rules *rules, const thread_state *current,
                                       thread_state *next);

class dwarf_cfa_state {
public:
    static constexpr uint8_t kLevels = 6;
    static constexpr uint8_t kBuckets = 14;
    static constexpr uint8_t kEntries = 100;
    static constexpr uint8_t kEmpty = 255;

    dwarf_cfa_state();

    // false when the pool is used up.
    bool set_register(uint32_t regnum, dwarf_cfa_reg_rule_t rule, uint64_t value);
    bool get_register_rule(uint32_t regnum, dwarf_cfa_reg_rule_t *rule, uint64_t *value) const;
    void remove_register(uint32_t regnum);
    uint8_t get_register_count() const { return counts_[level_]; }

    void set_cfa_register(uint32_t regnum, uint64_t offset);
    void set_cfa_register_signed(uint32_t regnum, int64_t offset);
    void set_cfa_expression(uint64_t address, uint64_t length);
    dwarf_cfa_rule get_cfa_rule() const { return cfa_[level_]; }

    // remember_state / restore_state. push fails with all levels in use, or
    // when the pool cannot hold the copy; pop fails at level 0.
    bool push_state();
    bool pop_state();

    // Runs the instructions at [offset, offset + length) of the section with
    // `location` as the first location, stopping once the location passes
    // `pc` (no target: run to the end).
    async_error eval_program(const dwarf_section *section, const gnu_ehptr_reader *pointers,
                             const async_dwarf_cie_info *cie, uint64_t location, bool has_target, uint64_t pc,
                             uint64_t offset, uint64_t length);

    // The caller of `current`, from the current level's rules.
    async_error apply_state(task_t task, const dwarf_section *section, const async_dwarf_cie_info *cie,
                            const thread_state *current, thread_state *next) const;
    // The current level's rules for frames of current's flavour, in a form
    // that applies as apply_state does; false when they have none.
    bool compile(const dwarf_section *section, const async_dwarf_cie_info *cie, const thread_state *current,
                 dwarf_compiled_rules *out) const;

private:
    friend class dwarf_cfa_state_iterator;

    struct entry {
        uint64_t value;
        uint32_t regnum;
        dwarf_cfa_reg_rule_t rule;
        uint8_t next;
    };

    uint8_t find(uint32_t regnum) const;
    uint8_t allocate();

    uint8_t level_ = 0;
    bool ra_signed_ = false;  // 64-bit ARM: the return address carries an authentication code
    dwarf_cfa_rule cfa_[kLevels];
    uint8_t counts_[kLevels];
    uint8_t buckets_[kLevels][kBuckets];
    entry entries_[kEntries];
    uint8_t free_list_;
    uint8_t unused_;  // entries from here on were never handed out
};

// Walks the current level's rules, bucket by bucket, each chain in order.
class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state *state) : state_(state) {}
    // Inline: every step of a stack walk goes through the rules.
    bool next(uint32_t *regnum, dwarf_cfa_reg_rule_t *rule, uint64_t *value) {
        const uint8_t level = state_->level_;
        // Past the level's last rule no bucket needs looking at.
        if (seen_ == state_->counts_[level]) return false;
        if (entry_ != dwarf_cfa_state::kEmpty) entry_ = state_->entries_[entry_].next;
        while (entry_ == dwarf_cfa_state::kEmpty) {
            if (bucket_ == dwarf_cfa_state::kBuckets) return false;
            entry_ = state_->buckets_[level][bucket_++];
        }
        const auto &e = state_->entries_[entry_];
        *regnum = e.regnum;
        *rule = e.rule;
        *value = e.value;
        seen_++;
        return true;
    }

private:
    const dwarf_cfa_state *state_;
    uint8_t bucket_ = 0;
    uint8_t entry_ = dwarf_cfa_state::kEmpty;
    uint8_t seen_ = 0;
};

}  // namespace ovcrash::PKR::async
