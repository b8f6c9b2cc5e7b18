#include "crash/capture/handler/PKROVCrashMachExceptionServer.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "crash/capture/info/PKROVCrashHostInfo.h"
#include "crash/capture/info/ReporterError.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Log.h"

namespace ps = platform::system;
using platform::foundation::Error;

namespace {

// The flavour the reporter asks for; its behaviour carries no state, so the
// flavour is never read.
constexpr ps::thread_state_flavor_t kReporterFlavor = 1;
constexpr ps::exception_behavior_t kReporterBehavior = ps::EXCEPTION_DEFAULT | ps::MACH_EXCEPTION_CODES;
constexpr int kStopTimeoutMs = 5000;

bool validPort(ps::mach_port_t port) { return port != ps::MACH_PORT_NULL && port != ps::MACH_PORT_DEAD; }

ovcrash::mach_exception_port_set emptyRepresentation() { return ovcrash::mach_exception_port_set{}; }

timespec deadlineIn(int ms) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += long(ms % 1000) * 1'000'000;
    if (ts.tv_nsec >= 1'000'000'000) ts.tv_sec += 1, ts.tv_nsec -= 1'000'000'000;
    return ts;
}

}  // namespace

// ---- Exception port ----

PKROVCrashMachExceptionPort::PKROVCrashMachExceptionPort(ps::mach_port_t port, ps::exception_mask_t mask,
                                                         ps::exception_behavior_t behavior,
                                                         ps::thread_state_flavor_t flavor)
    : port_(port), mask_(mask), behavior_(behavior), flavor_(flavor) {
    if (!validPort(port_)) return;
    ps::kern_return_t kr = ps::mach_port_mod_refs(ps::mach_task_self(), port_, ps::MACH_PORT_RIGHT_SEND, 1);
    if (kr != ps::KERN_SUCCESS) platform::foundation::logf("Unexpected error incrementing mach port reference: %d", kr);
}

PKROVCrashMachExceptionPort::~PKROVCrashMachExceptionPort() {
    if (!validPort(port_)) return;
    ps::kern_return_t kr = ps::mach_port_mod_refs(ps::mach_task_self(), port_, ps::MACH_PORT_RIGHT_SEND, -1);
    if (kr != ps::KERN_SUCCESS) platform::foundation::logf("Unexpected error decrementing mach port reference: %d", kr);
}

namespace {

std::shared_ptr<PKROVCrashMachExceptionPortSet> portsFor(bool task, ps::mach_port_t target, ps::exception_mask_t mask,
                                                         Error* error) {
    ovcrash::mach_exception_port_set repr = emptyRepresentation();
    repr.count = ovcrash::MACH_EXCEPTION_TYPES_COUNT;
    auto* behaviors = reinterpret_cast<ps::exception_behavior_t*>(repr.behaviors);
    auto* flavors = reinterpret_cast<ps::thread_state_flavor_t*>(repr.flavors);
    ps::kern_return_t kr =
        task ? ps::task_get_exception_ports(target, mask, repr.masks, &repr.count, repr.ports, behaviors, flavors)
             : ps::thread_get_exception_ports(target, mask, repr.masks, &repr.count, repr.ports, behaviors, flavors);
    if (kr != ps::KERN_SUCCESS) {
        ovcrash::reporter_error_populate_mach(error, kr, "Failed to fetch mach exception ports");
        return nullptr;
    }
    return std::make_shared<PKROVCrashMachExceptionPortSet>(repr);
}

}  // namespace

std::shared_ptr<PKROVCrashMachExceptionPortSet> PKROVCrashMachExceptionPort::exceptionPortsForTask(
    ps::task_t task, ps::exception_mask_t mask, Error* error) {
    return portsFor(true, task, mask, error);
}

std::shared_ptr<PKROVCrashMachExceptionPortSet> PKROVCrashMachExceptionPort::exceptionPortsForThread(
    ps::thread_t thread, ps::exception_mask_t mask, Error* error) {
    return portsFor(false, thread, mask, error);
}

