#include "crash/manager/PKRCrashUncaughtCXXExceptionHandlerManager.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

namespace {

constexpr int kMaxFrames = 128;

// Registration and the hook share one spin lock: the hook may run on any
// thread, while the process is going down, when a mutex could be unusable.
struct State {
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
    std::vector<PKRCrashUncaughtCXXExceptionHandler> handlers;
    bool installed = false;
    std::terminate_handler previous = nullptr;
};

// Made before main and never destroyed: an exception may escape a thread
// while static objects are already gone.
State& state() {
    static State& s = *new State;
    return s;
}
[[maybe_unused]] State& gStateAtStart = state();

class Locked {
public:
    Locked() {
        while (state().lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Locked() { unlock(); }
    void unlock() {
        if (held_) state().lock.clear(std::memory_order_release);
        held_ = false;
    }

private:
    bool held_ = true;
};

// True on a thread that is already inside the hook: a handler that ends in
// std::terminate again goes straight to abort() instead of waiting on the lock.
thread_local bool tInHook = false;

// The message of the exception and whether it is a platform exception.
// Pointers stay valid while `current` keeps the exception object alive.
const char* classify(const std::exception_ptr& current, bool* platformException) {
    *platformException = false;
    try {
        std::rethrow_exception(current);
    } catch (const platform::foundation::Exception&) {
        // Checked first: it is also a std::exception, but has its own road.
        *platformException = true;
    } catch (const std::exception& e) {
        return e.what();
    } catch (const std::exception* e) {
        return e ? e->what() : nullptr;
    } catch (const std::string& s) {
        return s.c_str();
    } catch (const std::string* s) {
        return s ? s->c_str() : nullptr;
    } catch (const char* s) {
        return s;
    } catch (...) {
    }
    return nullptr;
}

[[noreturn]] void terminateHook() {
    if (tInHook) std::abort();
    tInHook = true;
    std::exception_ptr current = std::current_exception();
    Locked lock;
    if (current) {
        PKRCrashUncaughtCXXExceptionInfo info{};
        info.exception = &current;
        if (const std::type_info* type = abi::__cxa_current_exception_type()) {
            const char* name = type->name();
            // A leading '*' only marks a name the compiler did not merge.
            info.exception_type_name = name[0] == '*' ? name + 1 : name;
        }
        // The throw never unwound the stack (no handler was found), so the
        // throwing function's frames are still below this one.
        void* frames[kMaxFrames];
        int count = backtrace(frames, kMaxFrames);
        uint64_t addresses[kMaxFrames];
        for (int i = 1; i < count; ++i) addresses[i - 1] = reinterpret_cast<uintptr_t>(frames[i]);
        info.exception_frames = addresses;
        info.exception_frames_count = count > 1 ? uint32_t(count - 1) : 0;

        bool platformException = false;
        info.exception_message = classify(current, &platformException);
        if (!platformException) {
            for (PKRCrashUncaughtCXXExceptionHandler handler : state().handlers) handler(&info);
        }
    }
    std::terminate_handler previous = state().previous;
    // Released before passing on, so that a terminate entered again from
    // there does not wait on it.
    lock.unlock();
    if (previous) previous();
    // Neither the handlers nor the previous handler may let the process go on.
    std::abort();
}

std::string demangled(const char* name) {
    if (!name) return "";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

std::vector<uintptr_t> frames(const PKRCrashUncaughtCXXExceptionInfo* info) {
    std::vector<uintptr_t> out;
    if (info && info->exception_frames)
        out.assign(info->exception_frames, info->exception_frames + info->exception_frames_count);
    return out;
}

}  // namespace

void PKRCrashUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(PKRCrashUncaughtCXXExceptionHandler handler) {
    if (!handler) return;
    Locked lock;
    State& s = state();
    if (!s.installed) {
        s.previous = std::set_terminate(terminateHook);
        s.installed = true;
    }
    s.handlers.push_back(handler);
}

void PKRCrashUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    PKRCrashUncaughtCXXExceptionHandler handler) {
    Locked lock;
    State& s = state();
    for (auto it = s.handlers.begin(); it != s.handlers.end(); ++it) {
        if (*it == handler) {
            s.handlers.erase(it);
            break;
        }
    }
    if (!s.installed || !s.handlers.empty()) return;
    std::terminate_handler replaced = std::set_terminate(s.previous);
    if (replaced == terminateHook) {
        s.installed = false;
        s.previous = nullptr;
    } else {
        // Someone chained after us; their handler stays, and so do we under it.
        std::set_terminate(replaced);
    }
}

PKRCrashCXXExceptionWrapperException::PKRCrashCXXExceptionWrapperException(const PKRCrashUncaughtCXXExceptionInfo* info)
    : Exception(demangled(info ? info->exception_type_name : nullptr),
                info && info->exception_message ? info->exception_message : "", platform::foundation::Value(),
                frames(info)),
      info_(info) {}
