// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/CompactUnwind.h"

#include "crash/capture/unwind/FrameMemory.h"

#include "crash/capture/image/ImageList.h"

namespace ovcrash {

namespace ps = platform::system;

namespace {

// Reads the u32 at `offset` from the section start.
async_error read32(const compact_unwind_reader *reader, uint64_t offset, uint32_t *value) {
    if (offset > INT64_MAX) return ASYNC_EINVAL;
    async_error err = mobject_read_uint32(&reader->section, reader->byteorder, reader->section.task_address,
                                          static_cast<int64_t>(offset), value);
    return err == ASYNC_ESUCCESS ? err : ASYNC_EINVAL;
}

async_error read16(const compact_unwind_reader *reader, uint64_t offset, uint16_t *value) {
    if (offset > INT64_MAX) return ASYNC_EINVAL;
    async_error err = mobject_read_uint16(&reader->section, reader->byteorder, reader->section.task_address,
                                          static_cast<int64_t>(offset), value);
    return err == ASYNC_ESUCCESS ? err : ASYNC_EINVAL;
}

// Whether [offset, offset + count * size) lies in the section.
bool table_in_section(const compact_unwind_reader *reader, uint64_t offset, uint64_t count, uint64_t size) {
    const uint64_t length = reader->section.length;
    return offset <= length && count <= (length - offset) / size;
}

// Index of the last of `count` entries whose key is not above `target`, or
// `count` when the first is already above it.
template <typename KeyAt>
async_error search(uint64_t count, uint64_t target, KeyAt key_at, uint64_t *found) {
    uint64_t low = 0, high = count;
    while (low < high) {
        const uint64_t mid = low + (high - low) / 2;
        uint64_t key;
        async_error err = key_at(mid, &key);
        if (err != ASYNC_ESUCCESS) return err;
        if (key <= target)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0) return ASYNC_ENOTFOUND;
    *found = low - 1;
    return ASYNC_ESUCCESS;
}

constexpr uint32_t kModeMask = 0x0f000000;
constexpr uint32_t kPageRegular = 2;
constexpr uint32_t kPageCompressed = 3;

}  // namespace

async_error compact_unwind_reader_init(compact_unwind_reader *reader, const async_mobject *section,
                                       const async_byteorder *byteorder, ps::cpu_type_t cputype) {
    if (cputype != ps::CPU_TYPE_ARM64 && cputype != ps::CPU_TYPE_X86_64 && cputype != ps::CPU_TYPE_X86)
        return ASYNC_ENOTSUP;
    reader->section = *section;
    reader->byteorder = byteorder;
    reader->cputype = cputype;
    uint32_t *fields = &reader->header.version;
    for (int i = 0; i < 7; i++)
        if (read32(reader, 4 * i, &fields[i]) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
    if (reader->header.version != 1) return ASYNC_ENOTSUP;
    return ASYNC_ESUCCESS;
}

async_error compact_unwind_find_pc(const compact_unwind_reader *reader, uint64_t pc_offset, uint32_t *function_base,
                                   uint32_t *encoding) {
    const auto &h = reader->header;
    if (!table_in_section(reader, h.common_encodings_offset, h.common_encodings_count, 4)) return ASYNC_EINVAL;
    // The last index entry only closes the range of the one before it.
    if (h.index_count < 2) return ASYNC_ENOTFOUND;
    if (!table_in_section(reader, h.index_offset, h.index_count, 12)) return ASYNC_EINVAL;
    if (pc_offset > UINT32_MAX) return ASYNC_ENOTFOUND;

    uint64_t first;
    async_error err = search(
        h.index_count - 1, pc_offset,
        [&](uint64_t i, uint64_t *key) {
            uint32_t v;
            async_error e = read32(reader, h.index_offset + 12 * i, &v);
            *key = v;
            return e;
        },
        &first);
    if (err != ASYNC_ESUCCESS) return err;
    uint32_t first_function, page;
    if ((err = read32(reader, h.index_offset + 12 * first, &first_function)) != ASYNC_ESUCCESS ||
        (err = read32(reader, h.index_offset + 12 * first + 4, &page)) != ASYNC_ESUCCESS)
        return err;

    uint32_t kind;
    if ((err = read32(reader, page, &kind)) != ASYNC_ESUCCESS) return err;
    uint16_t entries_offset, entry_count;
    if ((err = read16(reader, uint64_t{page} + 4, &entries_offset)) != ASYNC_ESUCCESS ||
        (err = read16(reader, uint64_t{page} + 6, &entry_count)) != ASYNC_ESUCCESS)
        return err;
    const uint64_t entries = uint64_t{page} + entries_offset;

    if (kind == kPageCompressed) {
        uint16_t encodings_offset, encodings_count;
        if ((err = read16(reader, uint64_t{page} + 8, &encodings_offset)) != ASYNC_ESUCCESS ||
            (err = read16(reader, uint64_t{page} + 10, &encodings_count)) != ASYNC_ESUCCESS)
            return err;
        if (!table_in_section(reader, entries, entry_count, 4)) return ASYNC_EINVAL;
        uint64_t found;
        err = search(
            entry_count, pc_offset,
            [&](uint64_t i, uint64_t *key) {
                uint32_t v;
                async_error e = read32(reader, entries + 4 * i, &v);
                *key = uint64_t{v & 0x00ffffff} + first_function;
                return e;
            },
            &found);
        if (err != ASYNC_ESUCCESS) return err;
        uint32_t entry;
        if ((err = read32(reader, entries + 4 * found, &entry)) != ASYNC_ESUCCESS) return err;
        const uint64_t base = uint64_t{entry & 0x00ffffff} + first_function;
        if (base > UINT32_MAX) return ASYNC_EINVAL;
        const uint32_t index = entry >> 24;
        if (index < h.common_encodings_count)
            return (err = read32(reader, h.common_encodings_offset + 4 * uint64_t{index}, encoding)) == ASYNC_ESUCCESS
                       ? (*function_base = static_cast<uint32_t>(base), ASYNC_ESUCCESS)
                       : err;
        const uint32_t local = index - h.common_encodings_count;
        if (local >= encodings_count) return ASYNC_EINVAL;
        if ((err = read32(reader, uint64_t{page} + encodings_offset + 4 * uint64_t{local}, encoding)) != ASYNC_ESUCCESS)
            return err;
        *function_base = static_cast<uint32_t>(base);
        return ASYNC_ESUCCESS;
    }

    if (kind == kPageRegular) {
        if (!table_in_section(reader, entries, entry_count, 8)) return ASYNC_EINVAL;
        uint64_t found;
        err = search(
            entry_count, pc_offset,
            [&](uint64_t i, uint64_t *key) {
                uint32_t v;
                async_error e = read32(reader, entries + 8 * i, &v);
                *key = v;
                return e;
            },
            &found);
        if (err != ASYNC_ESUCCESS) return err;
        if ((err = read32(reader, entries + 8 * found, function_base)) != ASYNC_ESUCCESS) return err;
        return read32(reader, entries + 8 * found + 4, encoding);
    }
    return ASYNC_EINVAL;
}

namespace {

// 64-bit ARM: callee-saved pairs by flag bit, in the order they are listed.
void arm64_registers(compact_unwind_entry *entry, uint32_t encoding) {
    static constexpr struct {
        uint32_t flag;
        uint32_t first, second;  // x-register indexes
    } pairs[] = {{0x10, 28, 27}, {0x08, 26, 25}, {0x04, 24, 23}, {0x02, 22, 21}, {0x01, 20, 19}};
    for (const auto &pair : pairs) {
        if (encoding & pair.flag) {
            entry->register_list[entry->register_count++] = ARM64_REG_X0 + pair.first;
            entry->register_list[entry->register_count++] = ARM64_REG_X0 + pair.second;
        }
    }
}

// x86 register codes 1-6 as register numbers; false for a code above 6.
bool x86_register(ps::cpu_type_t cputype, uint32_t code, uint32_t *regnum) {
    static constexpr uint32_t x86_64[] = {
        COMPACT_UNWIND_NO_REGISTER, X86_64_REG_RBX, X86_64_REG_R8 + 4, X86_64_REG_R8 + 5, X86_64_REG_R8 + 6,
        X86_64_REG_R8 + 7,          REG_FP};
    static constexpr uint32_t x86[] = {
        COMPACT_UNWIND_NO_REGISTER, X86_REG_EBX, X86_REG_ECX, X86_REG_EDX, X86_REG_EDI, X86_REG_ESI, REG_FP};
    if (code > 6) return false;
    *regnum = cputype == ps::CPU_TYPE_X86_64 ? x86_64[code] : x86[code];
    return true;
}

// The registers of a frameless function: `count` codes encoded as a
// permutation number, each digit picking among the codes not yet used.
async_error x86_permutation(compact_unwind_entry *entry, ps::cpu_type_t cputype, uint32_t count, uint32_t permutation) {
    if (count > 6) return ASYNC_EINVAL;
    uint32_t digits[6] = {};
    const uint32_t p = permutation;
    switch (count) {
    case 6:
    case 5:
        digits[0] = p / 120;
        digits[1] = (p % 120) / 24;
        digits[2] = (p % 24) / 6;
        digits[3] = (p % 6) / 2;
        digits[4] = p % 2;
        digits[5] = 0;
        break;
    case 4:
        digits[0] = p / 60;
        digits[1] = (p % 60) / 12;
        digits[2] = (p % 12) / 3;
        digits[3] = p % 3;
        break;
    case 3:
        digits[0] = p / 20;
        digits[1] = (p % 20) / 4;
        digits[2] = p % 4;
        break;
    case 2:
        digits[0] = p / 5;
        digits[1] = p % 5;
        break;
    case 1: digits[0] = p; break;
    default: break;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; i++) {
        // The digit-th code still unused.
        uint32_t code = 0;
        for (uint32_t candidate = 1, seen = 0; candidate <= 6; candidate++) {
            if (used[candidate]) continue;
            if (seen++ == digits[i]) {
                code = candidate;
                break;
            }
        }
        if (code == 0) return ASYNC_EINVAL;
        used[code] = true;
        x86_register(cputype, code, &entry->register_list[entry->register_count++]);
    }
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error compact_unwind_entry_init(compact_unwind_entry *entry, ps::cpu_type_t cputype, uint32_t encoding) {
    *entry = {};
    entry->cputype = cputype;
    entry->return_address_register = COMPACT_UNWIND_NO_REGISTER;
    for (uint32_t &reg : entry->register_list) reg = COMPACT_UNWIND_NO_REGISTER;
    const uint32_t mode = (encoding & kModeMask) >> 24;

    if (cputype == ps::CPU_TYPE_ARM64) {
        switch (mode) {
        case 0: entry->kind = COMPACT_UNWIND_NONE; return ASYNC_ESUCCESS;
        case 3:
            entry->kind = COMPACT_UNWIND_DWARF;
            entry->stack_offset = encoding & 0x00ffffff;
            return ASYNC_ESUCCESS;
        case 2:
            entry->kind = COMPACT_UNWIND_FRAMELESS_IMMD;
            entry->stack_offset = ((encoding >> 12) & 0xfff) * 16;
            entry->return_address_register = ARM64_REG_LR;
            arm64_registers(entry, encoding);
            return ASYNC_ESUCCESS;
        case 4:
            entry->kind = COMPACT_UNWIND_FRAME;
            arm64_registers(entry, encoding);
            entry->stack_offset = -8 * static_cast<int64_t>(entry->register_count);
            return ASYNC_ESUCCESS;
        default: return ASYNC_ENOTSUP;
        }
    }
    if (cputype != ps::CPU_TYPE_X86_64 && cputype != ps::CPU_TYPE_X86) return ASYNC_ENOTSUP;

    const int64_t word = cputype == ps::CPU_TYPE_X86_64 ? 8 : 4;
    switch (mode) {
    case 0: entry->kind = COMPACT_UNWIND_NONE; return ASYNC_ESUCCESS;
    case 4:
        entry->kind = COMPACT_UNWIND_DWARF;
        entry->stack_offset = encoding & 0x00ffffff;
        return ASYNC_ESUCCESS;
    case 1: {
        entry->kind = COMPACT_UNWIND_FRAME;
        entry->stack_offset = -static_cast<int64_t>((encoding >> 16) & 0xff) * word;
        uint32_t registers = encoding & 0x7fff;
        while (registers != 0) {
            uint32_t regnum;
            if (!x86_register(cputype, registers & 0x7, &regnum)) return ASYNC_EINVAL;
            entry->register_list[entry->register_count++] = regnum;
            registers >>= 3;
        }
        return ASYNC_ESUCCESS;
    }
    case 2:
    case 3:
        if (mode == 2) {
            entry->kind = COMPACT_UNWIND_FRAMELESS_IMMD;
            entry->stack_offset = ((encoding >> 16) & 0xff) * word;
        } else {
            entry->kind = COMPACT_UNWIND_FRAMELESS_INDIRECT;
            entry->stack_offset = (encoding >> 16) & 0xff;
            entry->stack_adjust = static_cast<uint32_t>(((encoding >> 13) & 0x7) * word);
        }
        return x86_permutation(entry, cputype, (encoding >> 10) & 0x7, encoding & 0x3ff);
    default: return ASYNC_ENOTSUP;
    }
}

namespace {

async_error read_word(task_t task, uint64_t address, int64_t offset, size_t width, uint64_t *value) {
    if (width == 8) return frame_memory_read_uint64(task, async_byteorder_native(), address, offset, value);
    uint32_t v;
    async_error err = frame_memory_read_uint32(task, async_byteorder_native(), address, offset, &v);
    if (err == ASYNC_ESUCCESS) *value = v;
    return err;
}

}  // namespace

async_error compact_unwind_entry_apply(task_t task, uint64_t function_address, const thread_state *current,
                                       const compact_unwind_entry *entry, thread_state *next) {
    const size_t w = thread_state_register_size(current);
    const uint32_t register_count = thread_state_register_count(current);
    // Numbers from unwind data are checked before they reach the state.
    if (entry->register_count > COMPACT_UNWIND_MAX_REGISTERS) return ASYNC_EINVAL;
    for (uint32_t i = 0; i < entry->register_count; i++)
        if (entry->register_list[i] != COMPACT_UNWIND_NO_REGISTER && entry->register_list[i] >= register_count)
            return ASYNC_EINVAL;
    if (entry->return_address_register != COMPACT_UNWIND_NO_REGISTER &&
        entry->return_address_register >= register_count)
        return ASYNC_EINVAL;

    thread_state_copy(next, current);
    thread_state_clear_volatile_registers(next);
    next->pc_exact = false;

    uint64_t area;
    async_error err;
    switch (entry->kind) {
    case COMPACT_UNWIND_FRAME: {
        if (!thread_state_has_register(current, REG_FP)) return ASYNC_ENOTFOUND;
        const uint64_t fp = thread_state_get_register(current, REG_FP);
        uint64_t sp, caller_fp, pc;
        if (!async_address_apply_offset(fp, static_cast<int64_t>(2 * w), &sp)) return ASYNC_EINVAL;
        if ((err = read_word(task, fp, 0, w, &caller_fp)) != ASYNC_ESUCCESS ||
            (err = read_word(task, fp, static_cast<int64_t>(w), w, &pc)) != ASYNC_ESUCCESS)
            return err;
        if (!async_address_apply_offset(fp, entry->stack_offset, &area)) return ASYNC_EINVAL;
        thread_state_set_register(next, REG_SP, sp);
        thread_state_set_register(next, REG_FP, caller_fp);
        thread_state_set_register(next, REG_IP, pc);
        break;
    }
    case COMPACT_UNWIND_FRAMELESS_IMMD:
    case COMPACT_UNWIND_FRAMELESS_INDIRECT: {
        if (!thread_state_has_register(current, REG_SP)) return ASYNC_ENOTFOUND;
        const uint64_t sp = thread_state_get_register(current, REG_SP);
        uint64_t stack_size = static_cast<uint64_t>(entry->stack_offset);
        if (entry->kind == COMPACT_UNWIND_FRAMELESS_INDIRECT) {
            // The immediate of the function's stack adjustment.
            uint32_t immediate;
            if ((err = frame_memory_read_uint32(task, async_byteorder_native(), function_address, entry->stack_offset,
                                                &immediate)) != ASYNC_ESUCCESS)
                return err;
            stack_size = uint64_t{immediate} + entry->stack_adjust;
        }
        uint64_t new_sp;
        if (stack_size > INT64_MAX || !async_address_apply_offset(sp, static_cast<int64_t>(stack_size), &new_sp))
            return ASYNC_EINVAL;
        const int64_t saved = static_cast<int64_t>(entry->register_count * w);
        uint64_t pc;
        if (entry->return_address_register == COMPACT_UNWIND_NO_REGISTER) {
            if ((err = read_word(task, new_sp, -static_cast<int64_t>(w), w, &pc)) != ASYNC_ESUCCESS) return err;
            if (!async_address_apply_offset(new_sp, -static_cast<int64_t>(w) - saved, &area)) return ASYNC_EINVAL;
        } else {
            if (!thread_state_has_register(current, entry->return_address_register)) return ASYNC_ENOTFOUND;
            pc = thread_state_get_register(current, entry->return_address_register);
            if (!async_address_apply_offset(new_sp, -saved, &area)) return ASYNC_EINVAL;
        }
        thread_state_set_register(next, REG_SP, new_sp);
        thread_state_set_register(next, REG_IP, pc);
        break;
    }
    default: return ASYNC_ENOTSUP;
    }

    for (uint32_t i = 0; i < entry->register_count; i++) {
        if (entry->register_list[i] == COMPACT_UNWIND_NO_REGISTER) continue;
        uint64_t value;
        if ((err = read_word(task, area, static_cast<int64_t>(i * w), w, &value)) != ASYNC_ESUCCESS) return err;
        thread_state_set_register(next, entry->register_list[i], value);
    }
    return ASYNC_ESUCCESS;
}

namespace {

// The ranges of the images a walk found without compact unwind tables, so
// that its later frames in them skip the image list: most images have none.
struct walk_without_tables {
    uint64_t walk;
    uint32_t count;
    uint32_t next;
    struct {
        uint64_t start, size;
    } ranges[4];
};
walk_without_tables without_tables[kFrameMemoryWalks];

}  // namespace

frame_error compact_unwind_read_frame(task_t task, image_list *images, const thread_state *current,
                                      const thread_state *, thread_state *next) {
    if (!thread_state_has_register(current, REG_IP)) return FRAME_EBADFRAME;
    uint64_t pc = thread_state_get_register(current, REG_IP);
    if (!current->pc_exact && pc != 0) pc--;  // the call, not what follows it

    int slot = 0;
    const uint64_t walk = frame_memory_walk(&slot);
    walk_without_tables *known = walk != 0 ? &without_tables[slot] : nullptr;
    if (known != nullptr && known->walk != walk) {
        known->walk = walk;
        known->count = 0;
        known->next = 0;
    }
    if (known != nullptr)
        for (uint32_t i = 0; i < known->count; i++)
            if (async_address_in_range(known->ranges[i].start, known->ranges[i].size, pc)) return FRAME_ENOTSUP;

    image_list_set_reading(images, true);
    frame_error result = FRAME_ENOTSUP;
    async_mobject section;
    bool mapped = false;
    do {
        macho_image *image = image_list_image_for_address(images, pc);
        if (image == nullptr) break;
        if (macho_image_map_section(image, "__TEXT", "__unwind_info", &section) != ASYNC_ESUCCESS) {
            if (known != nullptr) {
                known->ranges[known->next] = {image->header_addr, image->text_size};
                known->next = (known->next + 1) % 4;
                if (known->count < 4) known->count++;
            }
            break;
        }
        mapped = true;
        compact_unwind_reader reader;
        if (compact_unwind_reader_init(&reader, &section, image->byteorder, macho_image_cpu_type(image)) !=
            ASYNC_ESUCCESS) {
            result = FRAME_EINVAL;
            break;
        }
        uint32_t function_base, encoding;
        compact_unwind_entry entry;
        if (compact_unwind_find_pc(&reader, pc - image->header_addr, &function_base, &encoding) != ASYNC_ESUCCESS ||
            compact_unwind_entry_init(&entry, reader.cputype, encoding) != ASYNC_ESUCCESS)
            break;
        if (entry.kind == COMPACT_UNWIND_NONE) {
            result = FRAME_ENOFRAME;
            break;
        }
        uint64_t function_address;
        if (!async_address_apply_offset(image->header_addr, function_base, &function_address)) {
            result = FRAME_EINVAL;
            break;
        }
        result = compact_unwind_entry_apply(task, function_address, current, &entry, next) == ASYNC_ESUCCESS
                     ? FRAME_ESUCCESS
                     : FRAME_ENOFRAME;
    } while (false);

    if (mapped) mobject_free(&section);
    image_list_set_reading(images, false);
    return result;
}

}  // namespace ovcrash