namespace {

bool swapFor(bool task, ps::mach_port_t target, const PKROVCrashMachExceptionPort& port,
             std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous, Error* error) {
    ovcrash::mach_exception_port_set repr = emptyRepresentation();
    repr.count = ovcrash::MACH_EXCEPTION_TYPES_COUNT;
    auto* behaviors = reinterpret_cast<ps::exception_behavior_t*>(repr.behaviors);
    auto* flavors = reinterpret_cast<ps::thread_state_flavor_t*>(repr.flavors);
    ps::kern_return_t kr =
        task ? ps::task_swap_exception_ports(target, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                                             repr.masks, &repr.count, repr.ports, behaviors, flavors)
             : ps::thread_swap_exception_ports(target, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                                               repr.masks, &repr.count, repr.ports, behaviors, flavors);
    if (kr != ps::KERN_SUCCESS) {
        ovcrash::reporter_error_populate_mach(error, kr, "Failed to swap mach exception ports");
        return false;
    }
    // Made in any case: it gives back the references the swap handed out.
    auto set = std::make_shared<PKROVCrashMachExceptionPortSet>(repr);
    if (previous) *previous = std::move(set);
    return true;
}

}  // namespace

bool PKROVCrashMachExceptionPort::registerForTask(ps::task_t task,
                                                  std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous,
                                                  Error* error) {
    return swapFor(true, task, *this, previous, error);
}

bool PKROVCrashMachExceptionPort::registerForThread(ps::thread_t thread,
                                                    std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous,
                                                    Error* error) {
    return swapFor(false, thread, *this, previous, error);
}

// ---- Port set ----

PKROVCrashMachExceptionPortSet::PKROVCrashMachExceptionPortSet(std::vector<Port> set) : set_(std::move(set)) {
    if (set_.size() > ovcrash::MACH_EXCEPTION_TYPES_COUNT)
        platform::foundation::Exception::raise("NSInternalInconsistencyException",
                                               "Set size of " + std::to_string(set_.size()) +
                                                   " exceeds EXC_TYPES_COUNT (" +
                                                   std::to_string(ovcrash::MACH_EXCEPTION_TYPES_COUNT) + ")");
    asyncSafeRepresentation_.count = uint32_t(set_.size());
    for (size_t i = 0; i < set_.size(); ++i) {
        asyncSafeRepresentation_.masks[i] = set_[i]->mask();
        asyncSafeRepresentation_.ports[i] = set_[i]->server_port();
        asyncSafeRepresentation_.behaviors[i] = uint32_t(set_[i]->behavior());
        asyncSafeRepresentation_.flavors[i] = uint32_t(set_[i]->flavor());
    }
}

PKROVCrashMachExceptionPortSet::PKROVCrashMachExceptionPortSet(const ovcrash::mach_exception_port_set& representation)
    : asyncSafeRepresentation_(representation) {
    if (representation.count > ovcrash::MACH_EXCEPTION_TYPES_COUNT)
        platform::foundation::Exception::raise("NSInternalInconsistencyException",
                                               "Count of " + std::to_string(representation.count) +
                                                   " exceeds EXC_TYPES_COUNT (" +
                                                   std::to_string(ovcrash::MACH_EXCEPTION_TYPES_COUNT) + ")");
    for (uint32_t i = 0; i < representation.count; ++i) {
        set_.push_back(std::make_shared<PKROVCrashMachExceptionPort>(
            representation.ports[i], representation.masks[i],
            static_cast<ps::exception_behavior_t>(representation.behaviors[i]),
            static_cast<ps::thread_state_flavor_t>(representation.flavors[i])));
        if (!validPort(representation.ports[i])) continue;
        ps::kern_return_t kr = ps::mach_port_deallocate(ps::mach_task_self(), representation.ports[i]);
        if (kr != ps::KERN_SUCCESS)
            platform::foundation::logf("Unexpected error decrementing mach port reference: %d", kr);
    }
}

// ---- Server ----

