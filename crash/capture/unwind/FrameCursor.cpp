// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/FrameCursor.h"

#include "crash/capture/unwind/FrameMemory.h"
#include "crash/capture/unwind/FramePointerReader.h"
#include "platform/system/MachPort.h"

namespace ovcrash {

const char *frame_error_string(frame_error error) {
    switch (error) {
    case FRAME_ESUCCESS: return "No error";
    case FRAME_EUNKNOWN: return "Unknown error";
    case FRAME_ENOFRAME: return "No frames are available";
    case FRAME_EBADFRAME: return "Corrupted frame";
    case FRAME_ENOTSUP: return "Operation not supported";
    case FRAME_EINVAL: return "Invalid argument";
    case FRAME_EINTERNAL: return "Internal error";
    case FRAME_EBADREG: return "Invalid register";
    }
    return "Unhandled error code";
}

void frame_cursor_init(frame_cursor *cursor, task_t task, const thread_state *state, image_list *images) {
    cursor->task = task;
    cursor->images = images;
    cursor->depth = 0;
    // Held for the cursor's life; frame_cursor_free releases it.
    platform::system::mach_port_mod_refs(platform::system::mach_task_self(), task,
                                         platform::system::MACH_PORT_RIGHT_SEND, 1);
    cursor->page_size = frame_memory_page_size();
    frame_memory_begin(task, thread_state_has_register(state, REG_SP) ? thread_state_get_register(state, REG_SP) : 0);
    cursor->frame = 0;
    cursor->prev_frame = 1;
    // Every reader gives the caller the flavour of its callee, so all three
    // frames keep the first one's throughout the walk.
    thread_state_copy(&cursor->frames[0], state);
    for (thread_state &frame : cursor->frames) {
        if (&frame == &cursor->frames[0]) continue;
        frame.stack_direction = state->stack_direction;
        frame.register_size = state->register_size;
        frame.ts.flavor = state->ts.flavor;
        frame.ts.count = state->ts.count;
        frame.pc_exact = false;
        thread_state_clear_all_registers(&frame);
    }
    const uint32_t flavor = state->ts.flavor;
    cursor->chain64 = state->register_size == 8 && state->stack_direction == STACK_DIRECTION_DOWN &&
                      (flavor == X86_THREAD_STATE64 || flavor == ARM_THREAD_STATE64);
}

namespace {

// Any step, with each reader in turn.
__attribute__((noinline)) frame_error next_with_readers(frame_cursor *cursor, const frame_reader *readers,
                                                        size_t reader_count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return FRAME_ESUCCESS;
    }
    if (reader_count == 0) return FRAME_EINVAL;

    const thread_state *current = &cursor->frames[cursor->frame];
    const thread_state *previous = cursor->depth >= 2 ? &cursor->frames[cursor->prev_frame] : nullptr;
    const uint8_t spare = static_cast<uint8_t>(3 - cursor->frame - cursor->prev_frame);
    thread_state *next = &cursor->frames[spare];
    frame_error err = FRAME_EUNKNOWN;
    for (size_t i = 0; i < reader_count; i++) {
        // Each reader builds the whole next frame; none is prepared here.
        next->valid_regs = 0;
        err = readers[i](cursor->task, cursor->images, current, previous, next);
        if (err == FRAME_ESUCCESS) break;
    }
    if (err != FRAME_ESUCCESS) return err;

    // A reader that found the outermost frame leaves the pc undefined.
    if (!thread_state_has_register(next, REG_IP)) return FRAME_ENOFRAME;
    // The end of the stack: nothing runs in the first page.
    if (thread_state_get_register(next, REG_IP) <= cursor->page_size) return FRAME_ENOFRAME;

    cursor->prev_frame = cursor->frame;
    cursor->frame = spare;
    cursor->depth++;
    return FRAME_ESUCCESS;
}

}  // namespace

frame_error frame_cursor_next(frame_cursor *cursor, const frame_reader *readers, size_t reader_count) {
    // The step a long walk takes most, the chain of frame records of a 64-bit
    // stack that grows down, is taken here without a call; any other step,
    // or one this cannot take, goes through the readers.
    if (cursor->chain64 && cursor->depth != 0 && reader_count != 0 && readers[0] == frame_pointer_read_frame) {
        const thread_state *current = &cursor->frames[cursor->frame];
        const uint32_t flavor = current->ts.flavor;
        const thread_state *previous = cursor->depth >= 2 ? &cursor->frames[cursor->prev_frame] : nullptr;
        const uint8_t spare = static_cast<uint8_t>(3 - cursor->frame - cursor->prev_frame);
        thread_state *next = &cursor->frames[spare];
        frame_error err;
        uint64_t pc;
        if (flavor == X86_THREAD_STATE64) {
            using B = x86_thread_state64;
            err = frame_pointer_step64<B, &B::rbp, &B::rip, &B::rsp>(
                cursor->task, current->ts.x86_64, current->valid_regs, previous,
                previous != nullptr ? previous->ts.x86_64 : current->ts.x86_64, next, next->ts.x86_64);
            pc = next->ts.x86_64.rip;
        } else {
            using B = arm_thread_state64;
            err = frame_pointer_step64<B, &B::fp, &B::pc, &B::sp>(
                cursor->task, current->ts.arm64, current->valid_regs, previous,
                previous != nullptr ? previous->ts.arm64 : current->ts.arm64, next, next->ts.arm64);
            pc = next->ts.arm64.pc;
        }
        if (err == FRAME_ESUCCESS) {
            // The end of the stack: nothing runs in the first page.
            if (pc <= cursor->page_size) return FRAME_ENOFRAME;
            cursor->prev_frame = cursor->frame;
            cursor->frame = spare;
            cursor->depth++;
            return FRAME_ESUCCESS;
        }
    }
    return next_with_readers(cursor, readers, reader_count);
}

frame_error frame_cursor_advance(frame_cursor *cursor) {
    static const frame_reader readers[] = {compact_unwind_read_frame, dwarf_unwind_read_frame,
                                           frame_pointer_read_frame};
    return frame_cursor_next(cursor, readers, sizeof(readers) / sizeof(readers[0]));
}

frame_error frame_cursor_get_register(const frame_cursor *cursor, uint32_t regnum, uint64_t *value) {
    const thread_state *frame = &cursor->frames[cursor->frame];
    // A state taken from a signal context marks every bit, also those of
    // numbers its flavour does not have.
    if (!thread_state_has_register(frame, regnum) || regnum >= thread_state_register_count(frame)) return FRAME_ENOTSUP;
    *value = thread_state_get_register(frame, regnum);
    return FRAME_ESUCCESS;
}

const char *frame_cursor_register_name(const frame_cursor *cursor, uint32_t regnum) {
    return thread_state_register_name(&cursor->frames[cursor->frame], regnum);
}

uint32_t frame_cursor_register_count(const frame_cursor *cursor) {
    return thread_state_register_count(&cursor->frames[cursor->frame]);
}

void frame_cursor_free(frame_cursor *cursor) {
    frame_memory_end();
    if (cursor->task != platform::system::MACH_PORT_NULL)
        platform::system::mach_port_deallocate(platform::system::mach_task_self(), cursor->task);
    cursor->task = platform::system::MACH_PORT_NULL;
}

}  // namespace ovcrash
