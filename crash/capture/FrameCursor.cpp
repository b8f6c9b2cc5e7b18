// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/FrameCursor.h"

#include <sys/auxv.h>

#include <atomic>

namespace ovcrash {
namespace {

// The kernel's page size, read once; a constant-initialised atomic needs no
// guard, so the first call may come from a signal handler.
uint64_t page_size() {
    static std::atomic<uint64_t> cached{0};
    uint64_t value = cached.load(std::memory_order_relaxed);
    if (value == 0) {
        value = getauxval(AT_PAGESZ);
        if (value < 4096)
            value = 4096;
        cached.store(value, std::memory_order_relaxed);
    }
    return value;
}

}  // namespace

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
    thread_state_copy(&cursor->frame, state);
    thread_state_copy(&cursor->prev_frame, state);
    thread_state_clear_all_registers(&cursor->prev_frame);
}

frame_error frame_cursor_next(frame_cursor *cursor, const frame_reader *readers, size_t reader_count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return FRAME_ESUCCESS;
    }
    if (reader_count == 0)
        return FRAME_EINVAL;

    const thread_state *previous = cursor->depth >= 2 ? &cursor->prev_frame : nullptr;
    thread_state next;
    frame_error err = FRAME_EUNKNOWN;
    for (size_t i = 0; i < reader_count; i++) {
        thread_state_copy(&next, &cursor->frame);
        thread_state_clear_all_registers(&next);
        err = readers[i](cursor->task, cursor->images, &cursor->frame, previous, &next);
        if (err == FRAME_ESUCCESS)
            break;
    }
    if (err != FRAME_ESUCCESS)
        return err;

    // A reader that found the outermost frame leaves the pc undefined.
    if (!thread_state_has_register(&next, REG_IP))
        return FRAME_ENOFRAME;
    // The end of the stack: nothing runs in the first page.
    if (thread_state_get_register(&next, REG_IP) <= page_size())
        return FRAME_ENOFRAME;

    thread_state_copy(&cursor->prev_frame, &cursor->frame);
    thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return FRAME_ESUCCESS;
}

frame_error frame_cursor_advance(frame_cursor *cursor) {
    static const frame_reader readers[] = {compact_unwind_read_frame, dwarf_unwind_read_frame,
                                           frame_pointer_read_frame};
    return frame_cursor_next(cursor, readers, sizeof(readers) / sizeof(readers[0]));
}

frame_error frame_cursor_get_register(const frame_cursor *cursor, uint32_t regnum, uint64_t *value) {
    if (!thread_state_has_register(&cursor->frame, regnum))
        return FRAME_ENOTSUP;
    *value = thread_state_get_register(&cursor->frame, regnum);
    return FRAME_ESUCCESS;
}

const char *frame_cursor_register_name(const frame_cursor *cursor, uint32_t regnum) {
    return thread_state_register_name(&cursor->frame, regnum);
}

uint32_t frame_cursor_register_count(const frame_cursor *cursor) {
    return thread_state_register_count(&cursor->frame);
}

void frame_cursor_free(frame_cursor *cursor) {
    if (cursor->task != platform::system::MACH_PORT_NULL)
        platform::system::mach_port_deallocate(platform::system::mach_task_self(), cursor->task);
    cursor->task = platform::system::MACH_PORT_NULL;
}

}  // namespace ovcrash
