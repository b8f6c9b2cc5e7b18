#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The last frame reader: follows the chain of frame records, each the
// caller's frame pointer followed by the return address, for code that has
// neither compact unwind nor DWARF information. Inline, so that the cursor
// takes a step of a long chain without a call.
#include "crash/capture/unwind/FrameCursor.h"
#include "crash/capture/unwind/FrameMemory.h"

namespace ovcrash {

// One step of a stack of 64-bit frames that grows down, with the flavour's
// three registers reached as plain fields.
template <typename Block, uint64_t Block::*Fp, uint64_t Block::*Ip, uint64_t Block::*Sp>
__attribute__((always_inline)) inline frame_error frame_pointer_step64(task_t task, const Block &current,
                                                                       uint64_t valid, const thread_state *previous,
                                                                       const Block &previous_block, thread_state *next,
                                                                       Block &next_block) {
    constexpr uint64_t fp_bit = 1ull << REG_FP, ip_bit = 1ull << REG_IP, sp_bit = 1ull << REG_SP;
    if ((valid & fp_bit) == 0) return FRAME_EBADFRAME;
    const uint64_t fp = current.*Fp;
    if (fp == 0) return FRAME_ENOFRAME;
    if (previous != nullptr && (previous->valid_regs & fp_bit) != 0 && fp < previous_block.*Fp)
        return FRAME_EBADFRAME;
    // A record outside the live stack is garbage, not a frame.
    if ((valid & sp_bit) != 0 && fp < current.*Sp) return FRAME_EBADFRAME;
    uint64_t record[2];
    if (frame_memory_read(task, fp, 0, record, sizeof(record)) != ASYNC_ESUCCESS) return FRAME_EBADFRAME;
    // A record naming itself as its caller would repeat for ever.
    if (record[0] == fp) return FRAME_EBADFRAME;
    next_block.*Fp = record[0];
    next_block.*Ip = record[1];
    next->valid_regs = fp_bit | ip_bit;
    next->pc_exact = false;
    return FRAME_ESUCCESS;
}

__attribute__((always_inline)) inline frame_error frame_pointer_step(task_t task, const thread_state *current, const thread_state *previous,
                                      thread_state *next) {
    if (!thread_state_has_register(current, REG_FP)) return FRAME_EBADFRAME;
    const uint64_t fp = thread_state_get_register(current, REG_FP);
    if (fp == 0) return FRAME_ENOFRAME;

    const bool grows_down = thread_state_stack_direction(current) == STACK_DIRECTION_DOWN;
    if (previous != nullptr && thread_state_has_register(previous, REG_FP)) {
        const uint64_t prev_fp = thread_state_get_register(previous, REG_FP);
        if (grows_down ? fp < prev_fp : fp > prev_fp) return FRAME_EBADFRAME;
    }
    // A record outside the live stack is garbage, not a frame.
    if (thread_state_has_register(current, REG_SP)) {
        const uint64_t sp = thread_state_get_register(current, REG_SP);
        if (grows_down ? fp < sp : fp > sp) return FRAME_EBADFRAME;
    }

    uint64_t caller_fp, return_address;
    if (thread_state_register_size(current) == 8) {
        uint64_t record[2];
        if (frame_memory_read(task, fp, 0, record, sizeof(record)) != ASYNC_ESUCCESS) return FRAME_EBADFRAME;
        caller_fp = record[0];
        return_address = record[1];
    } else {
        uint32_t record[2];
        if (frame_memory_read_checked(task, fp, 0, record, sizeof(record)) != ASYNC_ESUCCESS) return FRAME_EBADFRAME;
        caller_fp = record[0];
        return_address = record[1];
    }
    // A record naming itself as its caller would repeat for ever.
    if (caller_fp == fp) return FRAME_EBADFRAME;

    // Only the flavour carries over: no register but the two set here.
    next->stack_direction = current->stack_direction;
    next->register_size = current->register_size;
    next->ts.flavor = current->ts.flavor;
    next->ts.count = current->ts.count;
    thread_state_clear_all_registers(next);
    next->pc_exact = false;
    thread_state_set_register(next, REG_FP, caller_fp);
    thread_state_set_register(next, REG_IP, return_address);
    return FRAME_ESUCCESS;
}

}  // namespace ovcrash
