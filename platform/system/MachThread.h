#pragma once
// Stand-in for the Mach calls that list, stop, read and restart the threads
// of our own task, as the crash log writer makes them at crash time.
//
// Models: `task_threads` lists the task's threads in the kernel's order (the
// main thread first); `thread_suspend` stops a thread, `thread_get_state`
// reads its registers once it has stopped, `thread_resume` lets it run again.
// Suspensions nest like the platform's suspend count.
//
// Differs:
// - A thread is stopped by a real-time signal of our own; its handler saves
//   the interrupted context and waits until resumed. A thread that blocks
//   that signal, or does not reach its handler in time, is never stopped:
//   `thread_get_state` then answers KERN_OPERATION_TIMED_OUT after a bounded
//   wait (a short one for a thread seen asleep with every signal blocked),
//   and the thread goes on running. A stopped thread's handler gives up
//   waiting by itself after a few seconds, so no thread hangs for good.
// - `thread_get_state` hands back the Linux machine context of the stop
//   signal (general registers only; `fpregs` is null) instead of a flavoured
//   platform layout; the thread-state layer turns it into the platform's.
// - The thread list lives in static storage, not in a fresh allocation, and
//   goes back with `task_threads_release` instead of a deallocation; there are
//   no port references to drop.
//
// Everything here except `thread_control_prepare` is async-signal-safe: raw
// system calls, no allocation, no lock (state words change by atomics and
// waits are futex waits with a time-out).
#include <signal.h>
#include <ucontext.h>
#include <cstdint>

#include "platform/system/Mach.h"

namespace platform::system {

using mach_msg_type_number_t = uint32_t;
using thread_act_array_t = thread_t*;

inline constexpr kern_return_t KERN_TERMINATED = 37;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

// Most threads a list holds, and most threads suspended at one time.
inline constexpr uint32_t kTaskThreadsMax = 4096;
inline constexpr uint32_t kSuspendedThreadsMax = 1024;

// Installs the stop signal's handler. Crash reporters call it when they are
// enabled; the first `thread_suspend` does it too when nobody did.
kern_return_t thread_control_prepare();

// The signal number used to stop threads (valid after preparation).
int thread_control_signal();

// The threads of `task` (our own process only) in the kernel's order. A task
// with more than kTaskThreadsMax threads is listed in part. At most four
// lists may be held at one time; KERN_RESOURCE_SHORTAGE beyond.
kern_return_t task_threads(task_t task, thread_act_array_t* threads, mach_msg_type_number_t* count);
void task_threads_release(thread_act_array_t threads);

// Sends the stop signal and returns at once; the thread stops on its own
// time. Suspending the calling thread is refused (KERN_INVALID_ARGUMENT), as
// is a thread that has gone (KERN_TERMINATED).
kern_return_t thread_suspend(thread_t thread);
// Undoes one suspension; the last one lets the thread run on.
kern_return_t thread_resume(thread_t thread);
// Waits, bounded, until the suspended thread has stopped, then copies the
// context it stopped in. KERN_INVALID_ARGUMENT for a thread not suspended,
// KERN_OPERATION_TIMED_OUT for one that did not stop in time.
kern_return_t thread_get_state(thread_t thread, mcontext_t* state);

// Whether `thread` is a thread of this process now. A thread id copied into
// a forked child, or kept by a thread that has ended, is not.
bool thread_is_ours(thread_t thread);

// For a thread waiting inside its own fault handler: while noted, stopping
// it reports the faulting context, not the handler's, as the platform reports
// a thread held at its exception. Up to 64 threads at a time; false beyond.
bool thread_note_fault_context(const mcontext_t* context);
void thread_clear_fault_context();

}  // namespace platform::system
