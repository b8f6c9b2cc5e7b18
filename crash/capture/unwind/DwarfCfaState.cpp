// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/DwarfCfaState.h"

#include "crash/capture/unwind/FrameMemory.h"

#include "crash/capture/unwind/DwarfExpression.h"

namespace ovcrash::PKR::async {

// Only level 0 is set up here; a level is cleared when pushed, and entries
// are handed out from the untouched rest of the pool before the free list.
dwarf_cfa_state::dwarf_cfa_state() {
    cfa_[0] = {};
    counts_[0] = 0;
    for (uint8_t b = 0; b < kBuckets; b++) buckets_[0][b] = kEmpty;
    free_list_ = kEmpty;
    unused_ = 0;
}

uint8_t dwarf_cfa_state::allocate() {
    if (free_list_ != kEmpty) {
        const uint8_t i = free_list_;
        free_list_ = entries_[i].next;
        return i;
    }
    return unused_ < kEntries ? unused_++ : kEmpty;
}

uint8_t dwarf_cfa_state::find(uint32_t regnum) const {
    for (uint8_t i = buckets_[level_][regnum % kBuckets]; i != kEmpty; i = entries_[i].next)
        if (entries_[i].regnum == regnum) return i;
    return kEmpty;
}

bool dwarf_cfa_state::set_register(uint32_t regnum, dwarf_cfa_reg_rule_t rule, uint64_t value) {
    uint8_t i = find(regnum);
    if (i == kEmpty) {
        if ((i = allocate()) == kEmpty) return false;
        entries_[i].regnum = regnum;
        entries_[i].next = kEmpty;
        // Appended, so that a chain keeps the order its rules were made in.
        uint8_t *link = &buckets_[level_][regnum % kBuckets];
        while (*link != kEmpty) link = &entries_[*link].next;
        *link = i;
        counts_[level_]++;
    }
    entries_[i].rule = rule;
    entries_[i].value = value;
    return true;
}

bool dwarf_cfa_state::get_register_rule(uint32_t regnum, dwarf_cfa_reg_rule_t *rule, uint64_t *value) const {
    const uint8_t i = find(regnum);
    if (i == kEmpty) return false;
    *rule = entries_[i].rule;
    *value = entries_[i].value;
    return true;
}

void dwarf_cfa_state::remove_register(uint32_t regnum) {
    for (uint8_t *link = &buckets_[level_][regnum % kBuckets]; *link != kEmpty; link = &entries_[*link].next) {
        const uint8_t i = *link;
        if (entries_[i].regnum == regnum) {
            *link = entries_[i].next;
            entries_[i].next = free_list_;
            free_list_ = i;
            counts_[level_]--;
            return;
        }
    }
}

void dwarf_cfa_state::set_cfa_register(uint32_t regnum, uint64_t offset) {
    cfa_[level_] = {DWARF_CFA_RULE_REGISTER, regnum, offset, 0};
}

void dwarf_cfa_state::set_cfa_register_signed(uint32_t regnum, int64_t offset) {
    cfa_[level_] = {DWARF_CFA_RULE_REGISTER_SIGNED, regnum, static_cast<uint64_t>(offset), 0};
}

void dwarf_cfa_state::set_cfa_expression(uint64_t address, uint64_t length) {
    cfa_[level_] = {DWARF_CFA_RULE_EXPRESSION, 0, address, length};
}

bool dwarf_cfa_state::push_state() {
    if (level_ + 1 >= kLevels) return false;
    const uint8_t from = level_;
    level_++;
    cfa_[level_] = cfa_[from];
    counts_[level_] = 0;
    for (uint8_t b = 0; b < kBuckets; b++) buckets_[level_][b] = kEmpty;
    for (uint8_t b = 0; b < kBuckets; b++) {
        for (uint8_t i = buckets_[from][b]; i != kEmpty; i = entries_[i].next) {
            if (!set_register(entries_[i].regnum, entries_[i].rule, entries_[i].value)) {
                pop_state();
                return false;
            }
        }
    }
    return true;
}

bool dwarf_cfa_state::pop_state() {
    if (level_ == 0) return false;
    for (uint8_t b = 0; b < kBuckets; b++) {
        uint8_t i = buckets_[level_][b];
        while (i != kEmpty) {
            const uint8_t next = entries_[i].next;
            entries_[i].next = free_list_;
            free_list_ = i;
            i = next;
        }
        buckets_[level_][b] = kEmpty;
    }
    counts_[level_] = 0;
    level_--;
    return true;
}

namespace {

// The rules in force before the FDE's instructions, for the restore opcodes.
struct initial_rules {
    struct rule {
        uint32_t regnum;
        dwarf_cfa_reg_rule_t kind;
        uint64_t value;
    } rules[dwarf_cfa_state::kEntries];
    uint8_t count = 0;

