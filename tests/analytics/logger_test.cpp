// A logger replaced on one thread while another logs: the logging thread
// keeps the logger it took alive until its line is written, so no logger is
// called once its destruction has begun.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "analytics/TLY.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYLogger.h"
#include "analytics/TLYUsageTracker.h"

namespace {

std::atomic<const void*> dying{nullptr};
std::atomic<int> lateCalls{0};
std::atomic<int> calls{0};

class FragileLogger : public TLYLogger {
public:
    ~FragileLogger() override {
        dying = this;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        dying = nullptr;
    }
    void verbose(const std::string&) override { hit(); }
    void info(const std::string&) override { hit(); }
    void warning(const std::string&) override { hit(); }
    void error(const std::string&) override { hit(); }
    uint64_t logLevel() const override { return 4; }
    void setLogLevel(uint64_t) override {}

private:
    void hit() {
        if (dying.load() == this) ++lateCalls;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (dying.load() == this) ++lateCalls;
        ++calls;
    }
};

TEST(Logger, ReplacingTheLoggerWhileAnotherThreadLogsCallsNoDestroyedLogger) {
    TLY& tly = TLY::sharedInstance();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) TLY_ERROR("-[Logger run]", "line %d", 1);
    });
    for (int i = 0; i < 400; ++i) {
        tly.setLogger(std::make_shared<FragileLogger>());
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stop = true;
    writer.join();
    tly.setLogger(std::make_shared<TLYDefaultLogger>());
    TLYUsageTracker::getUsageSequence();  // the replacements' letters are no later test's
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(lateCalls.load(), 0);
}

}  // namespace
