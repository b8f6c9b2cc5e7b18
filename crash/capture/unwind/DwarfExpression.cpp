// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/DwarfExpression.h"

#include "crash/capture/unwind/FrameMemory.h"

namespace ovcrash::PKR::async {
namespace {

class expression_stack {
public:
    explicit expression_stack(bool is64) : mask_(is64 ? ~0ull : 0xffffffffull) {}

    bool push(uint64_t value) {
        if (depth_ == kDwarfExpressionStackSize) return false;
        values_[depth_++] = value & mask_;
        return true;
    }
    bool pop(uint64_t *value) {
        if (depth_ == 0) return false;
        *value = values_[--depth_];
        return true;
    }
    // The entry `index` places below the top.
    bool peek(size_t index, uint64_t *value) const {
        if (index >= depth_) return false;
        *value = values_[depth_ - 1 - index];
        return true;
    }
    size_t depth() const { return depth_; }
    // The value read as a signed number of the machine's width.
    int64_t as_signed(uint64_t value) const {
        return mask_ == ~0ull ? static_cast<int64_t>(value) : static_cast<int64_t>(static_cast<int32_t>(value));
    }

private:
    uint64_t values_[kDwarfExpressionStackSize];
    size_t depth_ = 0;
    uint64_t mask_;
};

async_error read_task_value(task_t task, const async_byteorder *byteorder, uint64_t address, uint8_t size,
                            uint64_t *value) {
    uint8_t bytes[8];
    if (frame_memory_read_checked(task, address, 0, bytes, size) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
    switch (size) {
    case 1: *value = bytes[0]; break;
    case 2: {
        uint16_t v;
        __builtin_memcpy(&v, bytes, 2);
        *value = byteorder->swap16(v);
        break;
    }
    case 4: {
        uint32_t v;
        __builtin_memcpy(&v, bytes, 4);
        *value = byteorder->swap32(v);
        break;
    }
    case 8: {
        uint64_t v;
        __builtin_memcpy(&v, bytes, 8);
        *value = byteorder->swap64(v);
        break;
    }
    default: return ASYNC_EINVAL;
    }
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error async_dwarf_expression_eval(const dwarf_section *section, task_t task, const thread_state *state, bool is64,
                                        uint64_t offset, uint64_t length, const uint64_t *initial, size_t initial_count,
                                        uint64_t *result) {
    if (offset > section->length || length > section->length - offset) return ASYNC_EINVAL;
    // Operands may not run past the block.
    dwarf_section block = *section;
    block.length = offset + length;
    const uint64_t start = offset, end = offset + length;
    const uint8_t word = is64 ? 8 : 4;

    expression_stack stack(is64);
    for (size_t i = 0; i < initial_count; i++)
        if (!stack.push(initial[i])) return ASYNC_EINTERNAL;

    uint64_t p = start;
    for (size_t steps = 0; p < end; steps++) {
        if (steps == kDwarfExpressionMaxSteps) return ASYNC_EINVAL;
        const uint8_t op = block.data[p++];
        uint64_t a, b, c, size;
        async_error err;

        if (op >= 0x30 && op <= 0x4f) {  // lit0-lit31
            if (!stack.push(op - 0x30)) return ASYNC_EINTERNAL;
            continue;
        }
        if ((op >= 0x70 && op <= 0x8f) || op == 0x92) {  // breg0-breg31, bregx
            uint64_t dwarf_reg = op - 0x70;
            if (op == 0x92) {
                if ((err = dwarf_read_uleb128(&block, p, &dwarf_reg, &size)) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
                p += size;
            }
            int64_t addend;
            if ((err = dwarf_read_sleb128(&block, p, &addend, &size)) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += size;
            uint32_t regnum;
            if (!thread_state_map_dwarf_register(state, dwarf_reg, &regnum)) return ASYNC_ENOTSUP;
            if (!thread_state_has_register(state, regnum)) return ASYNC_ENOTFOUND;
            if (!stack.push(thread_state_get_register(state, regnum) + static_cast<uint64_t>(addend)))
                return ASYNC_EINTERNAL;
            continue;
        }

        switch (op) {
        case 0x06:  // deref
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            if ((err = read_task_value(task, section->byteorder, a, word, &b)) != ASYNC_ESUCCESS) return err;
            stack.push(b);
            break;

        case 0x08:
        case 0x09:
        case 0x0a:
        case 0x0b:  // const1u ... const4s
        case 0x0c:
        case 0x0d:
        case 0x0e:
        case 0x0f: {
            static constexpr uint8_t sizes[] = {1, 1, 2, 2, 4, 4, 8, 8};
            const uint8_t n = sizes[op - 0x08];
            uint64_t v;
            if (dwarf_read_sized(&block, p, n, (op & 1) != 0, &v) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += n;
            if (!stack.push(v)) return ASYNC_EINTERNAL;
            break;
        }
        case 0x10:  // constu
            if (dwarf_read_uleb128(&block, p, &a, &size) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += size;
            if (!stack.push(a)) return ASYNC_EINTERNAL;
            break;
        case 0x11: {  // consts
            int64_t v;
            if (dwarf_read_sleb128(&block, p, &v, &size) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += size;
            if (!stack.push(static_cast<uint64_t>(v))) return ASYNC_EINTERNAL;
            break;
        }

        case 0x12:  // dup
            if (!stack.peek(0, &a)) return ASYNC_EINVAL;
            if (!stack.push(a)) return ASYNC_EINTERNAL;
            break;
        case 0x13:  // drop
            if (!stack.pop(&a)) return ASYNC_EINVAL;
            break;
        case 0x14:  // over
            if (!stack.peek(1, &a)) return ASYNC_EINVAL;
            if (!stack.push(a)) return ASYNC_EINTERNAL;
            break;
        case 0x15: {  // pick
            uint8_t index;
            if (dwarf_read_u8(&block, p++, &index) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            if (!stack.peek(index, &a)) return ASYNC_EINVAL;
            if (!stack.push(a)) return ASYNC_EINTERNAL;
            break;
        }
        case 0x16:  // swap
            if (!stack.pop(&a) || !stack.pop(&b)) return ASYNC_EINVAL;
            stack.push(a);
            stack.push(b);
            break;
        case 0x17:  // rot: the top goes below the next two
            if (!stack.pop(&a) || !stack.pop(&b) || !stack.pop(&c)) return ASYNC_EINVAL;
            stack.push(a);
            stack.push(c);
            stack.push(b);
            break;
        case 0x18:  // xderef: the address space below the address is not used
            if (!stack.pop(&a) || !stack.pop(&b)) return ASYNC_EINVAL;
            if ((err = read_task_value(task, section->byteorder, a, word, &c)) != ASYNC_ESUCCESS) return err;
            stack.push(c);
            break;

        case 0x19: {  // abs; the most negative value stays as it is
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            const int64_t v = stack.as_signed(a);
            stack.push(v < 0 ? 0 - static_cast<uint64_t>(v) : a);
            break;
        }
        case 0x1f:  // neg
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            stack.push(0 - static_cast<uint64_t>(stack.as_signed(a)));
            break;
        case 0x20:  // not
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            stack.push(~a);
            break;
        case 0x23:  // plus_uconst
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            if (dwarf_read_uleb128(&block, p, &b, &size) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += size;
            stack.push(a + b);
            break;

        case 0x1a:
        case 0x1b:
        case 0x1c:
        case 0x1d:
        case 0x1e:
        case 0x21:
        case 0x22:
        case 0x24:
        case 0x25:
        case 0x26:
        case 0x27:
        case 0x29:
        case 0x2a:
        case 0x2b:
        case 0x2c:
        case 0x2d:
        case 0x2e: {
            // a is the former top, b the entry below it: the result is b op a.
            if (!stack.pop(&a) || !stack.pop(&b)) return ASYNC_EINTERNAL;
            const unsigned shift = static_cast<unsigned>(a % 64);
            uint64_t r = 0;
            switch (op) {
            case 0x1a: r = b & a; break;
            case 0x1b:  // div, unsigned like the stack's words
                if (a == 0) return ASYNC_EINVAL;
                r = b / a;
                break;
            case 0x1c: r = b - a; break;
            case 0x1d:  // mod, unsigned
                if (a == 0) return ASYNC_EINVAL;
                r = b % a;
                break;
            case 0x1e: r = b * a; break;
            case 0x21: r = b | a; break;
            case 0x22: r = b + a; break;
            case 0x24: r = b << shift; break;
            case 0x25: r = b >> shift; break;
            case 0x26: r = static_cast<uint64_t>(stack.as_signed(b) >> shift); break;
            case 0x27: r = b ^ a; break;
            case 0x29: r = b == a; break;
            case 0x2a: r = b >= a; break;
            case 0x2b: r = b > a; break;
            case 0x2c: r = b <= a; break;
            case 0x2d: r = b < a; break;
            case 0x2e: r = b != a; break;
            }
            stack.push(r);
            break;
        }

        case 0x28:    // bra
        case 0x2f: {  // skip
            uint16_t raw;
            if (dwarf_read_u16(&block, p, &raw) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            p += 2;
            bool jump = true;
            if (op == 0x28) {
                if (!stack.pop(&a)) return ASYNC_EINTERNAL;
                jump = a != 0;
            }
            if (jump) {
                const int64_t target = static_cast<int64_t>(p) + static_cast<int16_t>(raw);
                if (target < static_cast<int64_t>(start) || target > static_cast<int64_t>(end)) return ASYNC_EINVAL;
                p = static_cast<uint64_t>(target);
            }
            break;
        }

        case 0x94:    // deref_size
        case 0x95: {  // xderef_size
            uint8_t n;
            if (dwarf_read_u8(&block, p++, &n) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
            if (n != 1 && n != 2 && n != 4 && n != 8) return ASYNC_EINVAL;
            if (!stack.pop(&a)) return ASYNC_EINTERNAL;
            if (op == 0x95 && !stack.pop(&b)) return ASYNC_EINTERNAL;
            if ((err = read_task_value(task, section->byteorder, a, n, &c)) != ASYNC_ESUCCESS) return err;
            stack.push(c);
            break;
        }
        case 0x96:  // nop
            break;
        default: return ASYNC_ENOTSUP;
        }
    }

    if (!stack.pop(result)) return ASYNC_EINVAL;
    return ASYNC_ESUCCESS;
}

}  // namespace ovcrash::PKR::async
