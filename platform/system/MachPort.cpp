// Async-signal-safe: static tables changed by atomics, futex waits, mmap and
// munmap; no allocation from the heap, no lock.
#include "platform/system/MachPort.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

namespace platform::system {

namespace {

constexpr uint32_t kNameBase = 0x10000000u;
constexpr mach_msg_size_t kTrailerSize = sizeof(mach_msg_trailer_t);
constexpr mach_msg_id_t kNotifySendOnce = 71;

enum Kind : uint32_t { kFree = 0, kReserved = 1, kPort = 2, kSet = 3, kDeadName = 4 };
enum Receiver : uint32_t { kNoReceiver = 0, kTaskReceiver = 1, kKernelReceiver = 2 };

struct Entry {
    std::atomic<uint32_t> kind{kFree};
    std::atomic<uint32_t> gen{0};
    std::atomic<uint32_t> receive{kNoReceiver};
    std::atomic<int32_t> sendRefs{0};  // the task's send right, in user references
    std::atomic<int32_t> sendOnce{0};  // the task's send-once rights
    std::atomic<int32_t> deadRefs{0};
    std::atomic<int32_t> kernelSends{0};  // held by registrations and by queued messages
    std::atomic<uint32_t> mscount{0};
    std::atomic<uint32_t> set{0};  // name of the set holding the port
    std::atomic<uint32_t> noSendersNotify{0};
    std::atomic<uint32_t> noSendersSync{0};
    std::atomic<int32_t> receiver{0};  // thread last receiving here
};
Entry gEntries[kMachPortsMax];

enum MessageState : uint32_t { kSlotFree = 0, kSlotFilling = 1, kSlotQueued = 2, kSlotTaking = 3 };

struct Message {
    std::atomic<uint32_t> state{kSlotFree};
    mach_port_t dest = 0;
    mach_msg_type_name_t destType = 0;
    mach_port_t reply = 0;
    mach_msg_type_name_t replyType = 0;
    bool sendOnce = false;  // sent through a send-once right: past the queue limit
    uint64_t seq = 0;
    mach_msg_size_t size = 0;
    alignas(8) uint8_t bytes[kMachMessageMax];
};
Message gMessages[kMachMessagesMax];

// The task's send right to its own port, in user references: the task port
// is no entry of the table, yet holders count on it like on any other.
std::atomic<int32_t> gTaskSendRefs{1};

kern_return_t modTaskSendRefs(mach_port_delta_t delta) {
    int32_t refs = gTaskSendRefs.load();
    do {
        if (int64_t{refs} + delta < 0) return KERN_INVALID_VALUE;
        if (int64_t{refs} + delta > 0xffff) return KERN_UREFS_OVERFLOW;
    } while (!gTaskSendRefs.compare_exchange_weak(refs, refs + delta));
    return KERN_SUCCESS;
}

std::atomic<uint64_t> gSeq{1};
// Bumped on every change a waiter may wait for; the futex word.
std::atomic<uint32_t> gEpoch{0};

int32_t selfTid() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

void wakeAll() {
    gEpoch.fetch_add(1, std::memory_order_acq_rel);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&gEpoch), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

int64_t nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// Waits until the epoch moves on from `seen`, or until the deadline (ms, 0
// for none); false once the deadline has passed.
bool waitEpoch(uint32_t seen, int64_t deadline) {
    timespec ts{};
    timespec* limit = nullptr;
    if (deadline) {
        int64_t left = deadline - nowMs();
        if (left <= 0) return false;
        ts = {time_t(left / 1000), long(left % 1000) * 1'000'000};
        limit = &ts;
    }
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&gEpoch), FUTEX_WAIT_PRIVATE, seen, limit, nullptr, 0);
    return true;
}

bool inTable(mach_port_name_t name) {
    return (name & 0xf0000000u) == kNameBase && ((name >> 8) & 0xfffff) < kMachPortsMax;
}

mach_port_name_t nameOf(uint32_t index, uint32_t gen) { return kNameBase | (index << 8) | (gen & 0xff); }

// The live entry a name denotes, or null.
Entry* lookup(mach_port_name_t name) {
    if (!inTable(name)) return nullptr;
    Entry& e = gEntries[(name >> 8) & 0xfffff];
    uint32_t kind = e.kind.load(std::memory_order_acquire);
    if (kind == kFree || kind == kReserved || (e.gen.load(std::memory_order_acquire) & 0xff) != (name & 0xff))
        return nullptr;
    return &e;
}

