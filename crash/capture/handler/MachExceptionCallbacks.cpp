// Crash-time code: no allocation, no lock, only async-signal-safe calls. The
// loop's start (publishing its thread) and end (done flag, condition) use
// the context's mutex outside crash time.
#include "crash/capture/handler/MachExceptionCallbacks.h"

#include <ucontext.h>
#include <unistd.h>
#include <csignal>
#include <ctime>

#include "crash/capture/async/AsyncMemory.h"
#include "crash/capture/handler/CrashLogWriter.h"
#include "crash/capture/handler/CrashSignalTables.h"
#include "crash/capture/handler/CrashTimeContext.h"
#include "platform/system/Host.h"

namespace ovcrash {

namespace {

mach_exception_port_set gPreviousPorts;

template <typename T>
T read_at(const uint8_t* p) {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// "<text>0x<hex>\n" on standard error, without stdio.
void print_error(const char* text, uint32_t value) {
    char line[96];
    size_t n = 0;
    for (; text[n] && n < 64; ++n) line[n] = text[n];
    line[n++] = '0';
    line[n++] = 'x';
    for (int shift = 28; shift >= 0; shift -= 4) line[n++] = "0123456789abcdef"[(value >> shift) & 0xf];
    line[n++] = '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line, n);
    (void)ignored;
}

void pause_ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1'000'000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void finish(mach_exception_server_context* ctx) {
    pthread_mutex_lock(&ctx->lock);
    ctx->done = 1;
    pthread_cond_broadcast(&ctx->condition);
    pthread_mutex_unlock(&ctx->lock);
}

// What the crash callback hands to the writer through the state capture.
struct mach_write {
    crash_time_record* record;
    ps::thread_t thread;
    const crash_signal_info* siginfo;
};

async_error write_from_server(thread_state* state, void* context) {
    auto* w = static_cast<mach_write*>(context);
    return write_crash_report_file(&w->record->writer, w->record->report_folder, w->record->report_name, w->thread,
                                   w->record->images, state, w->siginfo);
}

int linux_signal(int32_t platform_signo) {
    switch (platform_signo) {
    case PLATFORM_SIGSEGV: return SIGSEGV;
    case PLATFORM_SIGBUS: return SIGBUS;
    case PLATFORM_SIGILL: return SIGILL;
    case PLATFORM_SIGFPE: return SIGFPE;
    case PLATFORM_SIGTRAP: return SIGTRAP;
    case PLATFORM_SIGSYS: return SIGSYS;
    case PLATFORM_SIGPIPE: return SIGPIPE;
    case 9: return SIGKILL;
    default: return SIGABRT;
    }
}

// The all-zero register block handed to the post-crash callback.
ucontext_t gZeroContext;

}  // namespace

void* mach_exception_server_loop(void* context) {
    auto* ctx = static_cast<mach_exception_server_context*>(context);
    pthread_mutex_lock(&ctx->lock);
    ctx->server_thread = async_thread_self();
    pthread_cond_broadcast(&ctx->condition);
    pthread_mutex_unlock(&ctx->lock);

    const ps::vm_size_t page = ps::vm_page_size();
    ps::vm_size_t size = (MACH_EXCEPTION_REQUEST_MIN + page - 1) & ~(page - 1);
    ps::vm_address_t buffer = 0;
    ps::kern_return_t kr = ps::vm_allocate(ps::mach_task_self(), &buffer, size, ps::VM_FLAGS_ANYWHERE);
    if (kr != ps::KERN_SUCCESS) {
        print_error("Unexpected error in vm_allocate(): ", uint32_t(kr));
        finish(ctx);
        return nullptr;
    }
    // Receive errors back off (bounded) instead of spinning.
    long backoff_ms = 0;
    for (;;) {
        auto* request = reinterpret_cast<ps::mach_msg_header_t*>(buffer);
        ps::mach_msg_return_t mr =
            ps::mach_msg(request, ps::MACH_RCV_MSG | ps::MACH_RCV_LARGE, 0, ps::mach_msg_size_t(size), ctx->port_set,
                         ps::MACH_MSG_TIMEOUT_NONE, ps::MACH_PORT_NULL);
        if (mr == ps::MACH_RCV_TOO_LARGE) {
            ps::vm_size_t needed = (ps::vm_size_t(request->msgh_size) + page - 1) & ~(page - 1);
            ps::vm_deallocate(ps::mach_task_self(), buffer, size);
            buffer = 0;
            kr = ps::vm_allocate(ps::mach_task_self(), &buffer, needed, ps::VM_FLAGS_ANYWHERE);
            if (kr != ps::KERN_SUCCESS) {
                print_error("Unexpected error in vm_allocate(): ", uint32_t(kr));
                finish(ctx);
                return nullptr;
            }
            size = needed;
            continue;
        }
        if (mr == ps::MACH_RCV_INVALID_NAME || mr == ps::MACH_RCV_PORT_DIED) {
            // The port set is gone: nothing can arrive any more.
            print_error("Unexpected error in mach_msg(): ", uint32_t(mr));
            break;
        }
        if (mr != ps::MACH_MSG_SUCCESS) {
            backoff_ms = backoff_ms == 0 ? 1 : (backoff_ms * 2 > 100 ? 100 : backoff_ms * 2);
            pause_ms(backoff_ms);
            continue;
        }
        backoff_ms = 0;

        if (request->msgh_local_port == ctx->notify_port) {
            if (request->msgh_id == ps::MACH_NOTIFY_NO_SENDERS) continue;
            if (request->msgh_id == MACH_EXCEPTION_SERVER_STOP_ID && ctx->shutdown.load()) break;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(request);
        // The request's code count is not trusted: at most two words, all of
        // them inside the message.
        const uint32_t code_count = request->msgh_size >= 68 ? read_at<uint32_t>(bytes + 64) : 0;
        if (request->msgh_size < MACH_EXCEPTION_REQUEST_MIN || code_count > 2 ||
            request->msgh_size < 68 + code_count * 8) {
            mach_exception_reply(request, ps::KERN_FAILURE);
            continue;
        }
        ps::mach_exception_data_type_t codes[2] = {};
        __builtin_memcpy(codes, bytes + 68, code_count * 8);
        ps::kern_return_t result = ctx->callback(read_at<uint32_t>(bytes + 40), read_at<uint32_t>(bytes + 28),
                                                 read_at<int32_t>(bytes + 60), codes, code_count, ctx->context);
        mach_exception_reply(request, result);
    }
    ps::vm_deallocate(ps::mach_task_self(), buffer, size);
    finish(ctx);
    return nullptr;
}

ps::mach_msg_return_t mach_exception_reply(const ps::mach_msg_header_t* request, ps::kern_return_t result) {
    struct {
        ps::mach_msg_header_t header;
        ps::NDR_record_t ndr;
        ps::kern_return_t ret_code;
    } reply{};
    static_assert(sizeof reply == 36);
    reply.header.msgh_bits = ps::MACH_MSGH_BITS(ps::MACH_MSGH_BITS_REMOTE(request->msgh_bits), 0);
    reply.header.msgh_size = sizeof reply;
    reply.header.msgh_remote_port = request->msgh_remote_port;
    reply.header.msgh_local_port = ps::MACH_PORT_NULL;
    reply.header.msgh_id = request->msgh_id + 100;
    reply.ndr = ps::NDR_record;
    reply.ret_code = result;
    return ps::mach_msg(&reply.header, ps::MACH_SEND_MSG | ps::MACH_SEND_TIMEOUT, sizeof reply, 0, ps::MACH_PORT_NULL,
                        0, ps::MACH_PORT_NULL);
}

ps::kern_return_t mach_exception_forward(ps::task_t task, ps::thread_t thread, ps::exception_type_t type,
                                         const ps::mach_exception_data_type_t* code,
                                         ps::mach_msg_type_number_t code_count, const mach_exception_port_set* set) {
    if (!set || type < 0 || type >= int32_t(MACH_EXCEPTION_TYPES_COUNT) || code_count > 2) return ps::KERN_FAILURE;
    const uint32_t bit = 1u << type;
    const uint32_t count = set->count < MACH_EXCEPTION_TYPES_COUNT ? set->count : MACH_EXCEPTION_TYPES_COUNT;
    uint32_t i = 0;
    for (; i < count; ++i)
        if (set->ports[i] != ps::MACH_PORT_NULL && set->ports[i] != ps::MACH_PORT_DEAD && (set->masks[i] & bit)) break;
    if (i == count) return ps::KERN_FAILURE;

    ps::exception_data_type_t codes[2] = {};
    for (uint32_t c = 0; c < code_count; ++c) codes[c] = static_cast<ps::exception_data_type_t>(code[c]);
    const uint32_t behavior = set->behaviors[i];
    if (behavior & uint32_t(ps::MACH_EXCEPTION_CODES)) return ps::KERN_FAILURE;
    const auto base = static_cast<ps::exception_behavior_t>(behavior);
    if (base == ps::EXCEPTION_DEFAULT) return ps::exception_raise(set->ports[i], thread, task, type, codes, code_count);
    if (base != ps::EXCEPTION_STATE && base != ps::EXCEPTION_STATE_IDENTITY) return ps::KERN_FAILURE;

    ps::natural_t state[ps::THREAD_STATE_MAX];
    ps::mach_msg_type_number_t state_count = ps::THREAD_STATE_MAX;
    auto flavor = static_cast<ps::thread_state_flavor_t>(set->flavors[i]);
    ps::kern_return_t kr = ps::thread_get_state(thread, flavor, state, &state_count);
    if (kr != ps::KERN_SUCCESS) return kr;
    ps::natural_t new_state[ps::THREAD_STATE_MAX];
    ps::mach_msg_type_number_t new_count = ps::THREAD_STATE_MAX;
    if (base == ps::EXCEPTION_STATE)
        return ps::exception_raise_state(set->ports[i], type, codes, code_count, &flavor, state, state_count, new_state,
                                         &new_count);
    return ps::exception_raise_state_identity(set->ports[i], thread, task, type, codes, code_count, &flavor, state,
                                              state_count, new_state, &new_count);
}

bool mach_exception_signal_map(ps::exception_type_t type, const ps::mach_exception_data_type_t* code,
                               ps::mach_msg_type_number_t code_count, int32_t* signo, int32_t* si_code,
                               uint64_t* address) {
    if (code_count < 2) return false;
    int32_t s = 0, c = 0;
    switch (type) {
    case ps::EXC_BAD_ACCESS:
        if (code[0] == ps::KERN_INVALID_ADDRESS)
            s = PLATFORM_SIGSEGV, c = 1;  // SEGV_MAPERR
        else
            s = PLATFORM_SIGBUS, c = 2;  // BUS_ADRERR
        break;
    case ps::EXC_BAD_INSTRUCTION: s = PLATFORM_SIGILL; break;
    case ps::EXC_ARITHMETIC: s = PLATFORM_SIGFPE; break;
    case ps::EXC_EMULATION:
        s = 7;  // SIGEMT
        break;
    case ps::EXC_SOFTWARE:
        s = code[0] == 0x10000   ? PLATFORM_SIGSYS
            : code[0] == 0x10001 ? PLATFORM_SIGPIPE
            : code[0] == 0x10003 ? 9
                                 : PLATFORM_SIGABRT;
        break;
    case ps::EXC_BREAKPOINT: s = PLATFORM_SIGTRAP, c = PLATFORM_TRAP_BRKPT; break;
    case ps::EXC_GUARD:
        s = 9;  // SIGKILL
        break;
    default: return false;
    }
    *signo = s;
    *si_code = c;
    *address = static_cast<uint64_t>(code[1]);
    return true;
}

ps::kern_return_t mach_exception_crash_callback(ps::task_t task, ps::thread_t thread, ps::exception_type_t type,
                                                const ps::mach_exception_data_type_t* code,
                                                ps::mach_msg_type_number_t code_count, void* context) {
    crash_time_hold hold(static_cast<crash_time_context*>(context), true);
    crash_time_record* record = hold.record();
    if (!record) return ps::KERN_FAILURE;
    if (mach_exception_forward(task, thread, type, code, code_count, &gPreviousPorts) == ps::KERN_SUCCESS)
        return ps::KERN_SUCCESS;

    crash_signal_info siginfo{};
    if (!mach_exception_signal_map(type, code, code_count, &siginfo.bsd.signo, &siginfo.bsd.code, &siginfo.bsd.address))
        return ps::KERN_FAILURE;
    // Another thread writes a report already: its end ends the process.
    if (!crash_reporter_claim_mach_write()) return ps::KERN_FAILURE;
    crash_signal_info::mach_info mach{type, reinterpret_cast<const uint64_t*>(code), code_count};
    siginfo.mach = &mach;
    mach_write write{record, thread, &siginfo};
    async_error result = thread_state_current_capture(write_from_server, &write);
    // Whatever the write gave, the failure answered below ends the process
    // with the exception's signal, not with another report.
    crash_reporter_reset_fatal_signals();

    const OVCrashReporterCallbacks* callbacks = crash_reporter_callbacks();
    if (result == ASYNC_ESUCCESS && callbacks && callbacks->handleSignal) {
        siginfo_t info{};
        info.si_signo = linux_signal(siginfo.bsd.signo);
        info.si_code = siginfo.bsd.code;
        info.si_addr = reinterpret_cast<void*>(siginfo.bsd.address);
        callbacks->handleSignal(&info, &gZeroContext, callbacks->context);
    }
    return ps::KERN_FAILURE;
}

void mach_exception_set_previous_ports(const mach_exception_port_set* set) {
    gPreviousPorts = set ? *set : mach_exception_port_set{};
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

ps::exception_mask_t mach_exception_reporter_mask(bool host_known, intptr_t darwin_major) {
    ps::exception_mask_t mask = ps::EXC_MASK_BAD_ACCESS | ps::EXC_MASK_BAD_INSTRUCTION | ps::EXC_MASK_ARITHMETIC |
                                ps::EXC_MASK_SOFTWARE | ps::EXC_MASK_BREAKPOINT;
    if (host_known && darwin_major >= 13) mask |= ps::EXC_MASK_GUARD;
    return mask;
}

}  // namespace ovcrash
