// The exception path (faultHandler and what it calls, the raise functions,
// the thread-state calls) is async-signal-safe: system calls, static tables
// changed by atomics, futex waits inside MachPort; no allocation, no lock.
// Registering installs signal actions and is not meant for crash time.
#include "platform/system/MachException.h"

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/system/MachThread.h"

namespace platform::system {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

struct Registration {
    std::atomic<mach_port_t> port{MACH_PORT_NULL};
    std::atomic<exception_behavior_t> behavior{0};
    std::atomic<thread_state_flavor_t> flavor{0};
};

Registration gTaskPorts[EXC_TYPES_COUNT];

constexpr uint32_t kThreadsMax = 64;
struct ThreadPorts {
    std::atomic<int32_t> tid{0};
    Registration ports[EXC_TYPES_COUNT];
};
ThreadPorts gThreadPorts[kThreadsMax];

// Threads waiting at their exception, with the context they faulted in.
struct Held {
    std::atomic<int32_t> tid{0};
    ucontext_t* context = nullptr;
};
Held gHeld[kThreadsMax];

std::atomic<bool> gInstalled{false};
struct sigaction gDisplaced[65];
struct sigaction gOurAction;

int32_t selfTid() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

bool threadAlive(thread_t thread) {
    return thread != 0 && ::syscall(SYS_tgkill, ::syscall(SYS_getpid), static_cast<int32_t>(thread), 0) == 0;
}

template <typename T>
void put(uint8_t* p, T v) {
    __builtin_memcpy(p, &v, sizeof v);
}
template <typename T>
T get(const uint8_t* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// ---- Thread state of a held thread ----

bool stateFromContext(const ucontext_t* uc, thread_state_flavor_t flavor, natural_t* state,
                      mach_msg_type_number_t* count) {
    if (flavor != MACHINE_THREAD_STATE || *count < MACHINE_THREAD_STATE_COUNT) return false;
    uint64_t words[MACHINE_THREAD_STATE_COUNT / 2] = {};
    const mcontext_t& mc = uc->uc_mcontext;
#if defined(__x86_64__)
    const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI, REG_RBP, REG_RSP, REG_R8,
                         REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (int i = 0; i < 18; ++i) words[i] = static_cast<uint64_t>(mc.gregs[order[i]]);
    uint64_t segments = static_cast<uint64_t>(mc.gregs[REG_CSGSFS]);
    words[18] = segments & 0xffff;          // cs
    words[19] = (segments >> 32) & 0xffff;  // fs
    words[20] = (segments >> 16) & 0xffff;  // gs
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) words[i] = mc.regs[i];  // x0-x28, fp, lr
    words[31] = mc.sp;
    words[32] = mc.pc;
    words[33] = static_cast<uint32_t>(mc.pstate);
#endif
    __builtin_memcpy(state, words, sizeof words);
    *count = MACHINE_THREAD_STATE_COUNT;
    return true;
}

bool stateIntoContext(ucontext_t* uc, thread_state_flavor_t flavor, const natural_t* state,
                      mach_msg_type_number_t count) {
    if (flavor != MACHINE_THREAD_STATE || count < MACHINE_THREAD_STATE_COUNT) return false;
    uint64_t words[MACHINE_THREAD_STATE_COUNT / 2];
    __builtin_memcpy(words, state, sizeof words);
    mcontext_t& mc = uc->uc_mcontext;
#if defined(__x86_64__)
    const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI, REG_RBP, REG_RSP, REG_R8,
                         REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (int i = 0; i < 18; ++i) mc.gregs[order[i]] = static_cast<greg_t>(words[i]);
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) mc.regs[i] = words[i];
    mc.sp = words[31];
    mc.pc = words[32];
    mc.pstate = (mc.pstate & ~0xffffffffull) | (words[33] & 0xffffffffull);
#endif
    return true;
}

Held* findHeld(int32_t tid) {
    for (Held& h : gHeld)
        if (h.tid.load(std::memory_order_acquire) == tid) return &h;
    return nullptr;
}

Held* hold(ucontext_t* uc) {
    const int32_t self = selfTid();
    for (Held& h : gHeld) {
        int32_t expected = 0;
        if (h.tid.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
            h.context = uc;
            h.tid.store(self, std::memory_order_release);
            return &h;
        }
    }
    return nullptr;
}

// ---- Registrations ----

