#include <gtest/gtest.h>
#include <unistd.h>

#include "analytics/TLY.h"
#include "analytics/TLYExceptionHandler.h"
#include "core_support.h"
#include "platform/foundation/Clock.h"
#include "tests/support/ChildTest.h"

using platform::foundation::Exception;
using platform::foundation::Value;

namespace {

int previousCalls = 0;
std::string previousName;
void previousHandler(const Exception& e) {
    ++previousCalls;
    previousName = e.name();
}
void otherHandler(const Exception&) {}

class ExceptionReporterTest : public tlytest::TLYTest {
protected:
    void TearDown() override {
        platform::foundation::setUncaughtExceptionHandler(nullptr);
        TLYTest::TearDown();
    }
};

TEST_F(ExceptionReporterTest, SwitchingOnAndOffChainsTheHandlers) {
    TLY& tly = TLY::sharedInstance();
    platform::foundation::setUncaughtExceptionHandler(&previousHandler);
    tly.setTrackUncaughtExceptions(true);
    EXPECT_TRUE(tly.trackUncaughtExceptions());
    EXPECT_EQ(platform::foundation::getUncaughtExceptionHandler(), &TLYUncaughtExceptionHandler);
    tly.setTrackUncaughtExceptions(true);  // once is enough
    tly.setTrackUncaughtExceptions(false);
    EXPECT_EQ(platform::foundation::getUncaughtExceptionHandler(), &previousHandler);
    // Another handler installed in between is left alone.
    tly.setTrackUncaughtExceptions(true);
    platform::foundation::setUncaughtExceptionHandler(&otherHandler);
    tly.setTrackUncaughtExceptions(false);
    EXPECT_EQ(platform::foundation::getUncaughtExceptionHandler(), &otherHandler);
}

// The reporter handles one exception per process: the case runs in a fresh
// copy of this program, so that the program can run it again.
class FirstUncaughtExceptionCase : public ExceptionReporterTest {
public:
    using ExceptionReporterTest::SetUp;
    using ExceptionReporterTest::TearDown;
    void TestBody() override;
};

void FirstUncaughtExceptionCase::TestBody() {
    auto clock = std::make_shared<platform::foundation::ManualClock>(1.7e9);
    platform::foundation::Clock::setCurrent(clock);
    TLY& tly = TLY::sharedInstance();
    tly.trackerWithTrackingId("UA-1");
    platform::foundation::setUncaughtExceptionHandler(&previousHandler);
    tly.setTrackUncaughtExceptions(true);

    double before = clock->monotonic();
    try {
        Exception::raise(std::string(200, 'E'), "it broke");
    } catch (const Exception& e) {
        TLYUncaughtExceptionHandler(e);
        // Up to 5 s for the upload, on the clock.
        EXPECT_GE(clock->monotonic() - before, 5.0);
        EXPECT_LT(clock->monotonic() - before, 5.1);
        EXPECT_EQ(previousCalls, 1);
        EXPECT_EQ(previousName, std::string(200, 'E'));
        TLYUncaughtExceptionHandler(e);
        EXPECT_EQ(previousCalls, 1);
    }
    platform::foundation::Clock::setCurrent(nullptr);
    EXPECT_EQ(logger->count("Uncaught exception: it broke"), 1u);
    EXPECT_EQ(logger->count("Bailing on multiple uncaught exceptions: it broke"), 1u);

    tlytest::drainAnalyticsThread();
    auto hits = tly.dispatcher()->dataStore()->fetchHitsWithLimit(0);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1u);
    const Value& p = (*hits)[0]["parameters"];
    EXPECT_EQ(p["&t"], Value("exception"));
    EXPECT_EQ(p["&exf"], Value("1"));
    EXPECT_EQ(p["&exd"], Value(std::string(150, 'E')));
    EXPECT_EQ(p["&tid"], Value("UA-1"));
}

QM_CHILD_TEST(ExceptionReporterChild, FirstUncaughtException) {
    FirstUncaughtExceptionCase test;
    test.SetUp();
    test.TestBody();
    test.TearDown();
}

TEST_F(ExceptionReporterTest, TheFirstUncaughtExceptionSendsOneFatalHitThenGoesOn) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string out =
        qmtest::run({self, "--gtest_filter=ExceptionReporterChild.FirstUncaughtException"}, qmtest::RunOptions().mergingErrors()).out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
}

}  // namespace
