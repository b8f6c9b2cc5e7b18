#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "analytics/TLY.h"
#include "analytics/TLYDictionaryBuilder.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYTrackerImpl.h"
#include "analytics/TLYTrackerModel.h"
#include "analytics/TLYURLConnection.h"
#include "analytics/TLYUsageTracker.h"
#include "core_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "tests/support/ChildTest.h"

using platform::foundation::Value;

namespace {

class TrackerTest : public tlytest::TLYTest {
protected:
    void SetUp() override {
        TLYTest::SetUp();
        store = TLYDataStore::dataStore();
        sender = std::make_shared<tlytest::RecordingSender>(store);
        tracker = TLYTrackerImpl::trackerWithDispatcher(sender, "test");
        clock = std::make_shared<platform::foundation::ManualClock>(1.6e9);
        platform::foundation::Clock::setCurrent(clock);
        TLYUsageTracker::getUsageSequence();
    }
    void TearDown() override {
        platform::foundation::Clock::setCurrent(nullptr);
        TLYTest::TearDown();
    }
    Value event() { return Value(Value::Dictionary{{"&t", Value("event")}, {"&ec", Value("c")}}); }

    std::shared_ptr<TLYDataStore> store;
    std::shared_ptr<tlytest::RecordingSender> sender;
    std::shared_ptr<TLYTrackerImpl> tracker;
    std::shared_ptr<platform::foundation::ManualClock> clock;
};

TEST_F(TrackerTest, ABurstOfSixtyThenOneHitEveryTwoSeconds) {
    for (int i = 0; i < 61; ++i) tracker->send(event());
    EXPECT_EQ(sender->models().size(), 60u);
    EXPECT_EQ(logger->count("Excessive tracking detected and throttled."), 1u);
    clock->advance(1.0);
    tracker->send(event());
    EXPECT_EQ(sender->models().size(), 60u);
    clock->advance(1.0);
    tracker->send(event());
    EXPECT_EQ(sender->models().size(), 61u);
    tracker->send(event());
    EXPECT_EQ(sender->models().size(), 61u);
    // A long pause refills at most the full burst.
    clock->advance(3600);
    for (int i = 0; i < 70; ++i) tracker->send(event());
    EXPECT_EQ(sender->models().size(), 121u);
}

TEST_F(TrackerTest, TransactionsAndItemsAreNeverLimited) {
    for (int i = 0; i < 50; ++i) {
        tracker->send(
            TLYDictionaryBuilder::createTransactionWithId("t", "a", Value(1), Value(), Value(), "EUR").build());
        tracker->send(
            TLYDictionaryBuilder::createItemWithTransactionId("t", "n", "s", "c", Value(1), Value(1), "EUR").build());
    }
    EXPECT_EQ(sender->models().size(), 100u);
    EXPECT_EQ(tracker->trackingCredits(), 60.0);
}

TEST_F(TrackerTest, UsageLettersGoWithTheNextHit) {
    tracker->set("&cd", "Home");
    tracker->send(event());
    tracker->tly_send(event());
    tracker->send(event());
    tracker->get("&cd");
    TLY::sharedInstance().dryRun();
    tracker->send(event());
    auto models = sender->models();
    ASSERT_EQ(models.size(), 4u);
    EXPECT_EQ(models[0]->objectForKeyedSubscript("&_u"), Value(".KL"));
    EXPECT_EQ(models[1]->objectForKeyedSubscript("&_u"), Value(""));
    EXPECT_EQ(models[2]->objectForKeyedSubscript("&_u"), Value(".L"));
    EXPECT_EQ(models[3]->objectForKeyedSubscript("&_u"), Value(".J3L"));
}

TEST_F(TrackerTest, HitValuesWinOverTheTrackersWithoutChangingThem) {
    tracker->set("&cd", "Tracker screen");
    tracker->set("&ni", Value(1));
    Value hit = event();
    hit["&cd"] = "Hit screen";
    tracker->send(hit);
    ASSERT_EQ(sender->models().size(), 1u);
    EXPECT_EQ(sender->models()[0]->objectForKeyedSubscript("&cd"), Value("Hit screen"));
    EXPECT_EQ(tracker->get("&cd"), "Tracker screen");
    EXPECT_FALSE(tracker->get("&ni"));      // a number is no string
    EXPECT_EQ(tracker->get("&ds"), "app");  // computed
}

TEST_F(TrackerTest, HitTypesDriveTheScreenCounter) {
    TLYTrackerModel::setScreenCounter(100);
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 101u);
    tracker->send(event());
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 101u);
    // No type at all: a warning, still sent, and counted as a screen view...
    tracker->send(Value(Value::Dictionary{{"&cd", Value("x")}}));
    EXPECT_EQ(logger->count("Bad or missing hit type."), 1u);
    EXPECT_EQ(sender->models().size(), 3u);
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 102u);
    // ...unless the tracker itself has another type.
    tracker->set("&t", "event");
    tracker->send(Value(Value::Dictionary{{"&cd", Value("x")}}));
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 102u);
    tracker->send(Value(Value::Dictionary{{"&t", Value(5)}}));
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 102u);
    tracker->send(Value(Value::Dictionary{{"&t", Value("appview")}}));
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 103u);
    // A type kept as the null marker is there, and no string: no screen view,
    // whether the hit or the tracker holds it.
    tracker->send(Value(Value::Dictionary{{"&t", Value()}}));
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 103u);
    tracker->set("&t", Value());
    tracker->send(Value(Value::Dictionary{{"&cd", Value("x")}}));
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 103u);
    EXPECT_EQ(sender->models().size(), 8u);
}

