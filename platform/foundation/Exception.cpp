#include "platform/foundation/Exception.h"

#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform::foundation {

namespace {

std::atomic<UncaughtExceptionHandler> gHandler{nullptr};
std::terminate_handler gPreviousTerminate = nullptr;
std::once_flag gHookOnce;

[[noreturn]] void terminateHook() {
    static std::atomic<bool> entered{false};
    if (!entered.exchange(true)) {
        if (auto current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const Exception& e) {
                if (auto h = gHandler.load()) h(e);
            } catch (...) {
            }
        }
    }
    if (gPreviousTerminate) gPreviousTerminate();
    std::abort();
}

}  // namespace

Exception::Exception(std::string name, std::string reason, Value userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
    what_ = name_ + ": " + reason_;
    void* frames[128];
    int n = backtrace(frames, 128);
    // Frame 0 is this constructor.
    for (int i = 1; i < n; ++i) callStack_.push_back(reinterpret_cast<uintptr_t>(frames[i]));
}

Exception::Exception(std::string name, std::string reason, Value userInfo, std::vector<uintptr_t> callStack)
    : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_), userInfo_(std::move(userInfo)),
      callStack_(std::move(callStack)) {}

void Exception::raise(std::string name, std::string reason, Value userInfo) {
    throw Exception(std::move(name), std::move(reason), std::move(userInfo));
}

UncaughtExceptionHandler getUncaughtExceptionHandler() { return gHandler.load(); }

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
    gHandler.store(handler);
    std::call_once(gHookOnce, [] { gPreviousTerminate = std::set_terminate(terminateHook); });
}

}  // namespace platform::foundation