Registration* portsOf(thread_t thread, bool create) {
    const auto tid = static_cast<int32_t>(thread);
    for (ThreadPorts& t : gThreadPorts)
        if (t.tid.load(std::memory_order_acquire) == tid) return t.ports;
    if (!create) return nullptr;
    for (ThreadPorts& t : gThreadPorts) {
        int32_t current = t.tid.load(std::memory_order_acquire);
        // Slots of threads that have gone are taken over.
        if (current != 0 && threadAlive(static_cast<thread_t>(current))) continue;
        if (!t.tid.compare_exchange_strong(current, tid, std::memory_order_acq_rel)) continue;
        for (Registration& r : t.ports) {
            mach_port_t old = r.port.exchange(MACH_PORT_NULL);
            if (old != MACH_PORT_NULL) mach_kernel::release_send(old);
        }
        return t.ports;
    }
    return nullptr;
}

bool validBehavior(exception_behavior_t behavior) {
    auto base = static_cast<exception_behavior_t>(static_cast<uint32_t>(behavior) & ~0x80000000u);
    return base >= EXCEPTION_DEFAULT && base <= EXCEPTION_STATE_IDENTITY;
}

// The registrations for the types of mask, coalesced; the caller gets a send
// right for every port it is told of.
kern_return_t collect(Registration* table, exception_mask_t mask, exception_mask_t* masks,
                      mach_msg_type_number_t* count, mach_port_t* handlers, exception_behavior_t* behaviors,
                      thread_state_flavor_t* flavors) {
    if (!masks || !count || !handlers || !behaviors || !flavors) return KERN_INVALID_ARGUMENT;
    const mach_msg_type_number_t room = *count;
    mach_msg_type_number_t n = 0;
    for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if (!(mask & (1u << type))) continue;
        const mach_port_t port = table ? table[type].port.load() : MACH_PORT_NULL;
        const exception_behavior_t behavior = table ? table[type].behavior.load() : 0;
        const thread_state_flavor_t flavor = table ? table[type].flavor.load() : 0;
        mach_msg_type_number_t j = 0;
        for (; j < n; ++j)
            if (handlers[j] == port && behaviors[j] == behavior && flavors[j] == flavor) break;
        if (j < n) {
            masks[j] |= 1u << type;
            continue;
        }
        if (n == room) continue;
        masks[n] = 1u << type;
        handlers[n] = port;
        behaviors[n] = behavior;
        flavors[n] = flavor;
        if (port != MACH_PORT_NULL) mach_kernel::copy_send_to_task(port);
        ++n;
    }
    *count = n;
    return KERN_SUCCESS;
}

void faultHandler(int sig, siginfo_t* info, void* context);

bool isOurs(const struct sigaction& a) { return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == faultHandler; }

// Puts the stand-in's action in front of whatever was installed since, as
// the kernel asks the exception ports before any signal handler.
void install() {
    bool expected = false;
    if (gInstalled.compare_exchange_strong(expected, true)) {
        gOurAction = {};
        gOurAction.sa_sigaction = faultHandler;
        sigemptyset(&gOurAction.sa_mask);
        gOurAction.sa_flags = SA_SIGINFO | SA_ONSTACK;
    }
    for (int sig : kFaultSignals) {
        struct sigaction current;
        ::sigaction(sig, nullptr, &current);
        if (isOurs(current)) continue;
        gDisplaced[sig] = current;
        ::sigaction(sig, &gOurAction, nullptr);
    }
}

kern_return_t swapIn(Registration* table, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
                     thread_state_flavor_t flavor, exception_mask_t* masks, mach_msg_type_number_t* count,
                     mach_port_t* handlers, exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
    if (mask & ~EXC_MASK_ALL) return KERN_INVALID_ARGUMENT;
    if (!validBehavior(behavior)) return KERN_INVALID_ARGUMENT;
    if (port != MACH_PORT_NULL) {
        mach_port_urefs_t refs = 0;
        if (mach_port_get_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, &refs) != KERN_SUCCESS || refs == 0)
            return KERN_INVALID_RIGHT;
    }
    if (masks) {
        kern_return_t kr = collect(table, mask, masks, count, handlers, behaviors, flavors);
        if (kr != KERN_SUCCESS) return kr;
    }
    if (port != MACH_PORT_NULL) install();
    for (uint32_t type = 1; type < EXC_TYPES_COUNT; ++type) {
        if (!(mask & (1u << type))) continue;
        Registration& r = table[type];
        if (port != MACH_PORT_NULL) mach_kernel::retain_send(port);
        r.behavior.store(behavior);
        r.flavor.store(flavor);
        mach_port_t old = r.port.exchange(port);
        if (old != MACH_PORT_NULL) mach_kernel::release_send(old);
    }
    return KERN_SUCCESS;
}