TEST_F(TrackerTest, TheScreenCounterWrapsToOneAndNeverRepeatsUnderContention) {
    TLYTrackerModel::setScreenCounter(2147483646u);
    TLYTrackerModel::willSendScreenView();
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 2147483647u);
    TLYTrackerModel::willSendScreenView();
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 1u);

    TLYTrackerModel::setScreenCounter(1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 10000; ++i) TLYTrackerModel::willSendScreenView();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(TLYTrackerModel::screenCounter(), 41000u);
}

TEST_F(TrackerTest, ATrackerNeedsADispatcher) {
    EXPECT_FALSE(TLYTrackerImpl::trackerWithDispatcher(nullptr, "x"));
    EXPECT_EQ(logger->count("initialization failed: dispatcher is required."), 1u);
}

TEST_F(TrackerTest, TheModelBuildsFixedComputedAndForcedFields) {
    const auto& required = TLYTrackerModel::requiredParameters();
    std::vector<std::string> computed(required.begin(), required.begin() + 7);
    EXPECT_EQ(computed, (std::vector<std::string>{"&ul", "&dm", "&sr", "&a", "&_crc", "&cid", "&ds"}));
    EXPECT_EQ(required.size(), 7 + TLYTrackerModel::defaultParameters().size());
    EXPECT_EQ(TLYTrackerModel::defaultParameters().at("tlyVersion"), Value("3.15"));
    auto& bundle = platform::foundation::Bundle::main();
    std::string appName = bundle.objectForInfoDictionaryKey("CFBundleName").stringValue();
    if (appName.empty()) appName = bundle.bundleIdentifier();
    if (appName.empty())
        EXPECT_FALSE(TLYTrackerModel::defaultParameters().count("&an"));
    else
        EXPECT_EQ(TLYTrackerModel::defaultParameters().at("&an"), Value(appName));
    EXPECT_EQ(TLYTrackerModel::forcedParameters(), (Value::Dictionary{{"&_v", Value("tm3.1.5")}, {"&v", Value("1")}}));

    TLYTrackerModel model(store);
    model.setObject(Value("2"), "&v");
    model.setObject(Value("x"), "&_v");
    model.setObject(Value("fr"), "&ul");
    model.setObject(Value(), "&sr");
    model.setObject(Value(""), "&cid");
    model.setAllowIDFACollection(true);
    TLYTrackerModel::setScreenCounter(77);
    Value hit = model.buildDictionary();
    Value next = model.buildDictionary();
    EXPECT_EQ(hit["&v"], Value("1"));
    EXPECT_EQ(hit["&_v"], Value("tm3.1.5"));
    EXPECT_EQ(hit["&ul"], Value("fr"));
    EXPECT_TRUE(hit.contains("&sr"));
    EXPECT_TRUE(hit["&sr"].isNull());
    EXPECT_EQ(hit["&cid"], Value(store->clientId()));
    EXPECT_EQ(hit["&a"], Value("77"));
    EXPECT_EQ(hit["&ds"], Value("app"));
    EXPECT_EQ(hit["&_crc"], Value("0"));
    EXPECT_EQ(hit["&dm"], Value(TLYHitUtil::deviceModelVersion()));
    EXPECT_EQ(hit["tlyVersion"], Value("3.15"));
    EXPECT_FALSE(hit.contains("&idfa"));
    EXPECT_FALSE(hit.contains("&ate"));
    EXPECT_EQ(std::stoull(next["&z"].string()), std::stoull(hit["&z"].string()) + 1);
    EXPECT_EQ(TLYHitUtil::systemScreenResolution().find('x') != std::string::npos, true);

    // The day window of the advertising-identifier change count starts now.
    EXPECT_EQ(store->lastChangeTimeStamp(), 1.6e9);
    model.setObject(Value(), "&cid");
    EXPECT_EQ(model.buildDictionary()["&cid"], Value(store->clientId()));
}