Entry* newEntry(Kind kind, mach_port_name_t* name) {
    for (uint32_t i = 0; i < kMachPortsMax; ++i) {
        Entry& e = gEntries[i];
        uint32_t expected = kFree;
        if (!e.kind.compare_exchange_strong(expected, kReserved, std::memory_order_acq_rel)) continue;
        uint32_t gen = e.gen.fetch_add(1, std::memory_order_acq_rel) + 1;
        if ((gen & 0xff) == 0) gen = e.gen.fetch_add(1, std::memory_order_acq_rel) + 1;  // never name ...00
        e.receive.store(kNoReceiver);
        e.sendRefs.store(0);
        e.sendOnce.store(0);
        e.deadRefs.store(0);
        e.kernelSends.store(0);
        e.mscount.store(0);
        e.set.store(0);
        e.noSendersNotify.store(0);
        e.noSendersSync.store(0);
        e.receiver.store(0);
        e.kind.store(kind, std::memory_order_release);
        *name = nameOf(i, gen);
        return &e;
    }
    return nullptr;
}

mach_port_name_t nameOfEntry(const Entry* e) {
    uint32_t index = static_cast<uint32_t>(e - gEntries);
    return nameOf(index, e->gen.load(std::memory_order_acquire));
}

bool alive(const Entry* e) { return e && e->kind.load() == kPort && e->receive.load() != kNoReceiver; }

void freeIfUnused(Entry* e) {
    if (e->kind.load() == kPort && e->receive.load() == kNoReceiver && e->sendRefs.load() <= 0 &&
        e->sendOnce.load() <= 0)
        e->kind.store(kFree, std::memory_order_release);
    else if (e->kind.load() == kDeadName && e->deadRefs.load() <= 0)
        e->kind.store(kFree, std::memory_order_release);
}

mach_msg_return_t postNotification(mach_port_t notify, mach_msg_id_t id, uint32_t count, bool withCount);

// Called whenever a send right goes away.
void checkNoSenders(Entry* e) {
    if (!alive(e) || e->sendRefs.load() > 0 || e->kernelSends.load() > 0) return;
    if (e->mscount.load() < e->noSendersSync.load()) return;
    uint32_t notify = e->noSendersNotify.exchange(0);
    if (notify) postNotification(notify, MACH_NOTIFY_NO_SENDERS, e->mscount.load(), true);
}

// A send-once right destroyed unused tells its port so (as the platform's
// send-once notification does): a waiting kernel side then sees a failure.
void sendOnceDestroyed(Entry* e) {
    if (alive(e)) postNotification(nameOfEntry(e), kNotifySendOnce, 0, false);
}

// Rights a queued message carries for a port: taken back when it is dropped.
void dropRight(mach_port_t name, mach_msg_type_name_t type) {
    Entry* e = lookup(name);
    if (!e) return;
    if (type == MACH_MSG_TYPE_PORT_SEND) {
        e->kernelSends.fetch_sub(1);
        checkNoSenders(e);
    } else if (type == MACH_MSG_TYPE_PORT_SEND_ONCE) {
        sendOnceDestroyed(e);
    }
}

void dropDescriptors(Message& m) {
    const auto* h = reinterpret_cast<const mach_msg_header_t*>(m.bytes);
    if (!(h->msgh_bits & MACH_MSGH_BITS_COMPLEX)) return;
    uint32_t count = reinterpret_cast<const mach_msg_body_t*>(m.bytes + sizeof *h)->msgh_descriptor_count;
    auto* d = reinterpret_cast<mach_msg_port_descriptor_t*>(m.bytes + sizeof *h + sizeof(mach_msg_body_t));
    for (uint32_t i = 0; i < count; ++i) dropRight(d[i].name, d[i].disposition);
}

void dropMessage(Message& m) {
    dropRight(m.reply, m.replyType);
    dropDescriptors(m);
    m.state.store(kSlotFree, std::memory_order_release);
}

