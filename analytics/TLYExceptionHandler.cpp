#include "analytics/TLYExceptionHandler.h"

#include <atomic>

#include "analytics/TLY.h"
#include "analytics/TLYDictionaryBuilder.h"
#include "analytics/TLYExceptionParser.h"
#include "analytics/TLYLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

using platform::foundation::Exception;
using platform::foundation::Value;

namespace {

std::atomic<platform::foundation::UncaughtExceptionHandler> previousHandler{nullptr};
std::atomic<int32_t> handledOnce{0};

}  // namespace

void TLYUncaughtExceptionHandler(const Exception& exception) {
    int32_t expected = 0;
    if (!handledOnce.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
        TLY_WARNING("TLYUncaughtExceptionHandler", "Bailing on multiple uncaught exceptions: %s",
                    exception.reason().c_str());
        return;
    }
    TLY_WARNING("TLYUncaughtExceptionHandler", "Uncaught exception: %s", exception.reason().c_str());
    std::string description = TLYExceptionParser::exceptionDescription(exception, 150);
    Value hit = TLYDictionaryBuilder::tly_exceptionWithDescription(Value(description), Value(true)).build();
    TLY& tly = TLY::sharedInstance();
    if (auto tracker = tly.defaultTracker()) tracker->tly_send(hit);
    tly.dispatch();

    // Let the analytics thread and this thread's run loop carry the hit out.
    auto& clock = platform::foundation::Clock::current();
    double start = clock.monotonic();
    while (clock.monotonic() - start < 5.0) platform::foundation::RunLoop::current().runFor(0.01);

    if (auto previous = previousHandler.load()) previous(exception);
}

void TLYInstallUncaughtExceptionHandler() {
    auto current = platform::foundation::getUncaughtExceptionHandler();
    if (current == &TLYUncaughtExceptionHandler) return;
    previousHandler = current;
    platform::foundation::setUncaughtExceptionHandler(&TLYUncaughtExceptionHandler);
}

void TLYRemoveUncaughtExceptionHandler() {
    if (platform::foundation::getUncaughtExceptionHandler() != &TLYUncaughtExceptionHandler) return;
    platform::foundation::setUncaughtExceptionHandler(previousHandler.load());
}