TEST_F(TrackerTest, TheAdIdChangeCountLastsForADayWindow) {
    store->setLastChangeTimeStamp(1.6e9);
    store->setIdfaChangeCount(3);
    TLYTrackerModel model(store);
    EXPECT_EQ(model.buildDictionary()["&_crc"], Value("3"));
    clock->advance(86400);
    EXPECT_EQ(model.buildDictionary()["&_crc"], Value("3"));
    clock->advance(1);
    EXPECT_EQ(model.buildDictionary()["&_crc"], Value("0"));
    EXPECT_EQ(store->lastChangeTimeStamp(), 1.6e9 + 86401);
    EXPECT_EQ(store->idfaChangeCount(), 0);
}

// The advertising-identifier provider is looked up once per process, so the
// model's use of one is checked in a process of its own.
class FakeAdIdProvider : public TLYAdIdProvider {
public:
    std::optional<std::string> retrieveId() override { return id; }
    bool retrieveTrackingFlag() override { return trackingAllowed; }
    std::optional<std::string> id = std::string("AD-1");
    bool trackingAllowed = true;
};

QM_CHILD_TEST(TrackerModelChild, AdIdProvider) {
    const char* home = std::getenv("TLY_MODEL_HOME");
    ASSERT_TRUE(home) << "runs only as a child of the tracker tests";
    platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
    platform::foundation::Sandbox::setHome(home);
    auto provider = std::make_shared<FakeAdIdProvider>();
    TLYTrackerModel::registerAdIdProvider("TGKActualAdIdAccess", provider);
    auto clock = std::make_shared<platform::foundation::ManualClock>(1.6e9);
    platform::foundation::Clock::setCurrent(clock);
    auto store = TLYDataStore::dataStore();

    const auto& required = TLYTrackerModel::requiredParameters();
    EXPECT_EQ(std::vector<std::string>(required.begin(), required.begin() + 9),
              (std::vector<std::string>{"&ul", "&idfa", "&ate", "&dm", "&sr", "&a", "&_crc", "&cid", "&ds"}));

    TLYTrackerModel model(store);
    Value hit = model.buildDictionary();
    EXPECT_TRUE(hit.contains("&idfa") && hit["&idfa"].isNull());
    EXPECT_TRUE(hit.contains("&ate") && hit["&ate"].isNull());
    EXPECT_FALSE(store->hashedIdfa());

    model.setAllowIDFACollection(true);
    std::string firstClient = store->clientId();
    hit = model.buildDictionary();
    EXPECT_EQ(hit["&idfa"], Value("AD-1"));
    EXPECT_EQ(hit["&ate"], Value("1"));
    EXPECT_EQ(store->hashedIdfa(), TLYHitUtil::hashIdfa("AD-1", firstClient));
    EXPECT_EQ(hit["&cid"], Value(firstClient));
    EXPECT_EQ(hit["&_crc"], Value("0"));
    model.buildDictionary();
    EXPECT_EQ(store->clientId(), firstClient);

    // A new identifier counts a change and gives the device a new client identifier.
    provider->id = "AD-2";
    provider->trackingAllowed = false;
    hit = model.buildDictionary();
    std::string secondClient = store->clientId();
    EXPECT_NE(secondClient, firstClient);
    EXPECT_EQ(hit["&idfa"], Value("AD-2"));
    EXPECT_EQ(hit["&ate"], Value("0"));
    EXPECT_EQ(hit["&cid"], Value(secondClient));
    EXPECT_EQ(hit["&_crc"], Value("1"));
    EXPECT_EQ(store->hashedIdfa(), TLYHitUtil::hashIdfa("AD-2", secondClient));

    provider->id.reset();
    hit = model.buildDictionary();
    EXPECT_TRUE(hit["&idfa"].isNull());
    EXPECT_EQ(store->clientId(), secondClient);
    ASSERT_TRUE(store->save());
    platform::foundation::Clock::setCurrent(nullptr);
}

