#pragma once
// Crash-time code: no allocation, no lock, only async-signal-safe calls.
//
// Reads of the walked task's memory for the frame readers. Every read is a
// fault-safe task read, except that during a stack walk (between
// frame_memory_begin and frame_memory_end on the walking thread) a page one
// read found readable is read directly afterwards: the walk runs while every
// other thread of the task is stopped, so nothing unmaps it meanwhile, and a
// walk reads the same few stack pages over and over.
#include <cstdint>

#include "crash/capture/async/AsyncMemory.h"

namespace ovcrash {

// Starts and ends the calling thread's walk; walks may not nest on a thread
// (a second begin starts afresh).
void frame_memory_begin(task_t task);
void frame_memory_end();

// The calling thread's current walk, an identifier never used before, and
// the walk's slot (0 to kFrameMemoryWalks - 1), which no other walk uses
// while it lasts; 0 outside a walk. Readers keep what they learnt from one
// frame for the next in per-slot storage, marked with the walk.
constexpr int kFrameMemoryWalks = 8;
uint64_t frame_memory_walk(int *slot);

// As async_task_read and its 32- and 64-bit forms.
async_error frame_memory_read(task_t task, uint64_t base, int64_t offset, void *dest, uint64_t length);
async_error frame_memory_read_uint32(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint32_t *value);
async_error frame_memory_read_uint64(task_t task, const async_byteorder *byteorder, uint64_t base, int64_t offset,
                                     uint64_t *value);

// The kernel's page size, at least 4096.
uint64_t frame_memory_page_size();

}  // namespace ovcrash
