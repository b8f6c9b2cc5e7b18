// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The DWARF frame reader of the frame cursor: finds the image holding the
// pc, the FDE covering it in the image's __eh_frame (or __debug_frame), runs
// the CIE's and the FDE's instructions up to the pc and applies the rules.
#include "crash/capture/unwind/DwarfFrameReader.h"

#include <new>

#include "crash/capture/image/ImageList.h"
#include "crash/capture/unwind/DwarfCfaState.h"
#include "crash/capture/unwind/FrameCursor.h"
#include "crash/capture/unwind/FrameMemory.h"

namespace ovcrash {

using namespace PKR::async;

namespace {

// The pc to look up: a return address may follow a call that ends its
// function, so for every frame but an interrupted one the call itself is
// looked up.
uint64_t lookup_pc(const thread_state *frame) {
    const uint64_t pc = thread_state_get_register(frame, REG_IP);
    return frame->pc_exact || pc == 0 ? pc : pc - 1;
}

// The loader's binary-search table of the image's FDEs (.eh_frame_hdr):
// version 1, pointers to the section and a count, then (start, FDE) pairs
// of signed 32-bit values relative to the table's own start. False when the
// table is absent, of another layout, or not for this section.
bool read_fde_table(const async_mobject *hdr, const dwarf_section *eh_frame, task_t task, bool is64,
                    dwarf_fde_table *table) {
    const dwarf_section header = {reinterpret_cast<const uint8_t *>(hdr->address), hdr->task_address, hdr->length,
                                  eh_frame->byteorder};
    uint8_t version, frame_encoding, count_encoding, table_encoding;
    if (dwarf_read_u8(&header, 0, &version) != ASYNC_ESUCCESS || version != 1 ||
        dwarf_read_u8(&header, 1, &frame_encoding) != ASYNC_ESUCCESS ||
        dwarf_read_u8(&header, 2, &count_encoding) != ASYNC_ESUCCESS ||
        dwarf_read_u8(&header, 3, &table_encoding) != ASYNC_ESUCCESS ||
        table_encoding != (DW_EH_PE_datarel | DW_EH_PE_sdata4))
        return false;
    const gnu_ehptr_reader pointers{task, is64};
    uint64_t frame, count, size, offset = 4;
    if (pointers.read(&header, offset, frame_encoding, &frame, &size) != ASYNC_ESUCCESS || frame != eh_frame->address)
        return false;
    offset += size;
    if (pointers.read(&header, offset, count_encoding, &count, &size) != ASYNC_ESUCCESS) return false;
    offset += size;
    if (offset % 4 != 0 || count > (header.length - offset) / 8) return false;
    table->entries = reinterpret_cast<const int32_t *>(header.data + offset);
    table->count = count;
    table->base = header.address;
    return true;
}

}  // namespace

namespace {

// Finds the FDE covering `pc` and runs the CIE's and the FDE's instructions
// up to it into `state`.
frame_error rules_for_pc(const dwarf_frame_reader *reader, uint64_t pc, dwarf_cfa_state *state,
                         async_dwarf_cie_info *cie) {
    async_dwarf_fde_info fde;
    if (dwarf_frame_reader_find_fde(reader, 0, pc, &fde, cie) != ASYNC_ESUCCESS) return FRAME_ENOTSUP;
    if (state->eval_program(&reader->section, &reader->pointers, cie, fde.pc_start, true, pc,
                            cie->initial_instructions_offset, cie->initial_instructions_length) != ASYNC_ESUCCESS ||
        state->eval_program(&reader->section, &reader->pointers, cie, fde.pc_start, true, pc, fde.instructions_offset,
                            fde.instructions_length) != ASYNC_ESUCCESS)
        return FRAME_ENOTSUP;
    return FRAME_ESUCCESS;
}

frame_error apply_rules(task_t task, const dwarf_section *section, const dwarf_cfa_state *state,
                        const async_dwarf_cie_info *cie, const thread_state *current, thread_state *next) {
    return state->apply_state(task, section, cie, current, next) == ASYNC_ESUCCESS ? FRAME_ESUCCESS : FRAME_ENOFRAME;
}

uint64_t section_pc(const dwarf_frame_reader *reader, const thread_state *current) {
    const uint64_t pc = lookup_pc(current);
    return reader->is64 ? pc : pc & 0xffffffffu;
}

}  // namespace

// Runs the rules of the FDE covering the pc of `current` from a mapped
// section; the part of the reader that tests drive on constructed tables.
frame_error dwarf_unwind_frame_from_section(task_t task, const dwarf_frame_reader *reader, const thread_state *current,
                                            thread_state *next) {
    dwarf_cfa_state state;
    async_dwarf_cie_info cie;
    const frame_error err = rules_for_pc(reader, section_pc(reader, current), &state, &cie);
    return err != FRAME_ESUCCESS ? err : apply_rules(task, &reader->section, &state, &cie, current, next);
}

namespace {

// The tables of one image, mapped for the reader.
struct image_tables {
    macho_image *image;
    dwarf_section section;
    bool debug_frame;
    bool has_table;
    dwarf_fde_table table;
};

// What a walk keeps of the last image it read, when its tables are read in
// place and so need no release: the next frame is most often in the same
// image. Images and their tables stay put while the walk lasts, so the rules
// found for a pc also hold for the next frame at that pc (recursion).
struct walk_tables {
    uint64_t walk;
    uint64_t removals;  // the image list's, when the tables were kept
    image_tables tables;
    dwarf_cie_cache cie;
    bool has_rules;
    uint64_t rules_pc;
    async_dwarf_cie_info rules_cie;
    dwarf_cfa_state rules;
};
walk_tables kept[kFrameMemoryWalks];

// The rules found for a pc, kept for later walks as well, per walk slot: a
// stack mostly repeats the pcs of the last. They hold until an image is
// removed from the list, and reading them touches no image.
struct cached_rules {
    uint64_t pc;
    const image_list *images;
    uint64_t removals;  // the list's count of removals when the rules were found
    bool valid;
    dwarf_compiled_rules rules;
};
constexpr unsigned kCacheBits = 8;
cached_rules rule_cache[kFrameMemoryWalks][1u << kCacheBits];

cached_rules *cache_entry(int slot, uint64_t pc) {
    return &rule_cache[slot][(pc * 0x9e3779b97f4a7c15ull) >> (64 - kCacheBits)];
}

// Keeps the rules just found for the next frame at that pc.
void remember_rules(cached_rules *entry, uint64_t pc, const image_list *images, uint64_t removals,
                    const dwarf_section *section, const dwarf_cfa_state *state, const async_dwarf_cie_info *cie,
                    const thread_state *current) {
    if (entry == nullptr) return;
    entry->valid = false;
    if (!state->compile(section, cie, current, &entry->rules)) return;
    entry->pc = pc;
    entry->images = images;
    entry->removals = removals;
    entry->valid = true;
}

}  // namespace

frame_error dwarf_unwind_read_frame(task_t task, image_list *images, const thread_state *current, const thread_state *,
                                    thread_state *next) {
    if (!thread_state_has_register(current, REG_IP)) return FRAME_EBADFRAME;
    const uint64_t pc = lookup_pc(current);
    int slot = 0;
    const uint64_t walk = frame_memory_walk(&slot);
    // Rules kept from an earlier step touch no image, so they are used
    // without entering the list.
    cached_rules *entry = nullptr;
    if (walk != 0 && images != nullptr) {
        entry = cache_entry(slot, pc);
        if (entry->valid && entry->pc == pc && entry->images == images &&
            entry->removals == image_list_removals(images) && entry->rules.flavor == current->ts.flavor)
            return dwarf_compiled_rules_apply(task, &entry->rules, current, next) == ASYNC_ESUCCESS ? FRAME_ESUCCESS
                                                                                                 : FRAME_ENOFRAME;
    }
    // The image kept from the last step is used only inside the list, and only
    // while no image was removed since: a removed one is freed once no reader
    // is inside.
    image_list_set_reading(images, true);
    const uint64_t removals = image_list_removals(images);
    if (walk != 0 && kept[slot].walk == walk && kept[slot].removals == removals &&
        macho_image_contains_address(kept[slot].tables.image, pc)) {
        walk_tables &k = kept[slot];
        const image_tables &t = k.tables;
        const uint64_t key = t.image->m64 ? pc : pc & 0xffffffffu;
        frame_error result = FRAME_ESUCCESS;
        if (!k.has_rules || k.rules_pc != key) {
            dwarf_frame_reader reader;
            dwarf_frame_reader_init(&reader, &t.section, task, t.image->m64, t.debug_frame,
                                    t.has_table ? &t.table : nullptr);
            reader.cie_cache = &k.cie;
            k.has_rules = false;
            new (&k.rules) dwarf_cfa_state();
            result = rules_for_pc(&reader, key, &k.rules, &k.rules_cie);
            k.has_rules = result == FRAME_ESUCCESS;
            k.rules_pc = key;
            if (k.has_rules) remember_rules(entry, pc, images, removals, &t.section, &k.rules, &k.rules_cie, current);
        }
        if (result == FRAME_ESUCCESS) result = apply_rules(task, &t.section, &k.rules, &k.rules_cie, current, next);
        image_list_set_reading(images, false);
        return result;
    }

    frame_error result = FRAME_ENOTSUP;
    async_mobject section_object, hdr_object;
    bool mapped = false, hdr_mapped = false;
    do {
        image_tables t = {};
        t.image = image_list_image_for_address(images, pc);
        if (t.image == nullptr) break;
        if (macho_image_map_section(t.image, "__TEXT", "__eh_frame", &section_object) == ASYNC_ESUCCESS) {
            mapped = true;
        } else if (macho_image_map_section(t.image, "__DWARF", "__debug_frame", &section_object) == ASYNC_ESUCCESS) {
            mapped = true;
            t.debug_frame = true;
        } else {
            result = FRAME_ENOFRAME;
            break;
        }
        t.section = {reinterpret_cast<const uint8_t *>(section_object.address), section_object.task_address,
                     section_object.length, t.image->byteorder};
        // The loader's sorted table when the image has one; else the section
        // is scanned from its start.
        if (!t.debug_frame &&
            macho_image_map_section(t.image, "__TEXT", "__eh_frame_hdr", &hdr_object) == ASYNC_ESUCCESS) {
            hdr_mapped = true;
            t.has_table = read_fde_table(&hdr_object, &t.section, task, t.image->m64, &t.table);
        }
        dwarf_frame_reader reader;
        dwarf_frame_reader_init(&reader, &t.section, task, t.image->m64, t.debug_frame,
                                t.has_table ? &t.table : nullptr);
        dwarf_cfa_state state;
        async_dwarf_cie_info cie;
        result = rules_for_pc(&reader, section_pc(&reader, current), &state, &cie);
        if (result == FRAME_ESUCCESS) {
            remember_rules(entry, pc, images, removals, &t.section, &state, &cie, current);
            result = apply_rules(task, &t.section, &state, &cie, current, next);
        }
        if (walk != 0 && section_object.vm_address == 0 && (!hdr_mapped || hdr_object.vm_address == 0)) {
            kept[slot].walk = walk;
            kept[slot].removals = removals;
            kept[slot].tables = t;
            kept[slot].cie.valid = false;
            kept[slot].has_rules = false;
        }
    } while (false);

    if (hdr_mapped) mobject_free(&hdr_object);
    if (mapped) mobject_free(&section_object);
    image_list_set_reading(images, false);
    return result;
}

}  // namespace ovcrash