// The receive right dies: queued messages go, the task's rights turn into a
// dead name, waiting receivers and senders wake up.
void killPort(Entry* e) {
    mach_port_t name = nameOfEntry(e);
    e->receive.store(kNoReceiver);
    e->set.store(0);
    e->noSendersNotify.store(0);
    for (Message& m : gMessages) {
        uint32_t expected = kSlotQueued;
        if (m.dest == name && m.state.compare_exchange_strong(expected, kSlotTaking)) dropMessage(m);
    }
    int32_t dead = e->sendRefs.exchange(0) + e->sendOnce.exchange(0);
    e->kernelSends.store(0);
    if (dead > 0) {
        e->deadRefs.store(dead);
        e->kind.store(kDeadName, std::memory_order_release);
    } else {
        e->kind.store(kFree, std::memory_order_release);
    }
    wakeAll();
}

uint32_t queuedFor(mach_port_t dest) {
    uint32_t n = 0;
    for (Message& m : gMessages)
        if (m.state.load(std::memory_order_acquire) == kSlotQueued && m.dest == dest) ++n;
    return n;
}

Message* takeSlot() {
    for (Message& m : gMessages) {
        uint32_t expected = kSlotFree;
        if (m.state.compare_exchange_strong(expected, kSlotFilling, std::memory_order_acq_rel)) return &m;
    }
    return nullptr;
}

void enqueue(Message* m) {
    m->seq = gSeq.fetch_add(1);
    m->state.store(kSlotQueued, std::memory_order_release);
    wakeAll();
}

mach_msg_return_t postNotification(mach_port_t notify, mach_msg_id_t id, uint32_t count, bool withCount) {
    Entry* e = lookup(notify);
    if (!alive(e)) return MACH_SEND_INVALID_DEST;
    Message* m = takeSlot();
    if (!m) return MACH_SEND_NO_BUFFER;
    auto* h = reinterpret_cast<mach_msg_header_t*>(m->bytes);
    *h = {MACH_MSGH_BITS(0, MACH_MSG_TYPE_PORT_SEND_ONCE), 0, 0, notify, 0, id};
    mach_msg_size_t size = sizeof *h;
    if (withCount) {
        __builtin_memcpy(m->bytes + size, &NDR_record, sizeof NDR_record);
        __builtin_memcpy(m->bytes + size + sizeof NDR_record, &count, sizeof count);
        size += sizeof NDR_record + sizeof count;
    }
    h->msgh_size = size;
    m->size = size;
    m->dest = notify;
    m->destType = MACH_MSG_TYPE_PORT_SEND_ONCE;
    m->reply = 0;
    m->replyType = 0;
    m->sendOnce = true;
    enqueue(m);
    return MACH_MSG_SUCCESS;
}

// Takes the task's right named by a disposition into a message (copy-in);
// the type the receiver gets, or 0 when the right is not there.
mach_msg_type_name_t copyIn(Entry* e, mach_msg_type_name_t disposition, bool destination) {
    switch (disposition) {
    case MACH_MSG_TYPE_COPY_SEND:
        if (e->sendRefs.load() <= 0) return 0;
        if (!destination) e->kernelSends.fetch_add(1);
        return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MOVE_SEND:
        if (e->sendRefs.load() <= 0) return 0;
        if (!destination) e->kernelSends.fetch_add(1);
        if (e->sendRefs.fetch_sub(1) == 1) {
            freeIfUnused(e);
            if (destination) checkNoSenders(e);
        }
        return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MAKE_SEND:
        if (e->receive.load() != kTaskReceiver) return 0;
        e->mscount.fetch_add(1);
        if (!destination) e->kernelSends.fetch_add(1);
        return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
        if (e->sendOnce.load() <= 0) return 0;
        e->sendOnce.fetch_sub(1);
        freeIfUnused(e);
        return MACH_MSG_TYPE_PORT_SEND_ONCE;
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        if (e->receive.load() == kNoReceiver) return 0;
        return MACH_MSG_TYPE_PORT_SEND_ONCE;
    default: return 0;
    }
}

// A right arriving with a received message (copy-out).
void copyOut(mach_port_t name, mach_msg_type_name_t type) {
    Entry* e = lookup(name);
    if (!e) return;
    if (type == MACH_MSG_TYPE_PORT_SEND) {
        e->sendRefs.fetch_add(1);
        e->kernelSends.fetch_sub(1);
    } else if (type == MACH_MSG_TYPE_PORT_SEND_ONCE) {
        e->sendOnce.fetch_add(1);
    }
}

mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                       mach_msg_timeout_t timeout) {
    if (size < sizeof(mach_msg_header_t)) return MACH_SEND_MSG_TOO_SMALL;
    if (size > kMachMessageMax) return MACH_SEND_TOO_LARGE;
    if (size % 4 != 0) return MACH_SEND_INVALID_HEADER;
    const mach_msg_bits_t bits = msg->msgh_bits;
    Entry* dest = lookup(msg->msgh_remote_port);
    if (!alive(dest)) return MACH_SEND_INVALID_DEST;
    const mach_msg_type_name_t destDisposition = MACH_MSGH_BITS_REMOTE(bits);
    const bool viaSendOnce =
        destDisposition == MACH_MSG_TYPE_MOVE_SEND_ONCE || destDisposition == MACH_MSG_TYPE_MAKE_SEND_ONCE;
    Entry* reply = nullptr;
    const mach_msg_type_name_t replyDisposition = MACH_MSGH_BITS_LOCAL(bits);
    if (msg->msgh_local_port != MACH_PORT_NULL) {
        reply = lookup(msg->msgh_local_port);
        if (!reply || reply->kind.load() != kPort) return MACH_SEND_INVALID_REPLY;
    }
    // Check every right before taking any.
    auto has = [](Entry* e, mach_msg_type_name_t d) {
        switch (d) {
        case MACH_MSG_TYPE_COPY_SEND:
        case MACH_MSG_TYPE_MOVE_SEND: return e->sendRefs.load() > 0;
        case MACH_MSG_TYPE_MAKE_SEND: return e->receive.load() == kTaskReceiver;
        case MACH_MSG_TYPE_MOVE_SEND_ONCE: return e->sendOnce.load() > 0;
        case MACH_MSG_TYPE_MAKE_SEND_ONCE: return e->receive.load() == kTaskReceiver;
        default: return false;
        }
    };
    if (!has(dest, destDisposition)) return MACH_SEND_INVALID_DEST;
    if (reply && !has(reply, replyDisposition)) return MACH_SEND_INVALID_REPLY;
    uint32_t descriptors = 0;
    if (bits & MACH_MSGH_BITS_COMPLEX) {
        if (size < sizeof(mach_msg_header_t) + sizeof(mach_msg_body_t)) return MACH_SEND_MSG_TOO_SMALL;
        descriptors = reinterpret_cast<const mach_msg_body_t*>(msg + 1)->msgh_descriptor_count;
        if (uint64_t{descriptors} * sizeof(mach_msg_port_descriptor_t) >
            size - sizeof(mach_msg_header_t) - sizeof(mach_msg_body_t))
            return MACH_SEND_MSG_TOO_SMALL;
        const auto* d = reinterpret_cast<const mach_msg_port_descriptor_t*>(reinterpret_cast<const uint8_t*>(msg + 1) +
                                                                            sizeof(mach_msg_body_t));
        for (uint32_t i = 0; i < descriptors; ++i) {
            if (d[i].type != MACH_MSG_PORT_DESCRIPTOR) return MACH_SEND_INVALID_TYPE;
            if (d[i].disposition == MACH_MSG_TYPE_MOVE_RECEIVE) return MACH_SEND_INVALID_RIGHT;
            if (d[i].name == MACH_PORT_NULL || !inTable(d[i].name)) continue;  // kernel objects pass as names
            Entry* e = lookup(d[i].name);
            if (!e || e->kind.load() != kPort || !has(e, d[i].disposition)) return MACH_SEND_INVALID_RIGHT;
        }
    }
    // Room in the queue (messages through a send-once right always fit).
    const int64_t deadline = (option & MACH_SEND_TIMEOUT) ? nowMs() + timeout : 0;
    const mach_port_t destName = msg->msgh_remote_port;
    while (!viaSendOnce && queuedFor(destName) >= MACH_PORT_QLIMIT_DEFAULT) {
        uint32_t seen = gEpoch.load();
        if (queuedFor(destName) < MACH_PORT_QLIMIT_DEFAULT) break;
        if ((option & MACH_SEND_TIMEOUT) && timeout == 0) return MACH_SEND_TIMED_OUT;
        if (!waitEpoch(seen, deadline)) return MACH_SEND_TIMED_OUT;
        if (!alive(lookup(destName))) return MACH_SEND_INVALID_DEST;
    }
    Message* m = takeSlot();
    if (!m) return MACH_SEND_NO_BUFFER;
    __builtin_memcpy(m->bytes, msg, size);
    m->size = size;
    m->dest = destName;
    m->destType = copyIn(dest, destDisposition, true);
    m->reply = reply ? msg->msgh_local_port : MACH_PORT_NULL;
    m->replyType = reply ? copyIn(reply, replyDisposition, false) : 0;
    m->sendOnce = viaSendOnce;
    if (descriptors) {
        auto* d = reinterpret_cast<mach_msg_port_descriptor_t*>(m->bytes + sizeof(mach_msg_header_t) +
                                                                sizeof(mach_msg_body_t));
        for (uint32_t i = 0; i < descriptors; ++i) {
            if (d[i].name == MACH_PORT_NULL || !inTable(d[i].name)) {
                // A thread or the task: the receiver gets a send right to it.
                d[i].disposition =
                    d[i].disposition == MACH_MSG_TYPE_MAKE_SEND_ONCE || d[i].disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE
                        ? MACH_MSG_TYPE_PORT_SEND_ONCE
                        : MACH_MSG_TYPE_PORT_SEND;
                continue;
            }
            d[i].disposition = static_cast<uint8_t>(copyIn(lookup(d[i].name), d[i].disposition, false));
        }
    }
    enqueue(m);
    return MACH_MSG_SUCCESS;
}

