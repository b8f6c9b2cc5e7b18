#pragma once
// The Mach exception server of the reporter's Mach mode and the objects
// around it: the server owns a receive port, a notification port and a port
// set, served by a detached thread that hands each exception to a callback
// and sends its answer (MachExceptionCallbacks.h); an exception port
// describes one registration (port, mask, behaviour, flavour) and registers
// itself for a task or a thread; a port set keeps the registrations that were
// in place before, also in the fixed layout crash-time code reads. Not for
// crash time.
#include <memory>
#include <vector>

#include "crash/capture/handler/MachExceptionCallbacks.h"
#include "platform/foundation/Error.h"

class PKROVCrashMachExceptionPortSet;

// One registration. Holds one send-right reference of its port while it lives.
class PKROVCrashMachExceptionPort {
public:
    PKROVCrashMachExceptionPort(platform::system::mach_port_t port, platform::system::exception_mask_t mask,
                                platform::system::exception_behavior_t behavior,
                                platform::system::thread_state_flavor_t flavor);
    ~PKROVCrashMachExceptionPort();
    PKROVCrashMachExceptionPort(const PKROVCrashMachExceptionPort&) = delete;
    PKROVCrashMachExceptionPort& operator=(const PKROVCrashMachExceptionPort&) = delete;

    // The registrations currently in place for the types of mask; null with
    // "Failed to fetch mach exception ports" on failure.
    static std::shared_ptr<PKROVCrashMachExceptionPortSet> exceptionPortsForTask(
        platform::system::task_t task, platform::system::exception_mask_t mask, platform::foundation::Error* error);
    static std::shared_ptr<PKROVCrashMachExceptionPortSet> exceptionPortsForThread(
        platform::system::thread_t thread, platform::system::exception_mask_t mask, platform::foundation::Error* error);

    // Swaps this registration in; the ones it replaced go to *previous when
    // asked for. False with "Failed to swap mach exception ports" on failure.
    bool registerForTask(platform::system::task_t task, std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous,
                         platform::foundation::Error* error);
    bool registerForThread(platform::system::thread_t thread, std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous,
                           platform::foundation::Error* error);

    platform::system::mach_port_t server_port() const { return port_; }
    platform::system::exception_mask_t mask() const { return mask_; }
    platform::system::exception_behavior_t behavior() const { return behavior_; }
    platform::system::thread_state_flavor_t flavor() const { return flavor_; }

private:
    platform::system::mach_port_t port_;
    platform::system::exception_mask_t mask_;
    platform::system::exception_behavior_t behavior_;
    platform::system::thread_state_flavor_t flavor_;
};

// The registrations in place before the reporter's. More than
// EXC_TYPES_COUNT entries are a programming error.
class PKROVCrashMachExceptionPortSet {
public:
    using Port = std::shared_ptr<PKROVCrashMachExceptionPort>;

    explicit PKROVCrashMachExceptionPortSet(std::vector<Port> set);
    // One port object per entry; then drops the send-right reference of each
    // entry that the kernel call that filled the layout had given.
    explicit PKROVCrashMachExceptionPortSet(const ovcrash::mach_exception_port_set& representation);

    ovcrash::mach_exception_port_set asyncSafeRepresentation() const { return asyncSafeRepresentation_; }
    const std::vector<Port>& set() const { return set_; }
    std::vector<Port>::const_iterator begin() const { return set_.begin(); }
    std::vector<Port>::const_iterator end() const { return set_.end(); }

private:
    std::vector<Port> set_;
    ovcrash::mach_exception_port_set asyncSafeRepresentation_{};
};

class PKROVCrashMachExceptionServer {
public:
    // Starts the server and its thread; null with the step that failed.
    static std::shared_ptr<PKROVCrashMachExceptionServer> initWithCallBack(ovcrash::mach_exception_callback callback,
                                                                           void* context,
                                                                           platform::foundation::Error* error);
    // Stops the thread: bounded, and when the thread cannot be stopped the
    // ports and the context are left to it rather than freed under it.
    ~PKROVCrashMachExceptionServer();
    PKROVCrashMachExceptionServer(const PKROVCrashMachExceptionServer&) = delete;
    PKROVCrashMachExceptionServer& operator=(const PKROVCrashMachExceptionServer&) = delete;

    // A registration of the server port for mask with EXCEPTION_DEFAULT,
    // MACH_EXCEPTION_CODES and flavour 1; null when no send right was made.
    std::shared_ptr<PKROVCrashMachExceptionPort> exceptionPortWithMask(platform::system::exception_mask_t mask,
                                                                       platform::foundation::Error* error);
    // A new send right to the server port; MACH_PORT_NULL with "Failed to
    // insert Mach send right" on failure.
    platform::system::mach_port_t copySendRightForServer(platform::foundation::Error* error);
    platform::system::thread_t serverThread();
    // The ports and flags the server thread works with; null once stopped.
    const ovcrash::mach_exception_server_context* serverContext() const { return serverContext_; }

    // Asks the thread to end and waits for it at most timeoutMs; on success
    // the ports and the context are released. False when the stop message
    // could not be sent or the thread did not end in time (then everything
    // is left to the thread). Later calls do nothing.
    bool stop(int timeoutMs);

private:
    PKROVCrashMachExceptionServer() = default;

    ovcrash::mach_exception_server_context* serverContext_ = nullptr;
    bool stopped_ = false;
};

// The reporter's Mach mode: the mask by the host's Darwin version, a server
// with callback and context, its port registered for the current task; the
// task's previous registrations go to *previous. Null with code 1 and the
// step's message on failure.
std::shared_ptr<PKROVCrashMachExceptionServer> PKROVCrashEnableMachExceptionServer(
    std::shared_ptr<PKROVCrashMachExceptionPortSet>* previous, ovcrash::mach_exception_callback callback, void* context,
    platform::foundation::Error* error);
