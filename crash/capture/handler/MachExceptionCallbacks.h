#pragma once
// The crash-time half of Mach exception handling: the server thread's loop
// and its reply, forwarding an exception to the ports registered before the
// reporter's, the exception-to-signal map, and the reporter's callback that
// writes the report from the server thread. The objects that set all this up
// are PKROVCrashMachExceptionServer's; this half builds without them, for
// every architecture.
//
// Crash-time code: no allocation, no lock, only async-signal-safe calls
// (Mach stand-in calls, futex waits, write). The server loop's start-up and
// shut-down touch the context's mutex and condition, outside crash time.
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/system/MachException.h"

namespace ovcrash {

namespace ps = platform::system;

inline constexpr uint32_t MACH_EXCEPTION_TYPES_COUNT = ps::EXC_TYPES_COUNT;

// The registrations in place before the reporter's, in a fixed layout that
// crash-time code can read.
struct mach_exception_port_set {
    uint32_t count;
    uint32_t masks[MACH_EXCEPTION_TYPES_COUNT];
    uint32_t ports[MACH_EXCEPTION_TYPES_COUNT];
    uint32_t behaviors[MACH_EXCEPTION_TYPES_COUNT];
    uint32_t flavors[MACH_EXCEPTION_TYPES_COUNT];
};

using mach_exception_callback = ps::kern_return_t (*)(ps::task_t task, ps::thread_t thread, ps::exception_type_t type,
                                                      const ps::mach_exception_data_type_t* code,
                                                      ps::mach_msg_type_number_t code_count, void* context);

// Message id of the stop request sent to the notify port.
inline constexpr ps::mach_msg_id_t MACH_EXCEPTION_SERVER_STOP_ID = static_cast<ps::mach_msg_id_t>(0xDEADBEEF);
// The shortest request the loop reads: the 64-bit form with one code word.
inline constexpr ps::mach_msg_size_t MACH_EXCEPTION_REQUEST_MIN = 76;

struct mach_exception_server_context {
    ps::thread_t server_thread;
    ps::mach_port_t server_port;
    ps::mach_port_t notify_port;
    ps::mach_port_t port_set;
    mach_exception_callback callback;
    void* context;
    pthread_mutex_t lock;
    pthread_cond_t condition;
    std::atomic<uint32_t> shutdown;
    uint32_t done;  // guarded by lock
};

// The server thread: receives on the port set, answers every exception with
// the callback's result, ends on the stop request (or when the set is gone).
void* mach_exception_server_loop(void* context);

// The 36-byte reply to `request` with `result`, sent once without waiting.
ps::mach_msg_return_t mach_exception_reply(const ps::mach_msg_header_t* request, ps::kern_return_t result);

// Hands the exception to the first registration of `set` that asks for its
// type; KERN_FAILURE when none does or it cannot be forwarded (only the
// 32-bit code forms are).
ps::kern_return_t mach_exception_forward(ps::task_t task, ps::thread_t thread, ps::exception_type_t type,
                                         const ps::mach_exception_data_type_t* code,
                                         ps::mach_msg_type_number_t code_count, const mach_exception_port_set* set);

// The signal, code and address a report names for an exception, in the
// platform's numbering; false for fewer than two code words or an exception
// that maps to none. EXC_GUARD maps to SIGKILL: the platform ends a process
// by it after a guard violation.
bool mach_exception_signal_map(ps::exception_type_t type, const ps::mach_exception_data_type_t* code,
                               ps::mach_msg_type_number_t code_count, int32_t* signo, int32_t* si_code,
                               uint64_t* address);

// The reporter's callback; context is the crash-time context. Success when a
// previous registration took the exception (no report); otherwise writes the
// report from the server thread and answers failure, so that the exception
// becomes its signal and ends the process.
ps::kern_return_t mach_exception_crash_callback(ps::task_t task, ps::thread_t thread, ps::exception_type_t type,
                                                const ps::mach_exception_data_type_t* code,
                                                ps::mach_msg_type_number_t code_count, void* context);

// Copies the previous registrations where the crash callback reads them;
// null clears them. Outside crash time.
void mach_exception_set_previous_ports(const mach_exception_port_set* set);

// The mask the reporter registers: EXC_GUARD only from Darwin 13 on, and not
// when the host's version is unknown.
ps::exception_mask_t mach_exception_reporter_mask(bool host_known, intptr_t darwin_major);

}  // namespace ovcrash