// The shared instance is made once per process: its first start is checked in
// processes of their own, at the time TLY_MODEL_NOW gives.
QM_CHILD_TEST(TrackerModelChild, FirstStart) {
    const char* home = std::getenv("TLY_MODEL_HOME");
    ASSERT_TRUE(home) << "runs only as a child of the tracker tests";
    platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
    platform::foundation::Sandbox::setHome(home);
    platform::foundation::UserDefaults::resetStandard();
    platform::foundation::Clock::setCurrent(
        std::make_shared<platform::foundation::ManualClock>(std::atof(std::getenv("TLY_MODEL_NOW"))));
    TLY::sharedInstance();
    platform::foundation::UserDefaults::resetStandard();  // read back what was written
    EXPECT_EQ(platform::foundation::UserDefaults::standard().objectForKey(kTLYFirstInitTimeStampKey),
              Value::date(1.6e9));
}

class ChildTest : public TrackerTest {
protected:
    std::string runChild(const std::string& test, double now = 0) {
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return "no executable";
        // A home of the children's own: this process's shared instance has
        // already written its first start into the fixture's.
        qmtest::RunOptions options;
        options.env = {"TLY_MODEL_HOME=" + home.path() + "/device", "TLY_MODEL_NOW=" + std::to_string(now)};
        options.mergeErrors = true;
        return qmtest::run({self, "--gtest_filter=TrackerModelChild." + test}, options).out;
    }
};

TEST_F(ChildTest, AnAdIdProviderFeedsTheIdentifierFieldsAndTheChangeCount) {
    std::string out = runChild("AdIdProvider");
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
}

TEST_F(ChildTest, TheFirstStartIsRecordedOnceOnTheDevice) {
    std::string out = runChild("FirstStart", 1.6e9);
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
    out = runChild("FirstStart", 1.7e9);
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
}

class TLYSharedTest : public tlytest::TLYTest {};

TEST_F(TLYSharedTest, TrackersByTrimmedNameAndTheDefaultTracker) {
    TLY& tly = TLY::sharedInstance();
    EXPECT_FALSE(tly.defaultTracker());
    auto first = tly.trackerWithName("  main \n", "UA-1");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name(), "main");
    EXPECT_EQ(first->get("&tid"), "UA-1");
    EXPECT_EQ(tly.trackerWithName("main", "UA-2"), first);
    EXPECT_EQ(first->get("&tid"), "UA-1");
    EXPECT_EQ(tly.defaultTracker(), first);
    EXPECT_FALSE(tly.trackerWithName(" \t ", "UA-3"));
    EXPECT_EQ(logger->count("Nil or empty name supplied. Cannot create tracker."), 1u);

    auto second = tly.trackerWithTrackingId("UA-9");
    EXPECT_EQ(second->name(), "UA-9");
    EXPECT_EQ(tly.defaultTracker(), first);
    // The name is looked up as given: blanks around it find nothing.
    tly.removeTrackerByName(" main ");
    EXPECT_EQ(tly.defaultTracker(), first);
    EXPECT_EQ(tly.trackers().size(), 2u);
    tly.removeTrackerByName("main");
    EXPECT_FALSE(tly.defaultTracker());
    EXPECT_EQ(tly.trackers().size(), 1u);
    auto third = tly.trackerWithTrackingId("UA-10");
    EXPECT_EQ(tly.defaultTracker(), third);
    // The default tracker is not kept alive by being the default.
    tly.removeTrackerByName("UA-10");
    third.reset();
    EXPECT_FALSE(tly.defaultTracker());
}