// Whether a queued message is for `name` (a port, or a set holding its port).
bool matches(const Message& m, mach_port_t name, bool isSet) {
    if (!isSet) return m.dest == name;
    Entry* e = lookup(m.dest);
    return e && e->set.load() == name;
}

mach_msg_return_t receive(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t rcvSize,
                          mach_port_name_t name, mach_msg_timeout_t timeout, bool kernel) {
    Entry* e = lookup(name);
    if (!e) return MACH_RCV_INVALID_NAME;
    const bool isSet = e->kind.load() == kSet;
    if (!isSet) {
        if (e->kind.load() != kPort || e->receive.load() != (kernel ? kKernelReceiver : kTaskReceiver))
            return MACH_RCV_INVALID_NAME;
        if (e->set.load() != 0) return MACH_RCV_IN_SET;
    }
    e->receiver.store(selfTid());
    const int64_t deadline = (option & MACH_RCV_TIMEOUT) && timeout ? nowMs() + timeout : 0;
    for (;;) {
        uint32_t seen = gEpoch.load(std::memory_order_acquire);
        if (!lookup(name) || (!isSet && !alive(e))) return MACH_RCV_PORT_DIED;
        Message* best = nullptr;
        for (Message& m : gMessages)
            if (m.state.load(std::memory_order_acquire) == kSlotQueued && matches(m, name, isSet) &&
                (!best || m.seq < best->seq))
                best = &m;
        if (best) {
            uint32_t expected = kSlotQueued;
            if (!best->state.compare_exchange_strong(expected, kSlotTaking, std::memory_order_acq_rel)) continue;
            const mach_msg_size_t needed = best->size + kTrailerSize;
            if (rcvSize < needed) {
                if ((option & MACH_RCV_LARGE) && rcvSize >= sizeof(mach_msg_header_t)) {
                    msg->msgh_size = needed;
                    best->state.store(kSlotQueued, std::memory_order_release);
                } else {
                    dropMessage(*best);
                    wakeAll();
                }
                return MACH_RCV_TOO_LARGE;
            }
            __builtin_memcpy(msg, best->bytes, best->size);
            msg->msgh_size = best->size;
            msg->msgh_bits =
                (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) | MACH_MSGH_BITS(best->replyType, best->destType);
            msg->msgh_remote_port = best->reply;
            msg->msgh_local_port = best->dest;
            mach_msg_trailer_t trailer{0, kTrailerSize};
            __builtin_memcpy(reinterpret_cast<uint8_t*>(msg) + best->size, &trailer, sizeof trailer);
            if (kernel) {
                dropRight(best->reply, best->replyType);
                dropDescriptors(*best);
            } else {
                copyOut(best->reply, best->replyType);
                if (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) {
                    uint32_t count = reinterpret_cast<const mach_msg_body_t*>(msg + 1)->msgh_descriptor_count;
                    const auto* d = reinterpret_cast<const mach_msg_port_descriptor_t*>(
                        reinterpret_cast<const uint8_t*>(msg + 1) + sizeof(mach_msg_body_t));
                    for (uint32_t i = 0; i < count; ++i) copyOut(d[i].name, d[i].disposition);
                }
            }
            best->state.store(kSlotFree, std::memory_order_release);
            wakeAll();  // senders waiting for room
            return MACH_MSG_SUCCESS;
        }
        if ((option & MACH_RCV_TIMEOUT) && timeout == 0) return MACH_RCV_TIMED_OUT;
        if (!waitEpoch(seen, deadline)) return MACH_RCV_TIMED_OUT;
    }
}

}  // namespace

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (!name) return KERN_INVALID_ARGUMENT;
    Entry* e = nullptr;
    switch (right) {
    case MACH_PORT_RIGHT_RECEIVE:
        if ((e = newEntry(kReserved, name))) {
            e->receive.store(kTaskReceiver);
            e->kind.store(kPort, std::memory_order_release);
        }
        break;
    case MACH_PORT_RIGHT_PORT_SET: e = newEntry(kSet, name); break;
    case MACH_PORT_RIGHT_DEAD_NAME:
        if ((e = newEntry(kReserved, name))) {
            e->deadRefs.store(1);
            e->kind.store(kDeadName, std::memory_order_release);
        }
        break;
    default: return KERN_INVALID_VALUE;
    }
    return e ? KERN_SUCCESS : KERN_NO_SPACE;
}

