#pragma once
// The stack ranges of the process's threads, noted before any crash so that
// a stack walk at crash time reads inside a stack without asking the kernel
// whether each page is there: a thread's stack stays mapped while the thread
// lives, and each thread's record goes when it ends.
//
// Noted: every platform thread (with its alternate signal stack) when it
// starts, and the main thread and the enabling thread when the crash reporter
// is enabled. thread_stack_find is async-signal-safe (atomic loads over a
// fixed table); noting and forgetting are not crash-time calls.
#include <cstdint>

namespace platform::foundation {

// Notes the calling thread's stack and its alternate signal stack, if one is
// installed, replacing what was noted for it before; they are forgotten when
// the thread ends. Quietly notes nothing when the table is full.
void thread_stack_note_current();
// Notes the main thread's stack as it is mapped now, from any thread.
void thread_stack_note_main();

// The noted range [*low, *high) holding address; false when none holds it.
// Every byte of the range is mapped and readable.
bool thread_stack_find(uint64_t address, uint64_t* low, uint64_t* high);

}  // namespace platform::foundation
