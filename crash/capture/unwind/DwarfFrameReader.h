#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// The DWARF frame reader's core, apart from the image lookup of
// dwarf_unwind_read_frame: recovers the caller of `current` from the FDE
// that covers its pc in an already mapped section.
#include "crash/capture/unwind/DwarfFrameInfo.h"
#include "crash/capture/unwind/FrameCursor.h"

namespace ovcrash {

frame_error dwarf_unwind_frame_from_section(task_t task, const PKR::async::dwarf_frame_reader *reader,
                                            const thread_state *current, thread_state *next);

}  // namespace ovcrash
