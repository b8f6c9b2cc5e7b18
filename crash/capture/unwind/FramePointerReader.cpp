// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/unwind/FramePointerReader.h"

namespace ovcrash {

frame_error frame_pointer_read_frame(task_t task, image_list *, const thread_state *current,
                                     const thread_state *previous, thread_state *next) {
    return frame_pointer_step(task, current, previous, next);
}

}  // namespace ovcrash
