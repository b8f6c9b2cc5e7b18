// Delivery is crash-time code: no allocation, no lock, only
// async-signal-safe calls (sigaction, raise). Registration runs outside
// crash time and serialises on a mutex.
#include "crash/capture/handler/PKROVCrashSignalHandler.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "crash/capture/async/AsyncList.h"

namespace ovcrash {

namespace {

struct callback_entry {
    signal_handler_callback_func callback;
    void* context;
};

struct previous_action_entry {
    int signo;
    struct sigaction action;
};

using callback_list = async_list<callback_entry>;
using previous_list = async_list<previous_action_entry>;

// Never destroyed: a signal may arrive while the process runs its exit.
callback_list* const gCallbacks = new callback_list();
previous_list* const gPrevious = new previous_list();
std::mutex gRegistrationLock;

bool call_entry(callback_list::node* entry, int signo, siginfo_t* info, ucontext_t* uap);

bool continue_walk(int signo, siginfo_t* info, ucontext_t* uap, void* context) {
    return call_entry(static_cast<callback_list::node*>(context), signo, info, uap);
}

bool call_entry(callback_list::node* entry, int signo, siginfo_t* info, ucontext_t* uap) {
    callback_list::node* after = gCallbacks->next(entry);
    signal_handler_next next{continue_walk, after};
    return entry->value.callback(signo, info, uap, entry->value.context, after ? &next : nullptr);
}

// The action saved for signo, or false. Our own action never counts as a
// previous one (it is what a registration after resetHandlers finds).
bool find_previous(int signo, struct sigaction* action) {
    bool found = false;
    gPrevious->set_reading(true);
    for (previous_list::node* e = gPrevious->next(nullptr); e; e = gPrevious->next(e)) {
        if (e->value.signo == signo) {
            *action = e->value.action;
            found = !((action->sa_flags & SA_SIGINFO) && action->sa_sigaction == signal_dispatch);
            break;
        }
    }
    gPrevious->set_reading(false);
    return found;
}

// Called after the reporter's callbacks: hands the signal to whatever action
// the process had installed before.
bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void*, const signal_handler_next* next) {
    if (next && next->callback(signo, info, uap, next->context)) return true;
    struct sigaction previous;
    if (!find_previous(signo, &previous)) return false;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signo, info, uap);
        return true;
    }
    // Ignoring a fault would only return into the faulting instruction.
    if (previous.sa_handler == SIG_IGN) return !signal_is_hardware_fault(signo, info);
    if (previous.sa_handler == SIG_DFL) return false;
    previous.sa_handler(signo);
    return true;
}

// A signal nobody handled goes again, with the previous action in place of
// ours where ours is still installed: else it would come straight back here.
void raise_again(int signo, const siginfo_t* info) {
    struct sigaction current;
    if (sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == signal_dispatch) {
        struct sigaction restore {};
        restore.sa_handler = SIG_DFL;
        sigemptyset(&restore.sa_mask);
        struct sigaction previous;
        if (find_previous(signo, &previous) && !(previous.sa_handler == SIG_IGN && !(previous.sa_flags & SA_SIGINFO) &&
                                                 signal_is_hardware_fault(signo, info)))
            restore = previous;
        sigaction(signo, &restore, nullptr);
    }
    raise(signo);
}

}  // namespace

bool signal_is_hardware_fault(int signo, const siginfo_t* info) {
    switch (signo) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
        // Codes of 0 and below mark signals sent by a process.
        return info && info->si_code > 0;
    default: return false;
    }
}

void signal_dispatch(int signo, siginfo_t* info, void* uap) {
    int savedErrno = errno;
    gCallbacks->set_reading(true);
    callback_list::node* head = gCallbacks->next(nullptr);
    bool handled = head && call_entry(head, signo, info, static_cast<ucontext_t*>(uap));
    gCallbacks->set_reading(false);
    if (!handled) raise_again(signo, info);
    errno = savedErrno;
}

}  // namespace ovcrash

using namespace ovcrash;

PKROVCrashSignalHandler* PKROVCrashSignalHandler::sharedHandler() {
    static PKROVCrashSignalHandler* shared = []() -> PKROVCrashSignalHandler* {
        // The stack sits above a guard page, so that a handler running out of
        // it stops at once instead of writing over other memory.
        size_t page = size_t(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, kAlternateStackSize + page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (m == MAP_FAILED) return nullptr;
        mprotect(m, page, PROT_NONE);
        auto* handler = new PKROVCrashSignalHandler();
        handler->sigstk_.ss_sp = static_cast<char*>(m) + page;
        handler->sigstk_.ss_size = kAlternateStackSize;
        handler->sigstk_.ss_flags = 0;
        return handler;
    }();
    return shared;
}

namespace {
// Removes every entry while counted as a reader, so that the entries stay
// alive for a signal handler walking them right now.
template <typename List>
void remove_all(List* list) {
    list->set_reading(true);
    for (auto* e = list->next(nullptr); e;) {
        auto* after = list->next(e);
        list->remove(e);
        e = after;
    }
    list->set_reading(false);
}
}  // namespace

void PKROVCrashSignalHandler::resetHandlers() {
    std::lock_guard lock(gRegistrationLock);
    remove_all(gCallbacks);
    remove_all(gPrevious);
}

bool PKROVCrashSignalHandler::registerHandlerWithSignal(int signo, signal_handler_failure* failure) {
    std::lock_guard lock(gRegistrationLock);
    auto fail = [&](const char* description) {
        if (failure) *failure = {description, errno};
        return false;
    };
    if (sigaltstack(&sigstk_, nullptr) != 0) return fail("Could not initialize alternative signal stack");
    gCallbacks->append({previous_action_callback, nullptr});

    bool installed = false;
    gPrevious->set_reading(true);
    for (auto* e = gPrevious->next(nullptr); e && !installed; e = gPrevious->next(e))
        installed = e->value.signo == signo;
    gPrevious->set_reading(false);
    if (installed) return true;

    struct sigaction action {};
    action.sa_sigaction = signal_dispatch;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    struct sigaction previous;
    if (sigaction(signo, &action, &previous) != 0) return fail("Failed to register signal handler");
    gPrevious->append({signo, previous});
    return true;
}

bool PKROVCrashSignalHandler::registerHandlerForSignal(int signo, signal_handler_callback_func callback, void* context,
                                                       signal_handler_failure* failure) {
    if (!registerHandlerWithSignal(signo, failure)) return false;
    std::lock_guard lock(gRegistrationLock);
    gCallbacks->prepend({callback, context});
    return true;
}