// ---- Messages ----

size_t codeWidth(exception_behavior_t behavior) { return (static_cast<uint32_t>(behavior) & 0x80000000u) ? 8 : 4; }

exception_behavior_t baseOf(exception_behavior_t behavior) {
    return static_cast<exception_behavior_t>(static_cast<uint32_t>(behavior) & ~0x80000000u);
}

// The return code of a reply to request id `id`, with the new state of a
// state reply; KERN_FAILURE for anything that is not that reply.
kern_return_t parseReply(const uint8_t* reply, mach_msg_size_t size, mach_msg_id_t id, bool withState,
                         thread_state_flavor_t* flavor, natural_t* state, mach_msg_type_number_t* count) {
    const auto* h = reinterpret_cast<const mach_msg_header_t*>(reply);
    if (h->msgh_id != id + 100 || h->msgh_size < 36 || size < 36) return KERN_FAILURE;
    kern_return_t kr = get<kern_return_t>(reply + 32);
    if (!withState || kr != KERN_SUCCESS) return kr;
    if (h->msgh_size < 44) return KERN_FAILURE;
    mach_msg_type_number_t n = get<uint32_t>(reply + 40);
    if (n > THREAD_STATE_MAX || h->msgh_size < 44 + n * 4 || (count && n > *count)) return KERN_FAILURE;
    if (flavor) *flavor = get<int32_t>(reply + 36);
    if (state) __builtin_memcpy(state, reply + 44, n * 4);
    if (count) *count = n;
    return kr;
}

