#pragma once
// The process-wide registry of the crash reporter's POSIX signal handlers.
// One shared action, run on an alternate signal stack, is installed per
// signal asked for; it hands every delivered signal to a list of callbacks
// (newest first) that may pass it on down the list. The actions installed
// before are kept and called by the last callbacks of the list. A signal no
// callback handles is raised again with the previous (or the default) action
// in place, so that it ends the process the usual way.
//
// Delivery (signal_dispatch and the callbacks it walks) is crash-time code:
// no allocation, no lock, only async-signal-safe calls. Registration is not.
#include <csignal>
#include <cstddef>

namespace ovcrash {

// The rest of the callback list, handed to a callback that wants to pass the
// signal on: call callback(signo, info, uap, context).
struct signal_handler_next {
    bool (*callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context);
    void* context;
};

// A callback of the list: true when it handled the signal. next is null for
// the last entry.
using signal_handler_callback_func = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                              const signal_handler_next* next);

// Why a registration failed: the message and the POSIX error number.
struct signal_handler_failure {
    const char* description = nullptr;
    int posix_error = 0;
};

// The shared action itself.
void signal_dispatch(int signo, siginfo_t* info, void* uap);

// Whether a signal stems from a fault of the instruction that took it, so
// that returning from its handler would run that instruction again.
bool signal_is_hardware_fault(int signo, const siginfo_t* info);

}  // namespace ovcrash

class PKROVCrashSignalHandler {
public:
    static constexpr size_t kAlternateStackSize = 65536;

    // Null only when the alternate stack could not be allocated.
    static PKROVCrashSignalHandler* sharedHandler();

    // Empties both lists; the installed actions stay, so signals delivered
    // afterwards are raised again.
    static void resetHandlers();

    // Installs the shared action for signo (once) on the alternate stack and
    // puts {callback, context} at the head of the callback list. False, with
    // the reason in failure, when the stack or the action cannot be installed.
    bool registerHandlerForSignal(int signo, ovcrash::signal_handler_callback_func callback, void* context,
                                  ovcrash::signal_handler_failure* failure);

private:
    PKROVCrashSignalHandler() = default;
    bool registerHandlerWithSignal(int signo, ovcrash::signal_handler_failure* failure);

    stack_t sigstk_{};
};
