#pragma once
// Stand-in for Mach ports, port rights and messages inside our own task, as
// the crash reporter's exception server and the exception stand-in
// (MachException.h) use them.
//
// Models: ports with a receive right and send, send-once and dead-name
// rights counted in user references; port sets; mach_port_allocate,
// insert_right, mod_refs, deallocate, move_member; no-senders notifications
// (MACH_NOTIFY_NO_SENDERS, id 70) delivered through a send-once right; and
// mach_msg with the platform's 24-byte header, its bits and dispositions, its
// option bits, time-outs, in-line data and port descriptors, reply ports and
// the minimal trailer. A message too large for the receive buffer is
// answered MACH_RCV_TOO_LARGE: with MACH_RCV_LARGE it stays queued and the
// buffer's msgh_size says how much room it needs (trailer included),
// without it the message is dropped. Ports whose receive right the "kernel"
// holds (the exception stand-in's reply ports) live in the same table.
//
// Differs: there is one name space, our own process's; a port has one name
// for all its rights, also for send-once rights (the platform names each
// send-once right apart); names lie above 0x10000000, so thread ports (kernel
// thread ids) and the task port never clash with them, and rights to those
// are passed through messages as plain names; the task's send right to its
// own port counts user references all the same (mod_refs, deallocate,
// get_refs), starting from the one mach_task_self() stands for. Out-of-line memory is not
// carried (MACH_SEND_INVALID_TYPE). At most kMachPortsMax ports and sets and
// kMachMessagesMax queued messages of at most kMachMessageMax bytes exist at
// one time; fork() copies the table into the child like any memory, but the
// child's threads waiting in mach_msg are gone.
//
// Everything here is async-signal-safe: the table is static storage changed
// by atomics, waits are futex waits, memory comes from mmap. No allocation
// from the heap, no lock.
#include <cstddef>
#include <cstdint>

#include "platform/system/Mach.h"

namespace platform::system {

using mach_port_name_t = mach_port_t;
using mach_port_right_t = uint32_t;
using mach_port_urefs_t = uint32_t;
using mach_port_delta_t = int32_t;
using mach_port_mscount_t = uint32_t;
using mach_msg_bits_t = uint32_t;
using mach_msg_size_t = uint32_t;
using mach_msg_id_t = int32_t;
using mach_msg_option_t = int32_t;
using mach_msg_timeout_t = uint32_t;
using mach_msg_return_t = kern_return_t;
using mach_msg_type_name_t = uint32_t;
using vm_map_t = mach_port_t;

inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_NOT_RECEIVER = 7;
inline constexpr kern_return_t KERN_NOT_IN_SET = 12;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_TASK = 16;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_UREFS_OVERFLOW = 19;
inline constexpr kern_return_t KERN_INVALID_CAPABILITY = 20;
inline constexpr kern_return_t KERN_RIGHT_EXISTS = 21;

inline constexpr mach_port_t MACH_PORT_DEAD = 0xffffffffu;

inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_DEAD_NAME = 4;

// Dispositions in a header or a port descriptor, and the right types a
// received message names.
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE;

inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
    return remote | (local << 8);
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) { return bits & 0x1f; }
constexpr mach_msg_type_name_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) { return (bits >> 8) & 0x1f; }

inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x10;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
inline constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_TYPE = 0x1000000f;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_HEADER = 0x10000010;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
inline constexpr mach_msg_return_t MACH_RCV_IN_SET = 0x1000400a;

inline constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;
inline constexpr uint32_t MACH_PORT_QLIMIT_DEFAULT = 5;

inline constexpr uint32_t kMachPortsMax = 512;
inline constexpr uint32_t kMachMessagesMax = 64;
inline constexpr mach_msg_size_t kMachMessageMax = 16384;

struct mach_msg_header_t {
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    mach_port_name_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
};
static_assert(sizeof(mach_msg_header_t) == 24);

struct mach_msg_body_t {
    uint32_t msgh_descriptor_count;
};

inline constexpr uint32_t MACH_MSG_PORT_DESCRIPTOR = 0;

// 12 bytes: the name, padding, then the disposition and the descriptor type
// in the top bytes of the last word.
struct mach_msg_port_descriptor_t {
    mach_port_t name;
    uint32_t pad1;
    uint16_t pad2;
    uint8_t disposition;
    uint8_t type;
};
static_assert(sizeof(mach_msg_port_descriptor_t) == 12);

struct mach_msg_trailer_t {
    uint32_t msgh_trailer_type;
    uint32_t msgh_trailer_size;
};

// The representation record MIG messages carry after their descriptors.
struct NDR_record_t {
    uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
};
inline constexpr NDR_record_t NDR_record{0, 0, 0, 0, 1, 0, 0, 0};

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
// Only under the port's own name (name == port).
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t port,
                                     mach_msg_type_name_t disposition);
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta);
// Releases one user reference of a send, send-once or dead-name right; the
// names of threads and of the task (not in the table) need nothing.
kern_return_t mach_port_deallocate_right(task_t task, mach_port_name_t name);
kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_urefs_t* refs);
// Puts a port into a set, or takes it out with after == MACH_PORT_NULL.
kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after);
// Only MACH_NOTIFY_NO_SENDERS, delivered to `notify` through a send-once
// right made (MACH_MSG_TYPE_MAKE_SEND_ONCE) or moved from it.
kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notify_poly, mach_port_t* previous);
// A fresh receive right, as the platform hands out for replies.
mach_port_t mach_reply_port();

inline constexpr int VM_FLAGS_ANYWHERE = 1;
kern_return_t vm_allocate(vm_map_t task, vm_address_t* address, vm_size_t size, int flags);
kern_return_t vm_deallocate(vm_map_t task, vm_address_t address, vm_size_t size);

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

// For the exception stand-in, which plays the kernel's side.
namespace mach_kernel {
// A port whose receive right the kernel holds; the task gets one send-once
// right to it. MACH_PORT_NULL when the table is full.
mach_port_t allocate_reply_port();
// Receives on a kernel-held port, with a time-out in milliseconds (0 waits
// for good); the message's reply right is dropped.
mach_msg_return_t receive(mach_port_t port, mach_msg_header_t* msg, mach_msg_size_t size, uint32_t timeout_ms);
// Destroys a kernel-held port (its queued messages and the task's rights die).
void destroy_port(mach_port_t port);
// Send rights the kernel holds for an exception-port registration.
bool retain_send(mach_port_t port);
void release_send(mach_port_t port);
// The task receives a send right to a port the kernel holds one for.
bool copy_send_to_task(mach_port_t port);
// Sends a message the kernel built: the destination through a send right
// the kernel holds, the reply port (msgh_local_port, kernel-held) as a
// send-once right. MACH_SEND_INVALID_DEST for a dead port.
mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_size_t size);
// Whether the calling thread serves `port`: it last received on the port or
// on the set holding it, so a message it would have to answer itself would
// never be answered.
bool served_by_caller(mach_port_t port);
}  // namespace mach_kernel

}  // namespace platform::system
