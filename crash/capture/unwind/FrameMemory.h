#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// Reads of the walked task's memory for the frame readers. Outside a stack
// walk every read is a fault-safe task read. A walk (between
// frame_memory_begin and frame_memory_end on the walking thread) of our own
// task has a window over the walked stack that is read without a check: the
// noted range of the stack its first stack pointer lies in (ThreadStacks.h),
// or, for a stack never noted, a copy of it made with fault-safe reads into
// storage set aside for the walk, grown as the walk climbs. Reads outside
// the window are task reads, except that a page one of them found readable
// is read directly afterwards: the walk runs while every other thread of the
// task is stopped, so nothing unmaps it meanwhile.
#include <cstdint>

#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash {

// Starts and ends the calling thread's walk of the stack that `sp` (the
// first frame's stack pointer, 0 if unknown) lies in; walks may not nest on
// a thread (a second begin starts afresh).
void frame_memory_begin(task_t task, uint64_t sp = 0);
void frame_memory_end();

// The calling thread's current walk, an identifier never used before, and
// the walk's slot (0 to kFrameMemoryWalks - 1), which no other walk uses
// while it lasts; 0 outside a walk. Readers keep what they learnt from one
// frame for the next in per-slot storage, marked with the walk.
constexpr int kFrameMemoryWalks = 8;
uint64_t frame_memory_walk(int *slot);

// The window of the calling thread's walk: [low, high) of `task` is read at
// address + delta.
struct frame_memory_window {
    task_t task;
    uint64_t low;
    uint64_t high;
    uint64_t delta;
};
// Initial-exec: reaching it is one load, with no call that could allocate.
extern __thread const frame_memory_window *frame_memory_current_window __attribute__((tls_model("initial-exec")));

// As async_task_read.
async_error frame_memory_read_checked(task_t task, uint64_t base, int64_t offset, void *dest, uint64_t length);

// As async_task_read; inline for the two sizes every step of a walk reads.
inline async_error frame_memory_read(task_t task, uint64_t base, int64_t offset, void *dest, uint64_t length) {
    const frame_memory_window *w = frame_memory_current_window;
    const uint64_t address = base + static_cast<uint64_t>(offset);
    if (w != nullptr && task == w->task && (length == 8 || length == 16) &&
        (offset >= 0 ? address >= base : address < base) && address - w->low < w->high - w->low &&
        length <= w->high - address) {
        const auto *source = reinterpret_cast<const void *>(address + w->delta);
        if (length == 8)
            __builtin_memcpy(dest, source, 8);
        else
            __builtin_memcpy(dest, source, 16);
        return ASYNC_ESUCCESS;
    }
    return frame_memory_read_checked(task, base, offset, dest, length);
}

// The 32- and 64-bit forms of async_task_read.
async_error frame_memory_read_uint32(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint32_t *value);
async_error frame_memory_read_uint64(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint64_t *value);

// The kernel's page size, at least 4096.
uint64_t frame_memory_page_size();

}  // namespace ovcrash
