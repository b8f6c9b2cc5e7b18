#pragma once
// Shared by the tracker-side analytics tests: a fresh sandbox home per test,
// waiting for "TLYThread", and a sender that records what trackers hand over.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "analytics/TLY.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYDispatchSender.h"
#include "analytics/TLYTrackerModel.h"
#include "analytics/TLYUsageTracker.h"
#include "dispatch_support.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/UserDefaults.h"

namespace platform::foundation {
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform::foundation

namespace tlytest {

// "TLYThread" is idle: everything queued there has run, and so has the work
// that work queued in turn, however many hops it takes.
inline void drainAnalyticsThread() {
    std::promise<void> done;
    TLY::thread().perform([&done] {
        platform::foundation::RunLoop::current().runUntilIdle();
        done.set_value();
    });
    done.get_future().wait();
}

// The usage letters are process-wide and ride on the next hit: a test starts
// without any and leaves none behind.
class HomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        platform::foundation::Sandbox::setHome(home.path());
        platform::foundation::UserDefaults::resetStandard();
        TLYUsageTracker::getUsageSequence();
    }
    void TearDown() override {
        drainAnalyticsThread();
        TLYUsageTracker::getUsageSequence();
    }

    std::string libraryFile(const std::string& name) const {
        return platform::foundation::Sandbox::library() + "/" + name;
    }
    // python3 with `db` connected to a file of the Library folder.
    std::string python(const std::string& file, const std::string& script) {
        std::string path = home.file("peer.py");
        FILE* f = fopen(path.c_str(), "w");
        fprintf(f, "import sqlite3, plistlib, sys\ndb = sqlite3.connect(sys.argv[1])\n%s\n", script.c_str());
        fclose(f);
        return qmtest::run({"python3", path, libraryFile(file)}, qmtest::RunOptions().mergingErrors()).out;
    }

    TempDir home;
};

// Keeps what a tracker hands over; hands its models to nobody.
class RecordingSender : public TLYDispatchSender {
public:
    explicit RecordingSender(std::shared_ptr<TLYDataStore> store) : store_(std::move(store)) {}
    void queueDispatch(const platform::foundation::Value& parameters) override {
        std::lock_guard<std::mutex> guard(mutex_);
        dispatched_.push_back(parameters);
    }
    void queueModel(std::shared_ptr<TLYTrackerModel> model) override {
        std::lock_guard<std::mutex> guard(mutex_);
        models_.push_back(std::move(model));
    }
    std::shared_ptr<TLYDataStore> dataStore() const override { return store_; }
    std::string clientId() override { return store_->clientId(); }
    double dispatchInterval() const override { return 0; }
    void setDispatchInterval(double) override {}
    void dispatchWithCompletionHandler(TLYDispatchCompletion) override {}
    void optOutChanged(bool) override {}

    std::vector<std::shared_ptr<TLYTrackerModel>> models() {
        std::lock_guard<std::mutex> guard(mutex_);
        return models_;
    }

private:
    std::shared_ptr<TLYDataStore> store_;
    std::mutex mutex_;
    std::vector<platform::foundation::Value> dispatched_;
    std::vector<std::shared_ptr<TLYTrackerModel>> models_;
};

}  // namespace tlytest

namespace tlytest {

// A logger at the most talkative level that keeps its lines.
class RecordingLogger : public TLYLogger {
public:
    void verbose(const std::string& m) override { add("VERBOSE: " + m); }
    void info(const std::string& m) override { add("INFO: " + m); }
    void warning(const std::string& m) override { add("WARNING: " + m); }
    void error(const std::string& m) override { add("ERROR: " + m); }
    uint64_t logLevel() const override { return 4; }
    void setLogLevel(uint64_t) override {}
    size_t count(const std::string& needle) {
        std::lock_guard<std::mutex> guard(mutex_);
        size_t n = 0;
        for (const auto& line : lines_)
            if (line.find(needle) != std::string::npos) ++n;
        return n;
    }

private:
    void add(std::string line) {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back(std::move(line));
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A fresh home with TLY's shared instance reset into it and a recording logger.
class TLYTest : public HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        TLY::sharedInstance().reset();
        TLY::sharedInstance().setLogger(logger);
        TLYUsageTracker::getUsageSequence();
    }
    void TearDown() override {
        TLY::sharedInstance().reset();
        TLY::sharedInstance().setLogger(std::make_shared<TLYDefaultLogger>());
        HomeTest::TearDown();
    }
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
};

}  // namespace tlytest