TEST_F(TLYSharedTest, ReplacingTheLoggerRecordsALetterOnlyOnChange) {
    TLY& tly = TLY::sharedInstance();
    TLYUsageTracker::getUsageSequence();
    tly.setLogger(logger);
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), "");
    auto other = std::make_shared<tlytest::RecordingLogger>();
    tly.setLogger(other);
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".4");
    EXPECT_EQ(TLY::sharedLogger(), other);

    // Lines logged while the logger is being replaced reach a live logger.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) TLYTrackerImpl::trackerWithDispatcher(nullptr, "x");
    });
    for (int i = 0; i < 2000; ++i) tly.setLogger(std::make_shared<tlytest::RecordingLogger>());
    stop = true;
    writer.join();
    tly.setLogger(logger);
}

TEST_F(TLYSharedTest, AScreenViewIsStoredWithTheTrackersFields) {
    TLY& tly = TLY::sharedInstance();
    TLYUsageTracker::getUsageSequence();
    auto tracker = tly.trackerWithTrackingId("UA-55");
    tracker->set("&cd", "Main");
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    auto hits = tly.dispatcher()->dataStore()->fetchHitsWithLimit(0);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1u);
    const Value& p = (*hits)[0]["parameters"];
    EXPECT_EQ(p["&t"], Value("screenview"));
    EXPECT_EQ(p["&cd"], Value("Main"));
    EXPECT_EQ(p["&tid"], Value("UA-55"));
    EXPECT_EQ(p["&cid"], Value(tly.clientId()));
    EXPECT_EQ(p["&_u"], Value(".nK9L"));
    EXPECT_EQ(logger->count("Saved hit: "), 1u);
}

TEST_F(TLYSharedTest, OptingOutDropsQueuedAndStoredHits) {
    TLY& tly = TLY::sharedInstance();
    auto tracker = tly.trackerWithTrackingId("UA-1");
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    auto store = tly.dispatcher()->dataStore();
    EXPECT_EQ(store->hitCount(), 1);
    tly.setOptOut(true);
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    EXPECT_EQ(store->hitCount(), 0);
    tly.setOptOut(false);
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    EXPECT_EQ(store->hitCount(), 1);
}

TEST_F(TLYSharedTest, ADispatcherMadeAfterAResetHearsOnlyLaterOptOutChanges) {
    TLY& tly = TLY::sharedInstance();
    tly.setOptOut(true);
    struct OptIn {
        ~OptIn() { TLY::sharedInstance().setOptOut(false); }
    } optIn;
    tly.reset();
    auto tracker = tly.trackerWithTrackingId("UA-1");
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    auto store = tly.dispatcher()->dataStore();
    EXPECT_EQ(store->hitCount(), 1);
    tly.setOptOut(false);
    EXPECT_EQ(store->hitCount(), 1);
    tly.setOptOut(true);
    tlytest::drainAnalyticsThread();
    EXPECT_EQ(store->hitCount(), 0);
}

// Keeps what TLY forwards to its dispatcher.
class ForwardingSender : public tlytest::RecordingSender {
public:
    using RecordingSender::RecordingSender;
    double dispatchInterval() const override { return interval; }
    void setDispatchInterval(double seconds) override { interval = seconds; }
    void dispatchWithCompletionHandler(TLYDispatchCompletion completion) override {
        ++passes;
        if (completion) completion(TLYDispatchResult::Good);
    }
    double interval = 120.0;
    int passes = 0;
};

