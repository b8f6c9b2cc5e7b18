// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/FrameCursor.h"

namespace ovcrash {

frame_error compact_unwind_read_frame(task_t, image_list *, const thread_state *, const thread_state *, thread_state *) {
    return FRAME_ENOTSUP;
}

}  // namespace ovcrash
