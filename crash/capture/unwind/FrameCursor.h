#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// Walks one thread's stack a frame at a time. Each step hands the current
// frame to a list of frame readers (compact unwind, DWARF call frames, the
// frame-pointer chain); the first that recovers the caller's registers wins.
// The crash log writer bounds the walk.
#include <cstdint>

#include "crash/capture/async/AsyncMemory.h"
#include "crash/capture/unwind/ThreadState.h"

namespace ovcrash {

struct image_list;

enum frame_error : int32_t {
    FRAME_ESUCCESS = 0,
    FRAME_EUNKNOWN = 1,
    FRAME_ENOFRAME = 2,  // the end of the stack
    FRAME_EBADFRAME = 3,
    FRAME_ENOTSUP = 4,
    FRAME_EINVAL = 5,
    FRAME_EINTERNAL = 6,
    FRAME_EBADREG = 7,
};

const char *frame_error_string(frame_error error);

// Recovers the caller of `current` into `next`. `previous` is the frame
// before `current` (its callee), or null at the first step.
using frame_reader = frame_error (*)(task_t task, image_list *images, const thread_state *current,
                                     const thread_state *previous, thread_state *next);

// The previous, current and next frames rotate through three states, so a
// step copies none of them.
struct frame_cursor {
    task_t task;  // one send-right reference held until frame_cursor_free
    image_list *images;
    uint32_t depth;
    uint64_t page_size;
    bool chain64;  // the frames are of a 64-bit flavour on a stack that grows down
    thread_state frames[3];
    uint8_t prev_frame;  // indexes into frames
    uint8_t frame;
};

void frame_cursor_init(frame_cursor *cursor, task_t task, const thread_state *state, image_list *images);
frame_error frame_cursor_next(frame_cursor *cursor, const frame_reader *readers, size_t reader_count);
// One step with the standard readers: compact unwind, DWARF, frame pointer.
frame_error frame_cursor_advance(frame_cursor *cursor);
frame_error frame_cursor_get_register(const frame_cursor *cursor, uint32_t regnum, uint64_t *value);
const char *frame_cursor_register_name(const frame_cursor *cursor, uint32_t regnum);
uint32_t frame_cursor_register_count(const frame_cursor *cursor);
void frame_cursor_free(frame_cursor *cursor);

// The readers of the standard list, each in its own file.
frame_error compact_unwind_read_frame(task_t task, image_list *images, const thread_state *current,
                                      const thread_state *previous, thread_state *next);
frame_error dwarf_unwind_read_frame(task_t task, image_list *images, const thread_state *current,
                                    const thread_state *previous, thread_state *next);
frame_error frame_pointer_read_frame(task_t task, image_list *images, const thread_state *current,
                                     const thread_state *previous, thread_state *next);

}  // namespace ovcrash