mach_port_t mach_reply_port() {
    mach_port_name_t name = MACH_PORT_NULL;
    return mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name) == KERN_SUCCESS ? name : MACH_PORT_NULL;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t port,
                                     mach_msg_type_name_t disposition) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name != port) return KERN_RIGHT_EXISTS;
    Entry* e = lookup(port);
    if (!e) return KERN_INVALID_NAME;
    if (e->kind.load() != kPort) return KERN_INVALID_RIGHT;
    switch (disposition) {
    case MACH_MSG_TYPE_MAKE_SEND:
        if (e->receive.load() != kTaskReceiver) return KERN_INVALID_RIGHT;
        e->mscount.fetch_add(1);
        e->sendRefs.fetch_add(1);
        return KERN_SUCCESS;
    case MACH_MSG_TYPE_COPY_SEND:
        if (e->sendRefs.load() <= 0) return KERN_INVALID_RIGHT;
        e->sendRefs.fetch_add(1);
        return KERN_SUCCESS;
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        if (e->receive.load() != kTaskReceiver) return KERN_INVALID_RIGHT;
        e->sendOnce.fetch_add(1);
        return KERN_SUCCESS;
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
        // Moving a right onto its own name leaves it as it was.
        return (disposition == MACH_MSG_TYPE_MOVE_SEND ? e->sendRefs.load() : e->sendOnce.load()) > 0
                   ? KERN_SUCCESS
                   : KERN_INVALID_RIGHT;
    default: return KERN_INVALID_VALUE;
    }
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name == mach_task_self()) return right == MACH_PORT_RIGHT_SEND ? modTaskSendRefs(delta) : KERN_INVALID_RIGHT;
    Entry* e = lookup(name);
    if (!e) return KERN_INVALID_NAME;
    const uint32_t kind = e->kind.load();
    switch (right) {
    case MACH_PORT_RIGHT_RECEIVE:
        if (kind != kPort || e->receive.load() != kTaskReceiver) return KERN_INVALID_RIGHT;
        if (delta < -1 || delta > 0) return KERN_INVALID_VALUE;
        if (delta == -1) killPort(e);
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
        if (kind != kSet) return KERN_INVALID_RIGHT;
        if (delta < -1 || delta > 0) return KERN_INVALID_VALUE;
        if (delta == -1) {
            for (Entry& member : gEntries)
                if (member.set.load() == name) member.set.store(0);
            e->kind.store(kFree, std::memory_order_release);
            wakeAll();
        }
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND: {
        if (kind != kPort || e->sendRefs.load() <= 0)
            return delta == 0 && kind == kPort ? KERN_SUCCESS : KERN_INVALID_RIGHT;
        int32_t refs = e->sendRefs.load();
        if (int64_t{refs} + delta < 0) return KERN_INVALID_VALUE;
        if (int64_t{refs} + delta > 0xffff) return KERN_UREFS_OVERFLOW;
        if (e->sendRefs.fetch_add(delta) + delta == 0) {
            checkNoSenders(e);
            freeIfUnused(e);
        }
        return KERN_SUCCESS;
    }
    case MACH_PORT_RIGHT_SEND_ONCE:
        if (kind != kPort || e->sendOnce.load() <= 0) return KERN_INVALID_RIGHT;
        if (delta < -1 || delta > 0) return KERN_INVALID_VALUE;
        if (delta == -1) {
            e->sendOnce.fetch_sub(1);
            sendOnceDestroyed(e);
            freeIfUnused(e);
        }
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_DEAD_NAME:
        if (kind != kDeadName) return KERN_INVALID_RIGHT;
        if (int64_t{e->deadRefs.load()} + delta < 0) return KERN_INVALID_VALUE;
        e->deadRefs.fetch_add(delta);
        freeIfUnused(e);
        return KERN_SUCCESS;
    default: return KERN_INVALID_VALUE;
    }
}