// A request sent with a reply port of our own, answered by the handler.
kern_return_t raiseRequest(mach_port_t port, exception_behavior_t behavior, thread_t thread, task_t task,
                           exception_type_t exception, const mach_exception_data_type_t* code,
                           mach_msg_type_number_t code_count, thread_state_flavor_t* flavor, const natural_t* old_state,
                           mach_msg_type_number_t old_count, natural_t* new_state, mach_msg_type_number_t* new_count) {
    if (code_count > 2) return MACH_SEND_INVALID_DATA;
    alignas(8) uint8_t buffer[kExceptionRequestMax + sizeof(mach_msg_trailer_t)];
    mach_msg_size_t size = exception_request_build(buffer, behavior, thread, task, exception, code, code_count,
                                                   flavor ? *flavor : 0, old_state, old_count);
    if (size == 0) return MACH_SEND_INVALID_DATA;
    mach_port_t reply = mach_reply_port();
    if (reply == MACH_PORT_NULL) return KERN_RESOURCE_SHORTAGE;
    auto* h = reinterpret_cast<mach_msg_header_t*>(buffer);
    const mach_msg_id_t id = h->msgh_id;
    h->msgh_bits =
        (h->msgh_bits & MACH_MSGH_BITS_COMPLEX) | MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
    h->msgh_remote_port = port;
    h->msgh_local_port = reply;
    kern_return_t kr =
        mach_msg(h, MACH_SEND_MSG | MACH_RCV_MSG, size, sizeof buffer, reply, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (kr == MACH_MSG_SUCCESS)
        kr = parseReply(buffer, h->msgh_size, id, baseOf(behavior) != EXCEPTION_DEFAULT, flavor, new_state, new_count);
    mach_port_mod_refs(mach_task_self(), reply, MACH_PORT_RIGHT_RECEIVE, -1);
    return kr;
}

// ---- The kernel's part ----

void translate(int sig, const siginfo_t* info, exception_type_t* type, int64_t codes[2]) {
    codes[0] = 0;
    codes[1] = 0;
    switch (sig) {
    case SIGSEGV:
        *type = EXC_BAD_ACCESS;
        codes[0] = info->si_code == SEGV_ACCERR ? KERN_PROTECTION_FAILURE : KERN_INVALID_ADDRESS;
        codes[1] = static_cast<int64_t>(reinterpret_cast<uintptr_t>(info->si_addr));
        break;
    case SIGBUS:
        *type = EXC_BAD_ACCESS;
        codes[0] = KERN_MEMORY_ERROR;
        codes[1] = static_cast<int64_t>(reinterpret_cast<uintptr_t>(info->si_addr));
        break;
    case SIGILL: *type = EXC_BAD_INSTRUCTION;
#if defined(__aarch64__)
        codes[0] = EXC_ARM_UNDEFINED;
#else
        codes[0] = EXC_I386_INVOP;
#endif
        break;
    case SIGFPE:
        *type = EXC_ARITHMETIC;
        codes[0] = info->si_code == FPE_INTDIV   ? EXC_I386_DIV
                   : info->si_code == FPE_INTOVF ? EXC_I386_INTO
                                                 : EXC_I386_EXTERR;
        break;
    default:  // SIGTRAP
        *type = EXC_BREAKPOINT;
#if defined(__aarch64__)
        codes[0] = EXC_ARM_BREAKPOINT;
#else
        codes[0] = info->si_code == TRAP_TRACE ? EXC_I386_SGL : EXC_I386_BPT;
#endif
        break;
    }
}

// Sends the exception for the calling thread to one registration and waits
// for the answer; the handler's return code.
kern_return_t deliverException(mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor,
                               exception_type_t type, const int64_t codes[2], ucontext_t* uc) {
    const bool withState = baseOf(behavior) != EXCEPTION_DEFAULT;
    natural_t state[THREAD_STATE_MAX];
    mach_msg_type_number_t count = THREAD_STATE_MAX;
    if (withState && !stateFromContext(uc, flavor, state, &count)) return KERN_FAILURE;
    if (!withState) count = 0;
    mach_port_t reply = mach_kernel::allocate_reply_port();
    if (reply == MACH_PORT_NULL) return KERN_FAILURE;
    const thread_t self = static_cast<thread_t>(selfTid());
    alignas(8) uint8_t buffer[kExceptionRequestMax + sizeof(mach_msg_trailer_t)];
    mach_msg_size_t size =
        exception_request_build(buffer, behavior, self, mach_task_self(), type, codes, 2, flavor, state, count);
    auto* h = reinterpret_cast<mach_msg_header_t*>(buffer);
    const mach_msg_id_t id = h->msgh_id;
    h->msgh_remote_port = port;
    h->msgh_local_port = reply;
    Held* held = hold(uc);
    // Stopped for a report meanwhile, this thread shows where it faulted.
    bool noted = thread_note_fault_context(&uc->uc_mcontext);
    kern_return_t kr = mach_kernel::send(h, size);
    if (kr == MACH_MSG_SUCCESS) kr = mach_kernel::receive(reply, h, sizeof buffer, 0);
    if (noted) thread_clear_fault_context();
    if (held) held->tid.store(0, std::memory_order_release);
    mach_kernel::destroy_port(reply);
    if (kr != MACH_MSG_SUCCESS) return KERN_FAILURE;
    thread_state_flavor_t newFlavor = flavor;
    count = THREAD_STATE_MAX;
    kr = parseReply(buffer, h->msgh_size, id, withState, &newFlavor, state, &count);
    if (kr == KERN_SUCCESS && withState) stateIntoContext(uc, newFlavor, state, count);
    return kr;
}

bool sameAction(const struct sigaction& a, const struct sigaction& b) {
    return (a.sa_flags & SA_SIGINFO) == (b.sa_flags & SA_SIGINFO) &&
           ((a.sa_flags & SA_SIGINFO) ? a.sa_sigaction == b.sa_sigaction : a.sa_handler == b.sa_handler);
}

// What the kernel does with a signal no exception handler took: the action
// installed for it (the one the stand-in displaced, while the stand-in's own
// is in place), else the default action.
void deliverSignal(int sig, siginfo_t* info, ucontext_t* uc) {
    struct sigaction current;
    ::sigaction(sig, nullptr, &current);
    const bool ours = isOurs(current);
    struct sigaction target = ours ? gDisplaced[sig] : current;
    const bool fault = info && info->si_code > 0;
    const bool handler = (target.sa_flags & SA_SIGINFO) ? target.sa_sigaction != nullptr
                                                        : target.sa_handler != SIG_DFL && target.sa_handler != SIG_IGN;
    if (handler) {
        // The handler finds itself installed, as it would be when called by
        // the kernel, and may re-raise through its own logic.
        if (ours) ::sigaction(sig, &target, nullptr);
        if (target.sa_flags & SA_SIGINFO)
            target.sa_sigaction(sig, info, uc);
        else
            target.sa_handler(sig);
        if (ours) {
            struct sigaction now;
            ::sigaction(sig, nullptr, &now);
            if (sameAction(now, target)) ::sigaction(sig, &gOurAction, nullptr);
        }
        // A handler that raised its signal again meant it to end the
        // process: it must not come back here (and to that handler) for good.
        sigset_t pending;
        struct sigaction now;
        if (::sigpending(&pending) == 0 && sigismember(&pending, sig) && ::sigaction(sig, nullptr, &now) == 0 &&
            isOurs(now)) {
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            ::sigaction(sig, &dfl, nullptr);
        }
        return;
    }
    if (!(target.sa_flags & SA_SIGINFO) && target.sa_handler == SIG_IGN && !fault) return;
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    // Pending until this handler returns, then it ends the process.
    const long pid = ::syscall(SYS_getpid);
    if (!info || ::syscall(SYS_rt_tgsigqueueinfo, pid, selfTid(), sig, info) != 0)
        ::syscall(SYS_tgkill, pid, selfTid(), sig);
}

void faultHandler(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    auto* uc = static_cast<ucontext_t*>(context);
    if (info && info->si_code > 0) {
        exception_type_t type;
        int64_t codes[2];
        translate(sig, info, &type, codes);
        Registration* levels[2] = {portsOf(static_cast<thread_t>(selfTid()), false), gTaskPorts};
        for (Registration* table : levels) {
            if (!table) continue;
            Registration& r = table[type];
            mach_port_t port = r.port.load();
            if (port == MACH_PORT_NULL || mach_kernel::served_by_caller(port)) continue;
            if (deliverException(port, r.behavior.load(), r.flavor.load(), type, codes, uc) == KERN_SUCCESS) {
                errno = savedErrno;
                return;
            }
        }
    }
    deliverSignal(sig, info, uc);
    errno = savedErrno;
}

}  // namespace

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* handlers,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    if (mask & ~EXC_MASK_ALL) return KERN_INVALID_ARGUMENT;
    return collect(gTaskPorts, mask, masks, count, handlers, behaviors, flavors);
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    return swapIn(gTaskPorts, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count, mach_port_t* handlers,
                                        exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    if (!masks) return KERN_INVALID_ARGUMENT;
    return swapIn(gTaskPorts, mask, port, behavior, flavor, masks, count, handlers, behaviors, flavors);
}

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* handlers,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
    if (!threadAlive(thread) || (mask & ~EXC_MASK_ALL)) return KERN_INVALID_ARGUMENT;
    return collect(portsOf(thread, false), mask, masks, count, handlers, behaviors, flavors);
}