    bool find(uint32_t regnum, dwarf_cfa_reg_rule_t *kind, uint64_t *value) const {
        for (uint8_t i = 0; i < count; i++) {
            if (rules[i].regnum == regnum) {
                *kind = rules[i].kind;
                *value = rules[i].value;
                return true;
            }
        }
        return false;
    }
};

// Reads a ULEB128 register number; wider than 32 bits is not supported.
async_error read_register(const dwarf_section *program, uint64_t *p, uint32_t *regnum) {
    uint64_t value, size;
    async_error err = dwarf_read_uleb128(program, *p, &value, &size);
    if (err != ASYNC_ESUCCESS) return err;
    if (value > 0xffffffffu) return ASYNC_ENOTSUP;
    *p += size;
    *regnum = static_cast<uint32_t>(value);
    return ASYNC_ESUCCESS;
}

async_error read_uleb(const dwarf_section *program, uint64_t *p, uint64_t *value) {
    uint64_t size;
    async_error err = dwarf_read_uleb128(program, *p, value, &size);
    if (err == ASYNC_ESUCCESS) *p += size;
    return err;
}

async_error read_sleb(const dwarf_section *program, uint64_t *p, int64_t *value) {
    uint64_t size;
    async_error err = dwarf_read_sleb128(program, *p, value, &size);
    if (err == ASYNC_ESUCCESS) *p += size;
    return err;
}

// Operand errors inside the instructions: a number too wide stays "not
// supported", anything that runs past the bytes is invalid.
async_error operand_error(async_error err) { return err == ASYNC_ENOTSUP ? err : ASYNC_EINVAL; }

}  // namespace

async_error dwarf_cfa_state::eval_program(const dwarf_section *section, const gnu_ehptr_reader *pointers,
                                          const async_dwarf_cie_info *cie, uint64_t location, bool has_target,
                                          uint64_t pc, uint64_t offset, uint64_t length) {
    if (offset > section->length || length > section->length - offset) return ASYNC_EINVAL;
    dwarf_section program = *section;
    program.length = offset + length;

    initial_rules initial;
    {
        dwarf_cfa_state_iterator it(this);
        uint32_t regnum;
        dwarf_cfa_reg_rule_t kind;
        uint64_t value;
        while (it.next(&regnum, &kind, &value)) initial.rules[initial.count++] = {regnum, kind, value};
    }

    const uint8_t encoding =
        cie->pointer_encoding.present ? cie->pointer_encoding.pointer_encoding : static_cast<uint8_t>(DW_EH_PE_absptr);
    const uint64_t code_align = cie->code_alignment_factor;
    const uint64_t data_align = static_cast<uint64_t>(cie->data_alignment_factor);

    if (has_target && location > pc) return ASYNC_ESUCCESS;

    uint64_t p = offset;
    const uint64_t end = offset + length;
    while (p < end) {
        const uint8_t op = program.data[p++];
        async_error err = ASYNC_ESUCCESS;
        uint32_t regnum;
        uint64_t u;
        int64_t s;

        // Restores a register to its rule before the FDE's instructions.
        auto restore = [&](uint32_t reg) -> async_error {
            dwarf_cfa_reg_rule_t kind;
            uint64_t value;
            if (!initial.find(reg, &kind, &value)) {
                remove_register(reg);
                return ASYNC_ESUCCESS;
            }
            return set_register(reg, kind, value) ? ASYNC_ESUCCESS : ASYNC_ENOMEM;
        };
        auto set_rule = [&](uint32_t reg, dwarf_cfa_reg_rule_t kind, uint64_t value) -> async_error {
            return set_register(reg, kind, value) ? ASYNC_ESUCCESS : ASYNC_ENOMEM;
        };
        // An expression rule keeps the task address of the block's length;
        // the block itself is stepped over here.
        auto skip_block = [&](uint64_t *length_address) -> async_error {
            *length_address = section->address + p;
            uint64_t block_length;
            async_error e = read_uleb(&program, &p, &block_length);
            if (e != ASYNC_ESUCCESS) return operand_error(e);
            if (block_length > end - p) return ASYNC_EINVAL;
            p += block_length;
            return ASYNC_ESUCCESS;
        };

        switch (op & 0xc0) {
        case 0x40:  // advance_loc
            location += (op & 0x3f) * code_align;
            break;
        case 0x80:  // offset
            if ((err = read_uleb(&program, &p, &u)) != ASYNC_ESUCCESS) return operand_error(err);
            err = set_rule(op & 0x3f, DWARF_CFA_REG_RULE_OFFSET, u * data_align);
            break;
        case 0xc0:  // restore
            err = restore(op & 0x3f);
            break;
        default:
            switch (op) {
            case 0x00:  // nop
                break;
            case 0x01: {  // set_loc
                if (cie->segment_size != 0) return ASYNC_ENOTSUP;
                uint64_t size;
                if ((err = pointers->read(&program, p, encoding, &location, &size)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                p += size;
                break;
            }
            case 0x02:    // advance_loc1
            case 0x03:    // advance_loc2
            case 0x04: {  // advance_loc4
                const uint8_t size = op == 0x02 ? 1 : op == 0x03 ? 2 : 4;
                uint64_t delta;
                err = dwarf_read_sized(&program, p, size, false, &delta);
                if (err != ASYNC_ESUCCESS) return ASYNC_EINVAL;
                p += size;
                location += delta * code_align;
                break;
            }
            case 0x05:  // offset_extended
            case 0x14:  // val_offset
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS ||
                    (err = read_uleb(&program, &p, &u)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                err = set_rule(regnum, op == 0x05 ? DWARF_CFA_REG_RULE_OFFSET : DWARF_CFA_REG_RULE_VAL_OFFSET,
                               u * data_align);
                break;
            case 0x11:  // offset_extended_sf
            case 0x15:  // val_offset_sf
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS ||
                    (err = read_sleb(&program, &p, &s)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                err = set_rule(regnum, op == 0x11 ? DWARF_CFA_REG_RULE_OFFSET : DWARF_CFA_REG_RULE_VAL_OFFSET,
                               static_cast<uint64_t>(s) * data_align);
                break;
            case 0x06:  // restore_extended
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS) return operand_error(err);
                err = restore(regnum);
                break;
            case 0x07:  // undefined
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS) return operand_error(err);
                err = set_rule(regnum, DWARF_CFA_REG_RULE_UNDEFINED, 0);
                break;
            case 0x08:  // same_value
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS) return operand_error(err);
                err = set_rule(regnum, DWARF_CFA_REG_RULE_SAME_VALUE, 0);
                break;
            case 0x09: {  // register
                uint32_t second;
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS ||
                    (err = read_register(&program, &p, &second)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                err = set_rule(regnum, DWARF_CFA_REG_RULE_REGISTER, second);
                break;
            }
            case 0x0a:  // remember_state
                if (!push_state()) return ASYNC_ENOMEM;
                break;
            case 0x0b:  // restore_state
                if (!pop_state()) return ASYNC_EINVAL;
                break;
            case 0x0c:  // def_cfa
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS ||
                    (err = read_uleb(&program, &p, &u)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                set_cfa_register(regnum, u);
                break;
            case 0x12:  // def_cfa_sf
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS ||
                    (err = read_sleb(&program, &p, &s)) != ASYNC_ESUCCESS)
                    return operand_error(err);
                set_cfa_register_signed(regnum, static_cast<int64_t>(static_cast<uint64_t>(s) * data_align));
                break;
            case 0x0d: {  // def_cfa_register
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS) return operand_error(err);
                dwarf_cfa_rule &cfa = cfa_[level_];
                if (cfa.kind != DWARF_CFA_RULE_REGISTER && cfa.kind != DWARF_CFA_RULE_REGISTER_SIGNED)
                    return ASYNC_EINVAL;
                cfa.reg = regnum;
                break;
            }
            case 0x0e:    // def_cfa_offset
            case 0x13: {  // def_cfa_offset_sf
                dwarf_cfa_rule &cfa = cfa_[level_];
                if (cfa.kind != DWARF_CFA_RULE_REGISTER && cfa.kind != DWARF_CFA_RULE_REGISTER_SIGNED)
                    return ASYNC_EINVAL;
                if (op == 0x0e) {
                    if ((err = read_uleb(&program, &p, &u)) != ASYNC_ESUCCESS) return operand_error(err);
                    set_cfa_register(cfa.reg, u);
                } else {
                    if ((err = read_sleb(&program, &p, &s)) != ASYNC_ESUCCESS) return operand_error(err);
                    set_cfa_register_signed(cfa.reg, static_cast<int64_t>(static_cast<uint64_t>(s) * data_align));
                }
                break;
            }
            case 0x0f: {  // def_cfa_expression
                uint64_t length_address;
                if ((err = skip_block(&length_address)) != ASYNC_ESUCCESS) return err;
                // The block follows its length.
                uint64_t block_length, size;
                dwarf_read_uleb128(&program, length_address - section->address, &block_length, &size);
                set_cfa_expression(length_address + size, block_length);
                break;
            }
            case 0x10:    // expression
            case 0x16: {  // val_expression
                uint64_t length_address;
                if ((err = read_register(&program, &p, &regnum)) != ASYNC_ESUCCESS) return operand_error(err);
                if ((err = skip_block(&length_address)) != ASYNC_ESUCCESS) return err;
                err = set_rule(regnum, op == 0x10 ? DWARF_CFA_REG_RULE_EXPRESSION : DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                               length_address);
                break;
            }
            case 0x2d:  // AArch64 negate_ra_state: return addresses are signed from here on
                ra_signed_ = !ra_signed_;
                break;
            case 0x2e:  // GNU_args_size: only the exception runtime needs it
                if ((err = read_uleb(&program, &p, &u)) != ASYNC_ESUCCESS) return operand_error(err);
                break;
            default: return ASYNC_ENOTSUP;
            }
        }
        if (err != ASYNC_ESUCCESS) return err;
        if (has_target && location > pc) return ASYNC_ESUCCESS;
    }
    return ASYNC_ESUCCESS;
}

namespace {

async_error read_word(task_t task, const async_byteorder *byteorder, bool is64, uint64_t address, uint64_t *value) {
    async_error err;
    if (is64) {
        // One read, and no conversion for the host's own order.
        if ((err = frame_memory_read(task, address, 0, value, 8)) == ASYNC_ESUCCESS &&
            byteorder != &async_byteorder_direct)
            *value = byteorder->swap64(*value);
        return err;
    }
    uint32_t v;
    if ((err = frame_memory_read_uint32(task, byteorder, address, 0, &v)) == ASYNC_ESUCCESS) *value = v;
    return err;
}

// Evaluates the expression whose ULEB128 length is at task address
// `length_address`, with the initial values given.
async_error eval_block(task_t task, const dwarf_section *section, const thread_state *current, bool is64,
                       uint64_t length_address, const uint64_t *initial, size_t count, uint64_t *result) {
    if (length_address < section->address) return ASYNC_EINVAL;
    const uint64_t offset = length_address - section->address;
    uint64_t length, size;
    async_error err = dwarf_read_uleb128(section, offset, &length, &size);
    if (err != ASYNC_ESUCCESS) return err;
    return async_dwarf_expression_eval(section, task, current, is64, offset + size, length, initial, count, result);
}

// Removes the authentication code that 64-bit ARM signs return addresses with.
uint64_t strip_pointer_authentication(uint64_t address) {
#if defined(__aarch64__)
    register uint64_t x30 asm("x30") = address;
    asm("hint #7" : "+r"(x30));  // xpaclri: a no-op where there is no pointer authentication
    return x30;
#else
    return address & 0x0000ffffffffffffull;
#endif
}

// Gives the caller its pc once the register rules are applied: none in the
// outermost frame (an undefined return address), else the return address
// register's own value when no rule gave one, unsigned when `strip`.
// `ra_register` is the state's register for the return address column, or
// a number the state has no register for.
inline async_error finish_caller_pc(const thread_state *current, thread_state *next, bool pc_found, bool pc_undefined,
                                    uint32_t ra_register, bool strip) {
    if (pc_undefined) {
        // The outermost frame: the cursor ends the walk on a frame without a pc.
        thread_state_clear_register(next, REG_IP);
        return ASYNC_ESUCCESS;
    }
    if (!pc_found) {
        if (!thread_state_has_register(current, ra_register)) return ASYNC_EINVAL;
        thread_state_set_register(next, REG_IP, thread_state_get_register(current, ra_register));
    }
    if (strip)
        thread_state_set_register(next, REG_IP, strip_pointer_authentication(thread_state_get_register(next, REG_IP)));
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error dwarf_cfa_state::apply_state(task_t task, const dwarf_section *section, const async_dwarf_cie_info *cie,
                                         const thread_state *current, thread_state *next) const {
    const bool is64 = thread_state_register_size(current) == 8;
    thread_state_copy(next, current);
    thread_state_clear_volatile_registers(next);
    // The caller of a signal frame was interrupted, not calling.
    next->pc_exact = cie->signal_frame;

    uint64_t cfa;
    const dwarf_cfa_rule &rule = cfa_[level_];
    switch (rule.kind) {
    case DWARF_CFA_RULE_REGISTER:
    case DWARF_CFA_RULE_REGISTER_SIGNED: {
        uint32_t regnum;
        if (!thread_state_map_dwarf_register(current, rule.reg, &regnum)) return ASYNC_ENOTSUP;
        if (!thread_state_has_register(current, regnum)) return ASYNC_ENOTFOUND;
        cfa = thread_state_get_register(current, regnum) + rule.offset;
        break;
    }
    case DWARF_CFA_RULE_EXPRESSION: {
        if (rule.offset < section->address) return ASYNC_EINVAL;
        async_error err = async_dwarf_expression_eval(section, task, current, is64, rule.offset - section->address,
                                                      rule.length, nullptr, 0, &cfa);
        if (err != ASYNC_ESUCCESS) return err;
        break;
    }
    default: return ASYNC_EINVAL;
    }
    if (!is64) cfa &= 0xffffffffu;
    thread_state_set_register(next, REG_SP, cfa);

    const uint64_t ra_column = cie->return_address_register;
    bool pc_found = false, pc_undefined = false;
    dwarf_cfa_state_iterator it(this);
    uint32_t dwarf_reg;
    dwarf_cfa_reg_rule_t kind;
    uint64_t operand;
    while (it.next(&dwarf_reg, &kind, &operand)) {
        uint32_t regnum = 0;
        const bool mapped = thread_state_map_dwarf_register(current, dwarf_reg, &regnum);
        const bool is_ra = dwarf_reg == ra_column;
        // A register this state does not have is of no use to the caller.
        if (!mapped && !is_ra) continue;

        uint64_t value = 0;
        async_error err = ASYNC_ESUCCESS;
        switch (kind) {
        case DWARF_CFA_REG_RULE_OFFSET: err = read_word(task, section->byteorder, is64, cfa + operand, &value); break;
        case DWARF_CFA_REG_RULE_VAL_OFFSET: value = cfa + operand; break;
        case DWARF_CFA_REG_RULE_REGISTER: {
            uint32_t source;
            if (!thread_state_map_dwarf_register(current, operand, &source)) return ASYNC_EINVAL;
            if (!thread_state_has_register(current, source)) return ASYNC_ENOTFOUND;
            value = thread_state_get_register(current, source);
            break;
        }
        case DWARF_CFA_REG_RULE_EXPRESSION:
        case DWARF_CFA_REG_RULE_VAL_EXPRESSION:
            err = eval_block(task, section, current, is64, operand, &cfa, 1, &value);
            if (err == ASYNC_ESUCCESS && kind == DWARF_CFA_REG_RULE_EXPRESSION)
                err = read_word(task, section->byteorder, is64, value, &value);
            break;
        case DWARF_CFA_REG_RULE_SAME_VALUE:
            if (!mapped || !thread_state_has_register(current, regnum)) return ASYNC_ENOTFOUND;
            value = thread_state_get_register(current, regnum);
            break;
        case DWARF_CFA_REG_RULE_UNDEFINED:
            if (mapped) thread_state_clear_register(next, regnum);
            if (is_ra) pc_undefined = true;
            continue;
        default: continue;
        }
        if (err != ASYNC_ESUCCESS) return err;
        if (mapped) thread_state_set_register(next, regnum, value);
        if (is_ra) {
            thread_state_set_register(next, REG_IP, value);
            pc_found = true;
        }
    }

    uint32_t ra_register;
    if (!thread_state_map_dwarf_register(current, ra_column, &ra_register))
        ra_register = dwarf_compiled_rules::kNoRegister;
    return finish_caller_pc(current, next, pc_found, pc_undefined, ra_register,
                            ra_signed_ && current->ts.flavor == ARM_THREAD_STATE64);
}

bool dwarf_cfa_state::compile(const dwarf_section *section, const async_dwarf_cie_info *cie,
                              const thread_state *current, dwarf_compiled_rules *out) const {
    using rules = dwarf_compiled_rules;
    const uint32_t flavor = current->ts.flavor;
    if ((flavor != X86_THREAD_STATE64 && flavor != ARM_THREAD_STATE64) || current->register_size != 8 ||
        section->byteorder != &async_byteorder_direct)
        return false;
    const dwarf_cfa_rule &rule = cfa_[level_];
    uint32_t regnum;
    if ((rule.kind != DWARF_CFA_RULE_REGISTER && rule.kind != DWARF_CFA_RULE_REGISTER_SIGNED) ||
        !thread_state_map_dwarf_register(current, rule.reg, &regnum))
        return false;
    out->flavor = flavor;
    out->cfa_register = static_cast<uint8_t>(regnum);
    out->cfa_offset = rule.offset;
    out->signal_frame = cie->signal_frame;
    out->ra_signed = ra_signed_;
    out->ra_register = thread_state_map_dwarf_register(current, cie->return_address_register, &regnum)
                           ? static_cast<uint8_t>(regnum)
                           : rules::kNoRegister;
    out->count = 0;

    dwarf_cfa_state_iterator it(this);
    uint32_t dwarf_reg;
    dwarf_cfa_reg_rule_t kind;
    uint64_t operand;
    while (it.next(&dwarf_reg, &kind, &operand)) {
        const bool mapped = thread_state_map_dwarf_register(current, dwarf_reg, &regnum);
        const bool is_ra = dwarf_reg == cie->return_address_register;
        if (!mapped && !is_ra) continue;
        rules::op op{mapped ? static_cast<uint8_t>(regnum) : rules::kNoRegister, rules::OP_LOAD, is_ra, 0};
        const auto offset = static_cast<int64_t>(operand);
        switch (kind) {
        case DWARF_CFA_REG_RULE_OFFSET:
        case DWARF_CFA_REG_RULE_VAL_OFFSET:
            if (offset != static_cast<int32_t>(offset)) return false;
            op.kind = kind == DWARF_CFA_REG_RULE_OFFSET ? rules::OP_LOAD : rules::OP_VALUE;
            op.operand = static_cast<int32_t>(offset);
            break;
        case DWARF_CFA_REG_RULE_REGISTER: {
            uint32_t source;
            if (!thread_state_map_dwarf_register(current, operand, &source)) return false;
            op.kind = rules::OP_COPY;
            op.operand = static_cast<int32_t>(source);
            break;
        }
        case DWARF_CFA_REG_RULE_SAME_VALUE: op.kind = rules::OP_SAME; break;
        case DWARF_CFA_REG_RULE_UNDEFINED: op.kind = rules::OP_UNDEFINED; break;
        case DWARF_CFA_REG_RULE_EXPRESSION:
        case DWARF_CFA_REG_RULE_VAL_EXPRESSION: return false;
        default: continue;
        }
        if (out->count == rules::kMaxOps) return false;
        out->ops[out->count++] = op;
    }
    return true;
}

async_error dwarf_compiled_rules_apply(task_t task, const dwarf_compiled_rules *rules, const thread_state *current,
                                       thread_state *next) {
    using r = dwarf_compiled_rules;
    next->stack_direction = current->stack_direction;
    next->register_size = current->register_size;
    next->ts.flavor = current->ts.flavor;
    next->ts.count = current->ts.count;
    // Of this frame's registers, only those the callee keeps reach the caller.
    const uint64_t preserved = rules->flavor == X86_THREAD_STATE64 ? thread_state_tables::kX86_64Preserved
                                                                   : thread_state_tables::kArm64Preserved;
    next->valid_regs = 0;
    for (uint64_t keep = current->valid_regs & preserved; keep != 0; keep &= keep - 1) {
        const auto regnum = static_cast<uint32_t>(__builtin_ctzll(keep));
        thread_state_set_register(next, regnum, thread_state_get_register(current, regnum));
    }
    // The caller of a signal frame was interrupted, not calling.
    next->pc_exact = rules->signal_frame;

    if (!thread_state_has_register(current, rules->cfa_register)) return ASYNC_ENOTFOUND;
    const uint64_t cfa = thread_state_get_register(current, rules->cfa_register) + rules->cfa_offset;
    thread_state_set_register(next, REG_SP, cfa);

    bool pc_found = false, pc_undefined = false;
    for (uint8_t i = 0; i < rules->count; i++) {
        const r::op &op = rules->ops[i];
        uint64_t value = 0;
        switch (op.kind) {
        case r::OP_LOAD: {
            const async_error err = frame_memory_read(task, cfa + static_cast<uint64_t>(int64_t{op.operand}), 0,
                                                      &value, 8);
            if (err != ASYNC_ESUCCESS) return err;
            break;
        }
        case r::OP_VALUE: value = cfa + static_cast<uint64_t>(int64_t{op.operand}); break;
        case r::OP_COPY: {
            const auto source = static_cast<uint32_t>(op.operand);
            if (!thread_state_has_register(current, source)) return ASYNC_ENOTFOUND;
            value = thread_state_get_register(current, source);
            break;
        }
        case r::OP_SAME:
            if (!thread_state_has_register(current, op.target)) return ASYNC_ENOTFOUND;  // kNoRegister too
            value = thread_state_get_register(current, op.target);
            break;
        case r::OP_UNDEFINED:
            if (op.target != r::kNoRegister) thread_state_clear_register(next, op.target);
            if (op.is_ra) pc_undefined = true;
            continue;
        }
        if (op.target != r::kNoRegister) thread_state_set_register(next, op.target, value);
        if (op.is_ra) {
            thread_state_set_register(next, REG_IP, value);
            pc_found = true;
        }
    }

    return finish_caller_pc(current, next, pc_found, pc_undefined, rules->ra_register,
                            rules->ra_signed && rules->flavor == ARM_THREAD_STATE64);
}

}  // namespace ovcrash::PKR::async