kern_return_t mach_port_deallocate_right(task_t task, mach_port_name_t name) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name == mach_task_self()) return modTaskSendRefs(-1);
    if (name == MACH_PORT_NULL || name == MACH_PORT_DEAD || !inTable(name)) return KERN_SUCCESS;
    Entry* e = lookup(name);
    if (!e) return KERN_INVALID_NAME;
    if (e->kind.load() == kDeadName) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_DEAD_NAME, -1);
    if (e->kind.load() != kPort) return KERN_INVALID_RIGHT;
    if (e->sendRefs.load() > 0) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
    if (e->sendOnce.load() > 0) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND_ONCE, -1);
    return KERN_INVALID_RIGHT;
}

kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_urefs_t* refs) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name == mach_task_self()) {
        *refs = right == MACH_PORT_RIGHT_SEND ? uint32_t(gTaskSendRefs.load()) : 0;
        return KERN_SUCCESS;
    }
    Entry* e = lookup(name);
    if (!e) return KERN_INVALID_NAME;
    switch (right) {
    case MACH_PORT_RIGHT_SEND: *refs = e->kind.load() == kPort ? uint32_t(e->sendRefs.load()) : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_RECEIVE:
        *refs = e->kind.load() == kPort && e->receive.load() == kTaskReceiver ? 1 : 0;
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
        *refs = e->kind.load() == kPort ? uint32_t(e->sendOnce.load()) : 0;
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET: *refs = e->kind.load() == kSet ? 1 : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_DEAD_NAME:
        *refs = e->kind.load() == kDeadName ? uint32_t(e->deadRefs.load()) : 0;
        return KERN_SUCCESS;
    default: return KERN_INVALID_VALUE;
    }
}

kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    Entry* e = lookup(member);
    if (!e) return KERN_INVALID_NAME;
    if (e->kind.load() != kPort || e->receive.load() != kTaskReceiver) return KERN_INVALID_RIGHT;
    if (after == MACH_PORT_NULL) {
        if (e->set.load() == 0) return KERN_NOT_IN_SET;
        e->set.store(0);
    } else {
        Entry* s = lookup(after);
        if (!s) return KERN_INVALID_NAME;
        if (s->kind.load() != kSet) return KERN_INVALID_RIGHT;
        e->set.store(after);
    }
    wakeAll();
    return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notify_poly, mach_port_t* previous) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (variant != MACH_NOTIFY_NO_SENDERS) return KERN_INVALID_VALUE;
    Entry* e = lookup(name);
    if (!e) return KERN_INVALID_NAME;
    if (e->kind.load() != kPort || e->receive.load() != kTaskReceiver) return KERN_INVALID_RIGHT;
    if (notify != MACH_PORT_NULL) {
        Entry* n = lookup(notify);
        if (!n || n->kind.load() != kPort) return KERN_INVALID_CAPABILITY;
        if (notify_poly == MACH_MSG_TYPE_MAKE_SEND_ONCE) {
            if (n->receive.load() != kTaskReceiver) return KERN_INVALID_CAPABILITY;
        } else if (notify_poly == MACH_MSG_TYPE_MOVE_SEND_ONCE) {
            if (n->sendOnce.load() <= 0) return KERN_INVALID_CAPABILITY;
            n->sendOnce.fetch_sub(1);
        } else {
            return KERN_INVALID_VALUE;
        }
    }
    if (previous) *previous = e->noSendersNotify.load();
    e->noSendersSync.store(sync);
    e->noSendersNotify.store(notify);
    // Already without senders: told at once, as the platform does.
    if (notify != MACH_PORT_NULL) checkNoSenders(e);
    return KERN_SUCCESS;
}

kern_return_t vm_allocate(vm_map_t task, vm_address_t* address, vm_size_t size, int flags) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (!address || !(flags & VM_FLAGS_ANYWHERE)) return KERN_INVALID_ARGUMENT;
    if (size == 0) {
        *address = 0;
        return KERN_SUCCESS;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return KERN_NO_SPACE;
    *address = reinterpret_cast<vm_address_t>(p);
    return KERN_SUCCESS;
}

