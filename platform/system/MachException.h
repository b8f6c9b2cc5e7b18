#pragma once
// Stand-in for Mach exceptions in our own task: exception ports of the task
// and of its threads, the exception_raise family of messages, and the
// kernel's part, which turns a hardware fault into an exception message.
//
// Models: task_/thread_ get, set and swap of exception ports per mask with
// behaviour (EXCEPTION_DEFAULT, _STATE, _STATE_IDENTITY, optionally with
// MACH_EXCEPTION_CODES) and flavour, old registrations coalesced by (port,
// behaviour, flavour) as the platform returns them; the request and reply
// messages in the platform's layout (ids 2401-2403, 2405-2407, replies +100).
// Once a port is registered, a fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP raised by the processor, on any thread) becomes EXC_BAD_ACCESS,
// EXC_BAD_INSTRUCTION, EXC_ARITHMETIC or EXC_BREAKPOINT with the platform's
// codes, sent to the thread's port for that type, else the task's, while the
// faulting thread waits for the reply. A reply of KERN_SUCCESS resumes the
// thread with the state the handler left (thread_set_state, or the new state
// of a state reply); any other answer tries the next level, then delivers
// the signal as the kernel would: to the action installed for it before the
// stand-in (or after it), else with the default action.
//
// Differs: faults are caught by signal actions the stand-in installs when
// the first port is registered; an action installed after it for those
// signals takes faults first. Signals sent by a process are no exceptions.
// A port served by the faulting thread itself (it last received on it) is
// skipped: on the platform that thread would wait for good. The thread
// states are the machine's 64-bit flavour only (x86_THREAD_STATE64 or
// ARM_THREAD_STATE64); other flavours are refused with KERN_INVALID_ARGUMENT.
//
// The exception path (the fault handler, raising, thread state of a thread
// held at its exception) is async-signal-safe: system calls, static tables
// changed by atomics, futex waits. Registering is not meant for crash time.
#include <signal.h>
#include <cstdint>

#include "platform/system/MachPort.h"

namespace platform::system {

using exception_type_t = int32_t;
using exception_data_type_t = int32_t;
using mach_exception_data_type_t = int64_t;
using exception_mask_t = uint32_t;
using exception_behavior_t = int32_t;
using thread_state_flavor_t = int32_t;
using natural_t = uint32_t;
using thread_state_t = natural_t*;
using mach_msg_type_number_t = uint32_t;

inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_CRASH = 10;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr uint32_t EXC_TYPES_COUNT = 14;

inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_EMULATION = 1u << EXC_EMULATION;
inline constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
// Every type from 1 to 13.
inline constexpr exception_mask_t EXC_MASK_ALL = 0x3ffe;

inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<exception_behavior_t>(0x80000000u);

inline constexpr thread_state_flavor_t x86_THREAD_STATE64 = 4;
inline constexpr mach_msg_type_number_t x86_THREAD_STATE64_COUNT = 42;
inline constexpr thread_state_flavor_t ARM_THREAD_STATE64 = 6;
inline constexpr mach_msg_type_number_t ARM_THREAD_STATE64_COUNT = 68;
#if defined(__aarch64__)
inline constexpr thread_state_flavor_t MACHINE_THREAD_STATE = ARM_THREAD_STATE64;
inline constexpr mach_msg_type_number_t MACHINE_THREAD_STATE_COUNT = ARM_THREAD_STATE64_COUNT;
#else
inline constexpr thread_state_flavor_t MACHINE_THREAD_STATE = x86_THREAD_STATE64;
inline constexpr mach_msg_type_number_t MACHINE_THREAD_STATE_COUNT = x86_THREAD_STATE64_COUNT;
#endif
// Room for any flavour's state in a message, in 32-bit words.
inline constexpr mach_msg_type_number_t THREAD_STATE_MAX = 144;

// Codes the kernel part gives its exceptions.
inline constexpr int64_t KERN_MEMORY_ERROR = 10;
inline constexpr int64_t EXC_I386_INVOP = 1;
inline constexpr int64_t EXC_I386_DIV = 1;
inline constexpr int64_t EXC_I386_INTO = 2;
inline constexpr int64_t EXC_I386_EXTERR = 5;
inline constexpr int64_t EXC_I386_SGL = 1;
inline constexpr int64_t EXC_I386_BPT = 2;
inline constexpr int64_t EXC_ARM_UNDEFINED = 1;
inline constexpr int64_t EXC_ARM_BREAKPOINT = 1;

// Message ids of the requests (replies add 100).
inline constexpr mach_msg_id_t EXCEPTION_RAISE_ID = 2401;
inline constexpr mach_msg_id_t MACH_EXCEPTION_RAISE_ID = 2405;

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* handlers,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count, mach_port_t* handlers,
                                        exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* handlers,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor);
kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count, mach_port_t* handlers,
                                          exception_behavior_t* behaviors, thread_state_flavor_t* flavors);

// The state of a thread held at its exception (waiting for the reply), in
// the machine's 64-bit flavour; KERN_FAILURE for a thread not held there.
kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t* count);
kern_return_t thread_set_state(thread_t thread, thread_state_flavor_t flavor, const natural_t* state,
                               mach_msg_type_number_t count);

// The requests, sent with a reply port of their own and answered by the
// handler's reply: the handler's return code, or the message error. The
// 32-bit code forms; mach_exception_raise is the 64-bit one.
kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t* code, mach_msg_type_number_t code_count);
kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t* code,
                                    mach_msg_type_number_t code_count, thread_state_flavor_t* flavor,
                                    const natural_t* old_state, mach_msg_type_number_t old_state_count,
                                    natural_t* new_state, mach_msg_type_number_t* new_state_count);
kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                             const exception_data_type_t* code, mach_msg_type_number_t code_count,
                                             thread_state_flavor_t* flavor, const natural_t* old_state,
                                             mach_msg_type_number_t old_state_count, natural_t* new_state,
                                             mach_msg_type_number_t* new_state_count);
kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t* code, mach_msg_type_number_t code_count);

// A request of any behaviour in the platform's layout, built into buffer
// (at least kExceptionRequestMax bytes); its size. Codes are 64-bit when the
// behaviour has MACH_EXCEPTION_CODES, else cut to 32 bits.
inline constexpr mach_msg_size_t kExceptionRequestMax = 24 + 4 + 24 + 8 + 8 + 16 + 8 + THREAD_STATE_MAX * 4;
mach_msg_size_t exception_request_build(void* buffer, exception_behavior_t behavior, thread_t thread, task_t task,
                                        exception_type_t exception, const mach_exception_data_type_t* code,
                                        mach_msg_type_number_t code_count, thread_state_flavor_t flavor,
                                        const natural_t* state, mach_msg_type_number_t state_count);

}  // namespace platform::system
