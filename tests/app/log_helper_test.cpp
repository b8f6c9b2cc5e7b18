// The timing log's report: chunks of each function on each thread, one
// nested in another's, steps that run backwards, shares of a chunk that took
// no time, the five slowest chunks, and the report timer on the process clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "app/LogHelper.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;

namespace {

class LogHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogHelper::sharedInstance().reset();
        pf::setLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            const size_t at = line.find("] ");
            lines_.push_back(at == std::string::npos ? line : line.substr(at + 2));
        });
    }
    void TearDown() override {
        LogHelper::sharedInstance().stopLoggingTimer();
        LogHelper::sharedInstance().reset();
        pf::setLogSink(nullptr);
    }
    qmtest::GlobalStateGuard guard_;
    static void stamp(const char* fn, int line, uint64_t t, bool start = false, bool end = false,
                      const void* thread = &kThreadA) {
        LogHelper::appendStamp({fn, line, t, thread, start, end});
    }
    std::vector<std::string> report() {
        LogHelper::sharedInstance().printOutTimingData();
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }
    static bool has(const std::vector<std::string>& lines, const std::string& text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& l) { return l.find(text) != std::string::npos; });
    }
    static inline const char kThreadA = 0, kThreadB = 0;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

constexpr uint64_t kSecond = 1000000000;

}  // namespace

TEST_F(LogHelperTest, AChunkNestedInAnotherFunctionsChunkLeavesTheOuterOneWhole) {
    // "run" opens its chunk, calls "load", whose own chunk lies inside it in time.
    stamp("run", 10, 1 * kSecond, true);
    stamp("load", 20, 2 * kSecond, true);
    stamp("load", 21, 3 * kSecond);
    stamp("load", 22, 3 * kSecond + kSecond / 2, false, true);
    stamp("run", 11, 4 * kSecond);
    stamp("run", 12, 5 * kSecond + kSecond / 2, false, true);
    stamp("loner", 50, 9 * kSecond, false, false, &kThreadB);  // outside any chunk
    const auto lines = report();
    EXPECT_FALSE(has(lines, "hit twice"));
    EXPECT_TRUE(has(lines, "+ Chunk = load:20 - load:22, time = 1.5000s"));
    EXPECT_TRUE(has(lines, "    67% in load:20 - load:21"));
    EXPECT_TRUE(has(lines, "    33% in load:21 - load:22"));
    EXPECT_TRUE(has(lines, "+ Chunk = run:10 - run:12, time = 4.5000s"));
    EXPECT_TRUE(has(lines, "    67% in run:10 - run:11"));
    EXPECT_TRUE(has(lines, "    33% in run:11 - run:12"));
    // The average comes when the next thread begins, or after the last stamp.
    EXPECT_TRUE(has(lines, "++ Chunk = run:10 - run:12, avg time = 3000000000 nsec") ||
                has(lines, "++ Chunk = run:10 - run:12, avg time = 3.0000s"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("--- Data for thread") == 0; }), 2);
    EXPECT_EQ(lines.back(), "==== End timestamp data ====");
    EXPECT_TRUE(report().empty()) << "the stamps were used up";
}

TEST_F(LogHelperTest, AStepBackwardsInTimeAcrossFunctionsCountsAsNoTime) {
    // Walked by function name, "b" comes after "a" although it was stamped earlier.
    stamp("a", 1, 4 * kSecond, true);
    stamp("b", 2, 2 * kSecond);
    stamp("c", 3, 5 * kSecond, false, true);
    const auto lines = report();
    EXPECT_TRUE(has(lines, "+ Chunk = a:1 - c:3, time = 3.0000s"));
    EXPECT_TRUE(has(lines, "    100% in b:2 - c:3"));
    EXPECT_TRUE(has(lines, "     0% in a:1 - b:2"));
    EXPECT_TRUE(has(lines, "++ Chunk = a:1 - c:3, avg time = 3000000000 nsec"));
}

TEST_F(LogHelperTest, AChunkOfNoTimeHasZeroSharesAndTwoStartsAreReported) {
    stamp("f", 1, 5000, true);
    stamp("f", 2, 5000, true);
    stamp("f", 3, 5000, false, true);
    const auto lines = report();
    EXPECT_TRUE(has(lines, "ERROR: LogTimestampStartChunk hit twice without a LogTimestampEndChunk between them."));
    EXPECT_TRUE(has(lines, "+ Chunk = f:2 - f:3, time = 0.0000s"));
    EXPECT_TRUE(has(lines, "     0% in f:2 - f:3"));
}

TEST_F(LogHelperTest, TheFiveSlowestChunksAreKeptAndTheTimerReports) {
    auto clock = std::make_shared<pf::ManualClock>(1000);
    pf::Clock::setCurrent(clock);
    auto& helper = LogHelper::sharedInstance();
    helper.startLoggingTimer();
    for (uint64_t i = 1; i <= 6; ++i) {
        stamp("chunk", int(i), i * 100 * kSecond, true);
        stamp("chunk", int(i), i * 100 * kSecond + i * kSecond, false, true);
    }
    helper.addLogString("plain line");
    clock->advance(10.0);
    pf::RunLoop::main().runUntilIdle();
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        lines = std::exchange(lines_, {});
    }
    EXPECT_TRUE(has(lines, "plain line"));
    ASSERT_EQ(helper.slowestChunks().size(), 5u);
    EXPECT_EQ(helper.slowestChunks().front().nanoSecsElapsed, 6 * kSecond);
    EXPECT_EQ(helper.slowestChunks().back().nanoSecsElapsed, 2 * kSecond);
    EXPECT_TRUE(has(lines, "# Chunk = chunk:6 - chunk:6, time = 6.0000s"));
    EXPECT_TRUE(report().empty()) << "an empty report prints nothing";
}
