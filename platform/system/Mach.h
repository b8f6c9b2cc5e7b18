#pragma once
// Stand-in for the few Mach task and port calls crash capture makes.
//
// Models: a task is our own process, a thread port is the kernel thread id
// (gettid), reading task memory is a copy that reports a bad address instead
// of faulting; ports and their rights are MachPort.h's. Differs: thread and
// task ports carry no references, so releasing them does nothing; only the
// calling process can be read (mach_task_self()).
// Every call here is async-signal-safe: raw system calls, no allocation.
#include <cstddef>
#include <cstdint>

namespace platform::system {

using kern_return_t = int32_t;
using mach_port_t = uint32_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using vm_address_t = uint64_t;
using vm_size_t = uint64_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;

inline constexpr mach_port_t MACH_PORT_NULL = 0;

// The calling process: one constant name in every process, as the
// platform's own task port name is, so it stays right across fork().
task_t mach_task_self();
// The calling thread's kernel id; carries no reference to give back.
thread_t mach_thread_self();
// Releases one user reference of a port right (MachPort.h); thread and task
// ports need no release.
kern_return_t mach_port_deallocate(task_t task, mach_port_t port);

// Copies size bytes at address of the task into data. An unmapped or
// unreadable range answers KERN_INVALID_ADDRESS and leaves data unspecified;
// nothing faults. What is read at an image's load address is the loader's
// Mach-O view of it (Loader.h), as the platform would show. Uses process_vm_readv and, where the kernel refuses that
// call (seccomp, emulators), vm_read_overwrite_through_pipe.
kern_return_t vm_read_overwrite(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                vm_size_t* outsize);
// The same checked copy of what the pages themselves hold, without the
// loader's views: for readers of the loaded ELF images.
kern_return_t vm_read_pages(task_t task, vm_address_t address, vm_size_t size, vm_address_t data, vm_size_t* outsize);
// The fallback copy: the kernel reads the source while writing it into a
// pipe, so a bad address becomes EFAULT rather than a fault.
kern_return_t vm_read_overwrite_through_pipe(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                             vm_size_t* outsize);

}  // namespace platform::system