TEST_F(TLYSharedTest, SwitchesReachTheDispatcherAndTheConnectionClassWithTheirLetters) {
    TLY& tly = TLY::sharedInstance();
    auto store = TLYDataStore::dataStore();
    auto sender = std::make_shared<ForwardingSender>(store);
    TLY::setDispatcherFactory([sender] { return sender; });
    std::vector<bool> dryRuns;
    struct Restore {
        ~Restore() {
            TLY& tly = TLY::sharedInstance();
            tly.setUrlConnectionClass({[](bool dryRun) { TLYURLConnection::setDryRun(dryRun); }});
            tly.setDryRun(false);
            tly.setTrackUncaughtExceptions(false);
            TLY::setDispatcherFactory(nullptr);
            tly.reset();
        }
    } restore;
    tly.reset();
    TLYUsageTracker::getUsageSequence();

    // A new connection class is told the flag at once, and every change after.
    tly.setUrlConnectionClass({[&dryRuns](bool dryRun) { dryRuns.push_back(dryRun); }});
    tly.setDryRun(true);
    EXPECT_TRUE(tly.dryRun());
    EXPECT_EQ(dryRuns, (std::vector<bool>{false, true}));

    EXPECT_EQ(tly.dispatchInterval(), -1.0);  // the reset made the dispatcher to set it
    tly.setDispatchInterval(0);
    EXPECT_EQ(sender->interval, 0.0);
    tly.dispatch();
    int result = -1;
    tly.dispatchWithCompletionHandler([&result](TLYDispatchResult r) { result = int(r); });
    EXPECT_EQ(sender->passes, 2);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(tly.clientId(), store->clientId());
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".23ts");

    auto tracker = tly.trackerWithTrackingId("UA-1");
    tly.setDefaultTracker(tracker);
    tly.defaultTracker();
    tly.setOptOut(false);
    tly.optOut();
    tly.setTrackUncaughtExceptions(true);
    tly.trackUncaughtExceptions();
    tly.removeTrackerByName("UA-1");
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".npoqref7");
    // A reset records only the interval it sets: manual dispatch from now on.
    tly.reset();
    EXPECT_EQ(sender->interval, -1.0);
    EXPECT_EQ(TLYUsageTracker::getUsageSequence(), ".t");
    // With no dispatcher, a reset makes one to set it.
    sender->interval = 120.0;
    tly.reset();
    EXPECT_EQ(sender->interval, -1.0);
}

TEST_F(TLYSharedTest, ResetLeavesNoTrackersAndNoStoreFiles) {
    TLY& tly = TLY::sharedInstance();
    auto tracker = tly.trackerWithTrackingId("UA-1");
    tracker->send(TLYDictionaryBuilder::createScreenView().build());
    tlytest::drainAnalyticsThread();
    auto store = tly.dispatcher()->dataStore();
    ASSERT_TRUE(platform::foundation::FileManager::exists(libraryFile(kTLYStoreFileName)));
    Value firstInit = platform::foundation::UserDefaults::standard().objectForKey(kTLYFirstInitTimeStampKey);
    // Copies an earlier launch set aside go too.
    for (const char* aside : {".corrupt-1", ".corrupt-2-wal"})
        platform::foundation::FileManager::writeFileAtomically(libraryFile(kTLYOldStoreFileName) + aside,
                                                               std::string("old"));
    tly.reset();
    EXPECT_TRUE(tly.trackers().empty());
    EXPECT_FALSE(tly.defaultTracker());
    for (const char* name : {kTLYStoreFileName, kTLYOldStoreFileName}) {
        for (const char* suffix : {"", "-wal", "-shm", ".corrupt-1", ".corrupt-2-wal"})
            EXPECT_FALSE(platform::foundation::FileManager::exists(libraryFile(name) + suffix)) << name << suffix;
    }
    // The closed store no longer writes (it would recreate a deleted file).
    store->addHit(Value(Value::Dictionary{{"parameters", Value(Value::Dictionary{})}}));
    store->save();
    EXPECT_FALSE(platform::foundation::FileManager::exists(libraryFile(kTLYStoreFileName)));
    EXPECT_EQ(platform::foundation::UserDefaults::standard().objectForKey(kTLYFirstInitTimeStampKey), firstInit);
    // A new dispatcher comes with a new store.
    EXPECT_NE(tly.dispatcher()->dataStore(), store);
}

// CPU clock ticks (user + system) of the thread named "TLYThread".
long analyticsThreadTicks() {
    DIR* dir = opendir("/proc/self/task");
    long ticks = -1;
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        if (name != "TLYThread") continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        ticks = utime + stime;
    }
    if (dir) closedir(dir);
    return ticks;
}

TEST_F(TLYSharedTest, TheAnalyticsThreadSleepsWhileItHasNothingToDo) {
    tlytest::drainAnalyticsThread();
    long before = analyticsThreadTicks();
    ASSERT_GE(before, 0);
    // Real time on purpose: a spinning loop would burn about 50 ticks here.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(analyticsThreadTicks() - before, 2);
}

}  // namespace
