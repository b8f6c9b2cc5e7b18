// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/DwarfFrameInfo.h"

#include "crash/capture/unwind/FrameMemory.h"

namespace ovcrash::PKR::async {
namespace {

bool in_section(const dwarf_section *section, uint64_t offset, uint64_t size) {
    return offset <= section->length && size <= section->length - offset;
}

template <typename T>
T load(const uint8_t *p) {
    T value;
    __builtin_memcpy(&value, p, sizeof(T));
    return value;
}

// The entry header at `offset`: its length and where its content starts.
// `wide` tells the 64-bit form (a length of all ones, then a u64).
async_error read_entry_header(const dwarf_section *section, uint64_t offset, uint64_t *content, uint64_t *length,
                              bool *wide) {
    uint32_t length32;
    async_error err = dwarf_read_u32(section, offset, &length32);
    if (err != ASYNC_ESUCCESS) return err;
    if (length32 == 0xffffffffu) {
        if ((err = dwarf_read_u64(section, offset + 4, length)) != ASYNC_ESUCCESS) return err;
        *content = offset + 12;
        *wide = true;
    } else {
        *length = length32;
        *content = offset + 4;
        *wide = false;
    }
    return ASYNC_ESUCCESS;
}

// The entry's end, checked against the section.
async_error entry_end(const dwarf_section *section, uint64_t content, uint64_t length, uint64_t *end) {
    if (!in_section(section, content, length)) return ASYNC_EINVAL;
    *end = content + length;
    return ASYNC_ESUCCESS;
}

}  // namespace

namespace {

// A fixed-size value in the section's byte order.
template <typename T>
async_error read_fixed(const dwarf_section *section, uint64_t offset, T *value) {
    if (!in_section(section, offset, sizeof(T))) return ASYNC_EINVAL;
    const T raw = load<T>(section->data + offset);
    if constexpr (sizeof(T) == 1)
        *value = raw;
    else if constexpr (sizeof(T) == 2)
        *value = section->byteorder->swap16(raw);
    else if constexpr (sizeof(T) == 4)
        *value = section->byteorder->swap32(raw);
    else
        *value = section->byteorder->swap64(raw);
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error dwarf_read_u8(const dwarf_section *section, uint64_t offset, uint8_t *value) {
    return read_fixed(section, offset, value);
}
async_error dwarf_read_u16(const dwarf_section *section, uint64_t offset, uint16_t *value) {
    return read_fixed(section, offset, value);
}
async_error dwarf_read_u32(const dwarf_section *section, uint64_t offset, uint32_t *value) {
    return read_fixed(section, offset, value);
}
async_error dwarf_read_u64(const dwarf_section *section, uint64_t offset, uint64_t *value) {
    return read_fixed(section, offset, value);
}

async_error dwarf_read_sized(const dwarf_section *section, uint64_t offset, uint8_t size, bool is_signed,
                             uint64_t *value) {
    async_error err = ASYNC_EINVAL;
    switch (size) {
    case 1: {
        uint8_t v = 0;
        err = dwarf_read_u8(section, offset, &v);
        *value = is_signed ? static_cast<uint64_t>(static_cast<int8_t>(v)) : v;
        break;
    }
    case 2: {
        uint16_t v = 0;
        err = dwarf_read_u16(section, offset, &v);
        *value = is_signed ? static_cast<uint64_t>(static_cast<int16_t>(v)) : v;
        break;
    }
    case 4: {
        uint32_t v = 0;
        err = dwarf_read_u32(section, offset, &v);
        *value = is_signed ? static_cast<uint64_t>(static_cast<int32_t>(v)) : v;
        break;
    }
    case 8: err = dwarf_read_u64(section, offset, value); break;
    }
    return err;
}

namespace {

async_error read_leb128(const dwarf_section *section, uint64_t offset, bool is_signed, uint64_t *value,
                        uint64_t *size) {
    // Most numbers in call-frame data fit in one byte.
    if (offset < section->length && section->data[offset] < 0x80) {
        const uint8_t byte = section->data[offset];
        *value = is_signed && (byte & 0x40) ? byte | ~0x7full : byte;
        *size = 1;
        return ASYNC_ESUCCESS;
    }
    uint64_t result = 0;
    unsigned shift = 0;
    for (uint64_t i = 0;; i++) {
        if (!in_section(section, offset + i, 1) || offset + i < offset) return ASYNC_EINVAL;
        const uint8_t byte = section->data[offset + i];
        const uint64_t payload = byte & 0x7f;
        if (shift < 64) {
            // Bits that would fall off the top mean a number wider than 64 bits.
            if (!is_signed && shift > 57 && (payload >> (64 - shift)) != 0) return ASYNC_ENOTSUP;
            result |= payload << shift;
            shift += 7;
        } else if (payload != ((is_signed && (result >> 63)) ? 0x7fu : 0u)) {
            // Past 64 bits only copies of the sign may follow.
            return ASYNC_ENOTSUP;
        }
        if ((byte & 0x80) == 0) {
            if (is_signed && shift < 64 && (byte & 0x40)) result |= ~0ull << shift;
            *value = result;
            *size = i + 1;
            return ASYNC_ESUCCESS;
        }
    }
}

}  // namespace

async_error dwarf_read_uleb128(const dwarf_section *section, uint64_t offset, uint64_t *value, uint64_t *size) {
    return read_leb128(section, offset, false, value, size);
}

async_error dwarf_read_sleb128(const dwarf_section *section, uint64_t offset, int64_t *value, uint64_t *size) {
    uint64_t raw;
    const async_error err = read_leb128(section, offset, true, &raw, size);
    if (err == ASYNC_ESUCCESS) *value = static_cast<int64_t>(raw);
    return err;
}

async_error gnu_ehptr_reader::read(const dwarf_section *section, uint64_t offset, uint8_t encoding, uint64_t *value,
                                   uint64_t *size, bool dereference) const {
    if (encoding == DW_EH_PE_omit) return ASYNC_ENOTFOUND;

    uint64_t base;
    switch (encoding & 0x70) {
    case 0x00: base = 0; break;
    case DW_EH_PE_pcrel: base = section->address + offset; break;
    default: return ASYNC_ENOTSUP;
    }

    uint64_t raw = 0, consumed = 0;
    async_error err = ASYNC_ESUCCESS;
    const uint8_t format = encoding & 0x0f;
    switch (format) {
    case DW_EH_PE_uleb128: err = dwarf_read_uleb128(section, offset, &raw, &consumed); break;
    case DW_EH_PE_sleb128: {
        int64_t v;
        err = dwarf_read_sleb128(section, offset, &v, &consumed);
        raw = static_cast<uint64_t>(v);
        break;
    }
    case DW_EH_PE_absptr: consumed = is64 ? 8 : 4; break;
    case DW_EH_PE_udata2:
    case DW_EH_PE_sdata2: consumed = 2; break;
    case DW_EH_PE_udata4:
    case DW_EH_PE_sdata4: consumed = 4; break;
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata8: consumed = 8; break;
    default: return ASYNC_ENOTSUP;
    }
    if (format != DW_EH_PE_uleb128 && format != DW_EH_PE_sleb128)
        err = dwarf_read_sized(section, offset, static_cast<uint8_t>(consumed), (format & 0x08) != 0, &raw);
    if (err != ASYNC_ESUCCESS) return err == ASYNC_ENOTSUP ? err : ASYNC_EINVAL;

    uint64_t result = base + raw;
    if (!is64) result &= 0xffffffffu;
    if ((encoding & DW_EH_PE_indirect) && dereference) {
        if (is64) {
            err = frame_memory_read_uint64(task, section->byteorder, result, 0, &result);
        } else {
            uint32_t v;
            err = frame_memory_read_uint32(task, section->byteorder, result, 0, &v);
            result = v;
        }
        if (err != ASYNC_ESUCCESS) return ASYNC_EINVAL;
    }
    *value = result;
    *size = consumed;
    return ASYNC_ESUCCESS;
}

async_error async_dwarf_cie_info_init(async_dwarf_cie_info *info, const dwarf_section *section,
                                      const gnu_ehptr_reader *reader, uint64_t cie_offset) {
    *info = {};
    uint64_t content, length, end;
    bool wide;
    async_error err = read_entry_header(section, cie_offset, &content, &length, &wide);
    if (err != ASYNC_ESUCCESS) return err;
    if ((err = entry_end(section, content, length, &end)) != ASYNC_ESUCCESS) return err;
    info->cie_offset = content;
    info->cie_length = length;

    uint64_t p = content;
    if (wide) {
        if ((err = dwarf_read_u64(section, p, &info->cie_id)) != ASYNC_ESUCCESS) return err;
        if (info->cie_id != 0 && info->cie_id != ~0ull) return ASYNC_EINVAL;
        p += 8;
    } else {
        uint32_t id;
        if ((err = dwarf_read_u32(section, p, &id)) != ASYNC_ESUCCESS) return err;
        if (id != 0 && id != 0xffffffffu) return ASYNC_EINVAL;
        info->cie_id = id;
        p += 4;
    }

    if ((err = dwarf_read_u8(section, p++, &info->cie_version)) != ASYNC_ESUCCESS) return err;
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) return ASYNC_EINVAL;

    // The augmentation string, kept as its offset for the letter scan below.
    const uint64_t augmentation = p;
    for (;;) {
        uint8_t c;
        if (p >= end || dwarf_read_u8(section, p, &c) != ASYNC_ESUCCESS) return ASYNC_EINVAL;
        p++;
        if (c == 0) break;
        if (p - 1 == augmentation && c != 'z') return ASYNC_ENOTSUP;
    }
    info->has_eh_augmentation = p - augmentation > 1;

    if (info->cie_version == 4) {
        if ((err = dwarf_read_u8(section, p++, &info->address_size)) != ASYNC_ESUCCESS ||
            (err = dwarf_read_u8(section, p++, &info->segment_size)) != ASYNC_ESUCCESS)
            return err;
    }

    uint64_t size;
    if ((err = dwarf_read_uleb128(section, p, &info->code_alignment_factor, &size)) != ASYNC_ESUCCESS) return err;
    p += size;
    if ((err = dwarf_read_sleb128(section, p, &info->data_alignment_factor, &size)) != ASYNC_ESUCCESS) return err;
    p += size;
    if (info->cie_version == 1) {
        // Version 1 keeps the column in a single byte.
        uint8_t column;
        if ((err = dwarf_read_u8(section, p, &column)) != ASYNC_ESUCCESS) return err;
        info->return_address_register = column;
        size = 1;
    } else if ((err = dwarf_read_uleb128(section, p, &info->return_address_register, &size)) != ASYNC_ESUCCESS) {
        return err;
    }
    p += size;

    if (info->has_eh_augmentation) {
        uint64_t data_length;
        if ((err = dwarf_read_uleb128(section, p, &data_length, &size)) != ASYNC_ESUCCESS) return err;
        p += size;
        const uint64_t data = p;
        if (!in_section(section, data, data_length) || data + data_length > end) return ASYNC_EINVAL;
        uint64_t q = data;
        for (uint64_t letter = augmentation + 1;; letter++) {
            uint8_t c = section->data[letter];
            bool stop = false;
            switch (c) {
            case 'L':
                if ((err = dwarf_read_u8(section, q++, &info->lsda_encoding.pointer_encoding)) != ASYNC_ESUCCESS)
                    return err;
                info->lsda_encoding.present = true;
                break;
            case 'P': {
                uint8_t encoding;
                if ((err = dwarf_read_u8(section, q++, &encoding)) != ASYNC_ESUCCESS) return err;
                if ((err = reader->read(section, q, encoding, &info->personality_address.address, &size, false)) !=
                    ASYNC_ESUCCESS)
                    return err;
                q += size;
                info->personality_address.present = true;
                info->personality_address.pointer_encoding = encoding;
                break;
            }
            case 'R':
                if ((err = dwarf_read_u8(section, q++, &info->pointer_encoding.pointer_encoding)) != ASYNC_ESUCCESS)
                    return err;
                info->pointer_encoding.present = true;
                break;
            case 'S': info->signal_frame = true; break;
            default: stop = true; break;  // the string's end, or a letter we do not know
            }
            if (stop) break;
        }
        p = data + data_length;
    }
    if (p > end) return ASYNC_EINVAL;
    info->initial_instructions_offset = p;
    info->initial_instructions_length = end - p;
    return ASYNC_ESUCCESS;
}

namespace {

// Parses an FDE; `cie_known` tells that `cie` already holds the parse of the
// CIE at `known_cie` (the offset of its length field), which is then reused.
async_error parse_fde(async_dwarf_fde_info *info, async_dwarf_cie_info *cie, const dwarf_section *section,
                      const gnu_ehptr_reader *reader, uint64_t fde_offset, bool debug_frame, bool cie_known,
                      uint64_t known_cie) {
    *info = {};
    uint64_t content, length, end;
    bool wide;
    async_error err = read_entry_header(section, fde_offset, &content, &length, &wide);
    if (err != ASYNC_ESUCCESS) return err;
    if ((err = entry_end(section, content, length, &end)) != ASYNC_ESUCCESS) return err;
    info->fde_offset = content;
    info->fde_length = length;

    uint64_t pointer;
    if (wide) {
        err = dwarf_read_u64(section, content, &pointer);
    } else {
        uint32_t v;
        err = dwarf_read_u32(section, content, &v);
        pointer = v;
    }
    if (err != ASYNC_ESUCCESS) return err;
    uint64_t p = content + (wide ? 8 : 4);
    if (p > end) return ASYNC_EINVAL;

    if (debug_frame) {
        // An offset from the section start.
        if (pointer >= section->length) return ASYNC_EINVAL;
        info->cie_offset = pointer;
    } else {
        // Back from the pointer's own position.
        if (pointer > content) return ASYNC_EINVAL;
        info->cie_offset = content - pointer;
    }
    if (!(cie_known && known_cie == info->cie_offset) &&
        (err = async_dwarf_cie_info_init(cie, section, reader, info->cie_offset)) != ASYNC_ESUCCESS)
        return err;

    const uint8_t encoding =
        cie->pointer_encoding.present ? cie->pointer_encoding.pointer_encoding : static_cast<uint8_t>(DW_EH_PE_absptr);
    uint64_t size, range;
    if ((err = reader->read(section, p, encoding, &info->pc_start, &size)) != ASYNC_ESUCCESS) return err;
    p += size;
    if ((err = reader->read(section, p, encoding & 0x0f, &range, &size)) != ASYNC_ESUCCESS) return err;
    p += size;
    if (!reader->is64) range &= 0xffffffffu;
    if (range > ~0ull - info->pc_start) return ASYNC_EINVAL;
    info->pc_end = info->pc_start + range;

    if (cie->has_eh_augmentation) {
        uint64_t data_length;
        if ((err = dwarf_read_uleb128(section, p, &data_length, &size)) != ASYNC_ESUCCESS) return err;
        p += size;
        if (data_length > end - (p < end ? p : end)) return ASYNC_EINVAL;
        p += data_length;
    }
    if (p > end) return ASYNC_EINVAL;
    info->instructions_offset = p;
    info->instructions_length = end - p;
    return ASYNC_ESUCCESS;
}

}  // namespace

async_error async_dwarf_fde_info_init(async_dwarf_fde_info *info, async_dwarf_cie_info *cie,
                                      const dwarf_section *section, const gnu_ehptr_reader *reader, uint64_t fde_offset,
                                      bool debug_frame) {
    return parse_fde(info, cie, section, reader, fde_offset, debug_frame, false, 0);
}

void dwarf_frame_reader_init(dwarf_frame_reader *reader, const dwarf_section *section, task_t task, bool is64,
                             bool debug_frame, const dwarf_fde_table *table) {
    reader->section = *section;
    reader->pointers.task = task;
    reader->pointers.is64 = is64;
    reader->is64 = is64;
    reader->debug_frame = debug_frame;
    reader->table = table;
    reader->cie_cache = nullptr;
}

namespace {

// Binary search of the loader's table: the last function starting at or
// below pc, whose FDE must then cover it.
async_error find_in_table(const dwarf_frame_reader *reader, uint64_t pc, async_dwarf_fde_info *fde,
                          async_dwarf_cie_info *cie) {
    const dwarf_fde_table *table = reader->table;
    uint64_t low = 0, high = table->count;
    while (low < high) {
        const uint64_t mid = low + (high - low) / 2;
        if (table->base + static_cast<int64_t>(table->entries[2 * mid]) <= pc)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0) return ASYNC_ENOTFOUND;
    const uint64_t fde_address = table->base + static_cast<int64_t>(table->entries[2 * (low - 1) + 1]);
    const uint64_t offset = fde_address - reader->section.address;
    if (fde_address < reader->section.address || offset >= reader->section.length) return ASYNC_EINVAL;
    dwarf_cie_cache *cache = reader->cie_cache;
    const bool known = cache != nullptr && cache->valid;
    if (known) *cie = cache->cie;
    const async_error err =
        parse_fde(fde, cie, &reader->section, &reader->pointers, offset, false, known, known ? cache->offset : 0);
    if (err != ASYNC_ESUCCESS) return err;
    if (cache != nullptr) *cache = {true, fde->cie_offset, *cie};
    return fde->pc_start <= pc && pc < fde->pc_end ? ASYNC_ESUCCESS : ASYNC_ENOTFOUND;
}

}  // namespace

async_error dwarf_frame_reader_find_fde(const dwarf_frame_reader *reader, uint64_t offset, uint64_t pc,
                                        async_dwarf_fde_info *fde, async_dwarf_cie_info *cie) {
    if (reader->table != nullptr && !reader->debug_frame) return find_in_table(reader, pc, fde, cie);

    const dwarf_section *section = &reader->section;
    if (offset > section->length) return ASYNC_EINVAL;
    // Most FDEs share a CIE: it is parsed once for the whole scan.
    bool cie_known = false;
    uint64_t known_cie = 0;
    while (offset < section->length) {
        uint64_t content, length, end;
        bool wide;
        async_error err = read_entry_header(section, offset, &content, &length, &wide);
        if (err != ASYNC_ESUCCESS) return err;
        if (length == 0) return ASYNC_ENOTFOUND;
        if ((err = entry_end(section, content, length, &end)) != ASYNC_ESUCCESS) return err;

        uint64_t id;
        if (wide) {
            err = dwarf_read_u64(section, content, &id);
        } else {
            uint32_t v;
            err = dwarf_read_u32(section, content, &v);
            id = (v == 0xffffffffu) ? ~0ull : v;
        }
        if (err != ASYNC_ESUCCESS) return err;
        const bool is_cie = reader->debug_frame ? id == ~0ull : id == 0;
        // A malformed FDE is passed over: the ones after it are still good.
        if (!is_cie) {
            err = parse_fde(fde, cie, section, &reader->pointers, offset, reader->debug_frame, cie_known, known_cie);
            // The CIE parse is good for the next FDE only when this one's
            // failure, if any, came after it.
            cie_known = err == ASYNC_ESUCCESS;
            known_cie = fde->cie_offset;
            if (err == ASYNC_ESUCCESS && fde->pc_start <= pc && pc < fde->pc_end) return ASYNC_ESUCCESS;
        }
        offset = end;
    }
    return ASYNC_ENOTFOUND;
}

}  // namespace ovcrash::PKR::async