kern_return_t vm_deallocate(vm_map_t task, vm_address_t address, vm_size_t size) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (size == 0) return KERN_SUCCESS;
    return ::munmap(reinterpret_cast<void*>(address), size) == 0 ? KERN_SUCCESS : KERN_INVALID_ADDRESS;
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t) {
    if (option & MACH_SEND_MSG) {
        mach_msg_return_t r = send(msg, option, send_size, timeout);
        if (r != MACH_MSG_SUCCESS) return r;
    }
    if (option & MACH_RCV_MSG) return receive(msg, option, rcv_size, rcv_name, timeout, false);
    return MACH_MSG_SUCCESS;
}

namespace mach_kernel {

mach_port_t allocate_reply_port() {
    mach_port_name_t name = MACH_PORT_NULL;
    Entry* e = newEntry(kReserved, &name);
    if (!e) return MACH_PORT_NULL;
    e->receive.store(kKernelReceiver);
    e->kind.store(kPort, std::memory_order_release);
    return name;
}

mach_msg_return_t receive(mach_port_t port, mach_msg_header_t* msg, mach_msg_size_t size, uint32_t timeout_ms) {
    return ::platform::system::receive(msg, timeout_ms ? MACH_RCV_TIMEOUT : 0, size, port, timeout_ms, true);
}

void destroy_port(mach_port_t port) {
    Entry* e = lookup(port);
    if (e && e->kind.load() == kPort && e->receive.load() == kKernelReceiver) killPort(e);
}

bool retain_send(mach_port_t port) {
    Entry* e = lookup(port);
    if (!e || e->kind.load() != kPort) return false;
    e->kernelSends.fetch_add(1);
    return true;
}

void release_send(mach_port_t port) {
    Entry* e = lookup(port);
    if (!e || e->kind.load() != kPort) return;
    e->kernelSends.fetch_sub(1);
    checkNoSenders(e);
}

bool copy_send_to_task(mach_port_t port) {
    Entry* e = lookup(port);
    if (!e) return false;
    if (e->kind.load() == kDeadName) {
        e->deadRefs.fetch_add(1);
        return true;
    }
    if (e->kind.load() != kPort) return false;
    e->sendRefs.fetch_add(1);
    return true;
}

mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_size_t size) {
    if (size > kMachMessageMax || size < sizeof(mach_msg_header_t)) return MACH_SEND_TOO_LARGE;
    Entry* dest = lookup(msg->msgh_remote_port);
    if (!alive(dest)) return MACH_SEND_INVALID_DEST;
    Message* m = takeSlot();
    if (!m) return MACH_SEND_NO_BUFFER;
    __builtin_memcpy(m->bytes, msg, size);
    if ((msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) && size >= sizeof(mach_msg_header_t) + sizeof(mach_msg_body_t)) {
        // Threads and the task travel as send rights.
        uint32_t count =
            reinterpret_cast<const mach_msg_body_t*>(m->bytes + sizeof(mach_msg_header_t))->msgh_descriptor_count;
        auto* d = reinterpret_cast<mach_msg_port_descriptor_t*>(m->bytes + sizeof(mach_msg_header_t) +
                                                                sizeof(mach_msg_body_t));
        for (uint32_t i = 0; i < count && (reinterpret_cast<uint8_t*>(d + i + 1) - m->bytes) <= long(size); ++i)
            d[i].disposition = MACH_MSG_TYPE_PORT_SEND;
    }
    m->size = size;
    m->dest = msg->msgh_remote_port;
    m->destType = MACH_MSG_TYPE_PORT_SEND;
    m->reply = msg->msgh_local_port;
    m->replyType = msg->msgh_local_port != MACH_PORT_NULL ? MACH_MSG_TYPE_PORT_SEND_ONCE : 0;
    m->sendOnce = true;
    enqueue(m);
    return MACH_MSG_SUCCESS;
}

bool served_by_caller(mach_port_t port) {
    Entry* e = lookup(port);
    if (!e) return false;
    const int32_t self = selfTid();
    if (e->receiver.load() == self) return true;
    Entry* s = lookup(e->set.load());
    return s && s->receiver.load() == self;
}

}  // namespace mach_kernel

}  // namespace platform::system