kern_return_t thread_set_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                         exception_behavior_t behavior, thread_state_flavor_t flavor) {
    if (!threadAlive(thread)) return KERN_INVALID_ARGUMENT;
    Registration* table = portsOf(thread, true);
    if (!table) return KERN_RESOURCE_SHORTAGE;
    return swapIn(table, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count, mach_port_t* handlers,
                                          exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
    if (!threadAlive(thread) || !masks) return KERN_INVALID_ARGUMENT;
    Registration* table = portsOf(thread, true);
    if (!table) return KERN_RESOURCE_SHORTAGE;
    return swapIn(table, mask, port, behavior, flavor, masks, count, handlers, behaviors, flavors);
}

kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t* count) {
    if (!state || !count) return KERN_INVALID_ARGUMENT;
    if (flavor != MACHINE_THREAD_STATE) return KERN_INVALID_ARGUMENT;
    Held* held = findHeld(static_cast<int32_t>(thread));
    if (!held) return KERN_FAILURE;
    return stateFromContext(held->context, flavor, state, count) ? KERN_SUCCESS : KERN_INVALID_ARGUMENT;
}

kern_return_t thread_set_state(thread_t thread, thread_state_flavor_t flavor, const natural_t* state,
                               mach_msg_type_number_t count) {
    if (!state) return KERN_INVALID_ARGUMENT;
    if (flavor != MACHINE_THREAD_STATE) return KERN_INVALID_ARGUMENT;
    Held* held = findHeld(static_cast<int32_t>(thread));
    if (!held) return KERN_FAILURE;
    return stateIntoContext(held->context, flavor, state, count) ? KERN_SUCCESS : KERN_INVALID_ARGUMENT;
}