std::shared_ptr<PKROVCrashMachExceptionServer> PKROVCrashMachExceptionServer::initWithCallBack(
    ovcrash::mach_exception_callback callback, void* context, Error* error) {
    auto* ctx =
        static_cast<ovcrash::mach_exception_server_context*>(calloc(1, sizeof(ovcrash::mach_exception_server_context)));
    if (!ctx) {
        ovcrash::reporter_error_populate_posix(error, ENOMEM, "Failed to allocate the exception server's context");
        return nullptr;
    }
    ctx->callback = callback;
    ctx->context = context;
    bool haveLock = false, haveCondition = false;
    const ps::task_t task = ps::mach_task_self();
    auto fail = [&](ps::kern_return_t kr, bool posix,
                    const char* message) -> std::shared_ptr<PKROVCrashMachExceptionServer> {
        if (posix)
            ovcrash::reporter_error_populate_posix(error, kr, message);
        else
            ovcrash::reporter_error_populate_mach(error, kr, message);
        if (ctx->port_set) ps::mach_port_mod_refs(task, ctx->port_set, ps::MACH_PORT_RIGHT_PORT_SET, -1);
        if (ctx->notify_port) {
            ps::mach_port_mod_refs(task, ctx->notify_port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
            ps::mach_port_deallocate(task, ctx->notify_port);  // the send right, dead by now
        }
        if (ctx->server_port) ps::mach_port_mod_refs(task, ctx->server_port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
        if (haveCondition) pthread_cond_destroy(&ctx->condition);
        if (haveLock) pthread_mutex_destroy(&ctx->lock);
        free(ctx);
        return nullptr;
    };

    int err = pthread_mutex_init(&ctx->lock, nullptr);
    if (err != 0) return fail(err, true, "Mutex initialization failed");
    haveLock = true;
    err = pthread_cond_init(&ctx->condition, nullptr);
    if (err != 0) return fail(err, true, "Condition initialization failed");
    haveCondition = true;

    ps::kern_return_t kr = ps::mach_port_allocate(task, ps::MACH_PORT_RIGHT_RECEIVE, &ctx->server_port);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to allocate exception server's port");
    kr = ps::mach_port_allocate(task, ps::MACH_PORT_RIGHT_RECEIVE, &ctx->notify_port);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to allocate exception server's port");
    kr = ps::mach_port_insert_right(task, ctx->notify_port, ctx->notify_port, ps::MACH_MSG_TYPE_MAKE_SEND);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to add send right to exception server's port");
    ps::mach_port_t previous = ps::MACH_PORT_NULL;
    kr = ps::mach_port_request_notification(task, ctx->server_port, ps::MACH_NOTIFY_NO_SENDERS, 1, ctx->notify_port,
                                            ps::MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous);
    if (kr != ps::KERN_SUCCESS)
        return fail(kr, false, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port");
    kr = ps::mach_port_allocate(task, ps::MACH_PORT_RIGHT_PORT_SET, &ctx->port_set);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to allocate exception server's port set");
    kr = ps::mach_port_move_member(task, ctx->server_port, ctx->port_set);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to add exception server port to port set");
    kr = ps::mach_port_move_member(task, ctx->notify_port, ctx->port_set);
    if (kr != ps::KERN_SUCCESS) return fail(kr, false, "Failed to add exception server notify port to port set");

    pthread_attr_t attr;
    err = pthread_attr_init(&attr);
    if (err != 0) return fail(err, true, "Failed to initialize pthread_attr");
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    err = pthread_create(&thread, &attr, ovcrash::mach_exception_server_loop, ctx);
    pthread_attr_destroy(&attr);
    if (err != 0) return fail(err, true, "Failed to create exception server thread");

    // The thread names itself first thing; wait (bounded) for its port.
    pthread_mutex_lock(&ctx->lock);
    timespec until = deadlineIn(kStopTimeoutMs);
    while (ctx->server_thread == 0 && !ctx->done)
        if (pthread_cond_timedwait(&ctx->condition, &ctx->lock, &until) == ETIMEDOUT) break;
    pthread_mutex_unlock(&ctx->lock);

    std::shared_ptr<PKROVCrashMachExceptionServer> server(new PKROVCrashMachExceptionServer());
    server->serverContext_ = ctx;
    return server;
}

PKROVCrashMachExceptionServer::~PKROVCrashMachExceptionServer() { stop(kStopTimeoutMs); }

bool PKROVCrashMachExceptionServer::stop(int timeoutMs) {
    if (stopped_ || !serverContext_) return stopped_;
    ovcrash::mach_exception_server_context* ctx = serverContext_;
    uint32_t expected = 0;
    ctx->shutdown.compare_exchange_strong(expected, 1);

    ps::mach_msg_header_t message{ps::MACH_MSGH_BITS(ps::MACH_MSG_TYPE_COPY_SEND, 0),
                                  sizeof(ps::mach_msg_header_t),
                                  ctx->notify_port,
                                  ps::MACH_PORT_NULL,
                                  0,
                                  ovcrash::MACH_EXCEPTION_SERVER_STOP_ID};
    ps::mach_msg_return_t mr = ps::mach_msg(&message, ps::MACH_SEND_MSG | ps::MACH_SEND_TIMEOUT, sizeof message, 0,
                                            ps::MACH_PORT_NULL, ps::mach_msg_timeout_t(timeoutMs), ps::MACH_PORT_NULL);
    if (mr != ps::MACH_MSG_SUCCESS) {
        platform::foundation::logf("Unexpected error sending termination message to background thread: %d", mr);
        return false;
    }
    pthread_mutex_lock(&ctx->lock);
    timespec until = deadlineIn(timeoutMs);
    while (!ctx->done)
        if (pthread_cond_timedwait(&ctx->condition, &ctx->lock, &until) == ETIMEDOUT) break;
    const bool done = ctx->done != 0;
    pthread_mutex_unlock(&ctx->lock);
    if (!done) {
        platform::foundation::logf("Exception server thread did not stop within %d ms", timeoutMs);
        return false;
    }
    const ps::task_t task = ps::mach_task_self();
    ps::mach_port_mod_refs(task, ctx->server_port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
    ps::mach_port_mod_refs(task, ctx->notify_port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
    ps::mach_port_deallocate(task, ctx->notify_port);  // the send right, a dead name by now
    ps::mach_port_mod_refs(task, ctx->port_set, ps::MACH_PORT_RIGHT_PORT_SET, -1);
    pthread_cond_destroy(&ctx->condition);
    pthread_mutex_destroy(&ctx->lock);
    free(ctx);
    serverContext_ = nullptr;
    stopped_ = true;
    return true;
}

ps::mach_port_t PKROVCrashMachExceptionServer::copySendRightForServer(Error* error) {
    if (!serverContext_) {
        ovcrash::reporter_error_populate_mach(error, ps::KERN_INVALID_ARGUMENT, "Failed to insert Mach send right");
        return ps::MACH_PORT_NULL;
    }
    pthread_mutex_lock(&serverContext_->lock);
    ps::mach_port_t port = serverContext_->server_port;
    ps::kern_return_t kr = ps::mach_port_insert_right(ps::mach_task_self(), port, port, ps::MACH_MSG_TYPE_MAKE_SEND);
    pthread_mutex_unlock(&serverContext_->lock);
    if (kr != ps::KERN_SUCCESS) {
        ovcrash::reporter_error_populate_mach(error, kr, "Failed to insert Mach send right");
        return ps::MACH_PORT_NULL;
    }
    return port;
}

std::shared_ptr<PKROVCrashMachExceptionPort> PKROVCrashMachExceptionServer::exceptionPortWithMask(
    ps::exception_mask_t mask, Error* error) {
    ps::mach_port_t port = copySendRightForServer(error);
    if (port == ps::MACH_PORT_NULL) return nullptr;
    auto result = std::make_shared<PKROVCrashMachExceptionPort>(port, mask, kReporterBehavior, kReporterFlavor);
    ps::kern_return_t kr = ps::mach_port_deallocate(ps::mach_task_self(), port);
    if (kr != ps::KERN_SUCCESS) platform::foundation::logf("Unexpected error decrementing mach port reference: %d", kr);
    return result;
}

ps::thread_t PKROVCrashMachExceptionServer::serverThread() {
    if (!serverContext_)
        platform::foundation::Exception::raise("NSInternalInconsistencyException", "No handler registered!");
    pthread_mutex_lock(&serverContext_->lock);
    ps::thread_t thread = serverContext_->server_thread;
    pthread_mutex_unlock(&serverContext_->lock);
    return thread;
}

std::shared_ptr<PKROVCrashMachExceptionServer> PKROVCrashEnableMachExceptionServer(
    std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous, ovcrash::mach_exception_callback callback, void* context,
    Error* error) {
    auto host = PKROVCrashHostInfo::currentHostInfo();
    const ps::exception_mask_t mask =
        ovcrash::mach_exception_reporter_mask(host && host->valid(), host ? host->darwinVersion().major : 0);
    Error serverError;
    auto server = PKROVCrashMachExceptionServer::initWithCallBack(callback, context, &serverError);
    if (!server) {
        ovcrash::reporter_error_populate(error, OVCrashReporterErrorOperatingSystem,
                                         "Failed to instantiate the Mach exception server.", &serverError);
        return nullptr;
    }
    Error portError;
    auto port = server->exceptionPortWithMask(mask, &portError);
    if (!port) {
        ovcrash::reporter_error_populate(error, OVCrashReporterErrorOperatingSystem,
                                         "Failed to instantiate the Mach exception port.", &portError);
        return nullptr;
    }
    Error registerError;
    if (!port->registerForTask(ps::mach_task_self(), previous, &registerError)) {
        ovcrash::reporter_error_populate(error, OVCrashReporterErrorOperatingSystem,
                                         "Failed to set the target task's mach exception ports.", &registerError);
        return nullptr;
    }
    return server;
}