mach_msg_size_t exception_request_build(void* buffer, exception_behavior_t behavior, thread_t thread, task_t task,
                                        exception_type_t exception, const mach_exception_data_type_t* code,
                                        mach_msg_type_number_t code_count, thread_state_flavor_t flavor,
                                        const natural_t* state, mach_msg_type_number_t state_count) {
    const exception_behavior_t base = baseOf(behavior);
    if (!validBehavior(behavior) || code_count > 2 || state_count > THREAD_STATE_MAX) return 0;
    const size_t width = codeWidth(behavior);
    auto* b = static_cast<uint8_t*>(buffer);
    auto* h = reinterpret_cast<mach_msg_header_t*>(b);
    const bool identity = base != EXCEPTION_STATE;
    *h = {identity ? MACH_MSGH_BITS_COMPLEX : 0,
          0,
          MACH_PORT_NULL,
          MACH_PORT_NULL,
          0,
          (width == 8 ? MACH_EXCEPTION_RAISE_ID : EXCEPTION_RAISE_ID) + (base - 1)};
    size_t at = sizeof *h;
    if (identity) {
        put<uint32_t>(b + at, 2);
        at += 4;
        for (mach_port_t port : {thread, task}) {
            mach_msg_port_descriptor_t d{port, 0, 0, MACH_MSG_TYPE_COPY_SEND, MACH_MSG_PORT_DESCRIPTOR};
            __builtin_memcpy(b + at, &d, sizeof d);
            at += sizeof d;
        }
    }
    __builtin_memcpy(b + at, &NDR_record, sizeof NDR_record);
    at += sizeof NDR_record;
    put<int32_t>(b + at, exception);
    put<uint32_t>(b + at + 4, code_count);
    at += 8;
    for (mach_msg_type_number_t i = 0; i < code_count; ++i) {
        if (width == 8)
            put<int64_t>(b + at, code[i]);
        else
            put<int32_t>(b + at, static_cast<int32_t>(code[i]));
        at += width;
    }
    if (base != EXCEPTION_DEFAULT) {
        put<int32_t>(b + at, flavor);
        put<uint32_t>(b + at + 4, state_count);
        at += 8;
        if (state_count) __builtin_memcpy(b + at, state, state_count * 4);
        at += state_count * 4;
    }
    h->msgh_size = static_cast<mach_msg_size_t>(at);
    return h->msgh_size;
}

namespace {

// The 32-bit code words as the 64-bit ones the request builder takes.
struct WideCodes {
    mach_exception_data_type_t words[2] = {};
    WideCodes(const exception_data_type_t* code, mach_msg_type_number_t count) {
        for (mach_msg_type_number_t i = 0; i < count && i < 2; ++i) words[i] = code[i];
    }
};

}  // namespace

kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t* code, mach_msg_type_number_t code_count) {
    return raiseRequest(port, EXCEPTION_DEFAULT, thread, task, exception, WideCodes(code, code_count).words, code_count,
                        nullptr, nullptr, 0, nullptr, nullptr);
}

kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t* code,
                                    mach_msg_type_number_t code_count, thread_state_flavor_t* flavor,
                                    const natural_t* old_state, mach_msg_type_number_t old_state_count,
                                    natural_t* new_state, mach_msg_type_number_t* new_state_count) {
    return raiseRequest(port, EXCEPTION_STATE, MACH_PORT_NULL, MACH_PORT_NULL, exception,
                        WideCodes(code, code_count).words, code_count, flavor, old_state, old_state_count, new_state,
                        new_state_count);
}

kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                             const exception_data_type_t* code, mach_msg_type_number_t code_count,
                                             thread_state_flavor_t* flavor, const natural_t* old_state,
                                             mach_msg_type_number_t old_state_count, natural_t* new_state,
                                             mach_msg_type_number_t* new_state_count) {
    return raiseRequest(port, EXCEPTION_STATE_IDENTITY, thread, task, exception, WideCodes(code, code_count).words,
                        code_count, flavor, old_state, old_state_count, new_state, new_state_count);
}

kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t* code, mach_msg_type_number_t code_count) {
    return raiseRequest(port, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, thread, task, exception, code, code_count,
                        nullptr, nullptr, 0, nullptr, nullptr);
}

}  // namespace platform::system
