#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analytics/TLYDataStore.h"
#include "core_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/store/Context.h"
#include "platform/ui/NotificationNames.h"
#include "tests/support/ChildTest.h"
#include "tests/support/MountNamespace.h"

using platform::foundation::Error;
using platform::foundation::Value;
namespace fs = std::filesystem;

namespace {

Value hit(const std::string& screen, double timestamp = 0) {
    Value h{Value::Dictionary{}};
    h["parameters"] = Value(Value::Dictionary{{"&t", Value("screenview")}, {"&cd", Value(screen)}});
    if (timestamp) h["timestamp"] = Value::date(timestamp);
    return h;
}

std::vector<std::string> screens(TLYDataStore& store) {
    std::vector<std::string> out;
    auto hits = store.fetchHitsWithLimit(0);
    if (!hits) return {"<fetch failed>"};
    for (const auto& h : *hits) out.push_back(h["parameters"]["&cd"].stringValue());
    return out;
}

// The part of a test that runs in a child process, chosen by the environment.
QM_CHILD_TEST(StoreChild, Run) {
    const char* mode = std::getenv("TLY_STORE_CHILD");
    ASSERT_TRUE(mode) << "runs only as a child of the store tests";
    platform::foundation::Sandbox::setHome(std::getenv("TLY_STORE_HOME"));
    auto store = TLYDataStore::dataStore();
    std::string m = mode;
    if (m == "write") {
        store->addHit(hit("Child A", 1000));
        store->addHit(hit("Child B", 2000));
        ASSERT_TRUE(store->save());
        std::ofstream(std::string(std::getenv("TLY_STORE_HOME")) + "/client-id") << store->clientId();
    } else if (m == "few-descriptors") {
        // As many descriptors left as the parent says, the store's own opening
        // included; the analytics thread is running already.
        tlytest::drainAnalyticsThread();
        const rlimit low{256, 256};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        std::vector<int> taken;
        for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
        for (int i = 0; i < std::atoi(std::getenv("TLY_STORE_SPARE")) && !taken.empty(); ++i) {
            close(taken.back());
            taken.pop_back();
        }
        auto opened = TLYDataStore::dataStore();
        opened->hitCount();
        tlytest::drainAnalyticsThread();
        opened->close();
    } else if (m == "bound-companion") {
        // Started in a mount namespace where a FIFO is bound at the log: it cannot be moved.
        tlytest::LogCapture capture;
        auto opened = TLYDataStore::dataStore();
        opened->hitCount();
        tlytest::drainAnalyticsThread();
        std::ofstream(std::string(std::getenv("TLY_STORE_HOME")) + "/log")
            << capture.count("Error creating database") << " " << capture.count("cannot be moved aside") << " "
            << capture.count("Corrupted database");
    } else if (m == "kill") {
        store->addHit(hit("Saved", 1000));
        ASSERT_TRUE(store->save());
        store->addHit(hit("Unsaved", 2000));
        tlytest::drainAnalyticsThread();
        raise(SIGKILL);
    }
}

class StoreTest : public tlytest::HomeTest {
protected:
    // Runs StoreChild.Run in a new process of this program, over this home.
    // With `bind`, in a mount namespace of its own where the file `bind[0]`
    // stands at `bind[1]`.
    int runChild(const std::string& mode, const std::vector<std::string>& env = {},
                 const std::vector<std::string>& bind = {}) {
        std::vector<std::string> bound;
        std::vector<char*> boundArgv;
        if (!bind.empty()) {
            bound = qmtest::MountNamespace::command(
                "mount --bind \"$0\" \"$1\" && shift && exec \"$@\"", bind,
                {fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=StoreChild.Run"});
            for (auto& word : bound) boundArgv.push_back(word.data());
            boundArgv.push_back(nullptr);
        }
        pid_t child = fork();
        if (child == 0) {
            for (const auto& entry : env) putenv(strdup(entry.c_str()));
            setenv("TLY_STORE_CHILD", mode.c_str(), 1);
            setenv("TLY_STORE_HOME", home.path().c_str(), 1);
            if (!bind.empty()) {
                execvp(boundArgv[0], boundArgv.data());
                _exit(127);
            }
            execl("/proc/self/exe", "test_analytics", "--gtest_filter=StoreChild.Run", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }
};

TEST_F(StoreTest, HitsAndTheClientIdSurviveARestartAndReadAsAPeerWould) {
    int status = runChild("write");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string childClientId = *platform::foundation::FileManager::readFile(home.file("client-id"));
    ASSERT_EQ(childClientId.size(), 36u);

    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(store->clientId(), childClientId);
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"Child A", "Child B"}));
    auto hits = store->fetchHitsWithLimit(1);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0]["timestamp"], Value::date(1000));
    EXPECT_TRUE((*hits)[0]["objectID"].isString());

    EXPECT_EQ(python(kTLYStoreFileName,
                     "for ts, p in db.execute('select timestamp, parameters from TLYHit order by timestamp'):\n"
                     "    print(ts, plistlib.loads(p)['&cd'])"),
              "1000.0 Child A\n2000.0 Child B\n");
    EXPECT_EQ(
        python(kTLYOldStoreFileName,
               "print(db.execute(\"select string, tlyVersion from TLYProperty where name='ClientId'\").fetchone())"),
        "('" + childClientId + "', '3.15')\n");
}

TEST_F(StoreTest, AKilledProcessLosesOnlyTheHitItHadNotSaved) {
    int status = runChild("kill");
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(python(kTLYStoreFileName,
                     "print([plistlib.loads(r[0])['&cd'] for r in db.execute('select parameters from TLYHit')])"),
              "['Saved']\n");
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"Saved"}));
}

TEST_F(StoreTest, ASaveKeepsTheNewestTwoThousandHits) {
    auto store = TLYDataStore::dataStore();
    for (int i = 0; i < 2005; ++i) store->addHit(hit("s" + std::to_string(i), 1000 + i));
    EXPECT_EQ(store->hitCount(), 2005);
    Error error;
    ASSERT_TRUE(store->save(&error)) << error.description() << error.userInfo.description();
    EXPECT_EQ(store->hitCount(), 2000);
    auto list = screens(*store);
    ASSERT_EQ(list.size(), 2000u);
    EXPECT_EQ(list.front(), "s5");
    EXPECT_EQ(list.back(), "s2004");
    EXPECT_EQ(python(kTLYStoreFileName, "print(db.execute('select count(*) from TLYHit').fetchone()[0])"), "2000\n");
}

TEST_F(StoreTest, HitsGetTheTimeTheyWereAddedAndAreDeletedById) {
    auto clock = std::make_shared<platform::foundation::ManualClock>(1.5e9);
    platform::foundation::Clock::setCurrent(clock);
    auto store = TLYDataStore::dataStore();
    store->addHit(hit("a"));
    clock->advance(10);
    store->addHit(hit("b"));
    store->addHit(hit("c", 1.0));
    auto hits = store->fetchHitsWithLimit(0);
    platform::foundation::Clock::setCurrent(nullptr);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 3u);
    EXPECT_EQ((*hits)[0]["parameters"]["&cd"], Value("c"));
    EXPECT_EQ((*hits)[1]["timestamp"], Value::date(1.5e9));
    EXPECT_EQ((*hits)[2]["timestamp"], Value::date(1.5e9 + 10));
    EXPECT_TRUE(
        store->deleteHitsWithIds({(*hits)[0]["objectID"], (*hits)[2]["objectID"], Value("qmstore://x/TLYHit/p1")}));
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(store->deleteAllHits());
    EXPECT_EQ(store->hitCount(), 0);
    ASSERT_TRUE(store->save());
}

TEST_F(StoreTest, OldStoreHitsAreDrainedFirstAndOldOnesPurged) {
    double now = platform::foundation::Clock::current().now();
    {
        // A store of the previous format with two recent hits and one of 31 days ago.
        platform::store::Context old(TLYCoreDataUtil::oldModel());
        platform::foundation::FileManager::createDirectory(platform::foundation::Sandbox::library());
        ASSERT_TRUE(old.addStore(libraryFile(kTLYOldStoreFileName)));
        auto add = [&](double ts, const std::string& url, const std::string& screen) {
            Value params(Value::Dictionary{{"t", Value("screenview")}, {"cd", Value(screen)}});
            Value::Dictionary row{{"timestamp", Value::date(ts)},
                                  {"parametersData", Value(params.toBinaryPropertyList())},
                                  {"dispatchUrl", Value(url)},
                                  {"tlyVersion", Value("2.0")}};
            ASSERT_TRUE(old.insert("TLYHit", row));
        };
        add(now - 31 * 86400.0, "https://c/collect", "stale");
        add(now - 100, "http://c/collect", "old plain");
        add(now - 50, "https://c/collect", "old secure");
        ASSERT_TRUE(old.save());
    }
    auto store = TLYDataStore::dataStore();
    store->addHit(hit("new", now));
    ASSERT_TRUE(store->save());
    EXPECT_TRUE(store->isDrainingOldStore());
    EXPECT_EQ(store->hitCount(), 3);
    auto hits = store->fetchHitsWithLimit(0);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 2u);
    const Value& plain = (*hits)[0];
    EXPECT_EQ(plain["parameters"]["&cd"], Value("old plain"));
    EXPECT_EQ(plain["parameters"]["useSecure"], Value("0"));
    EXPECT_EQ(plain["parameters"]["tlyVersion"], Value("2.0"));
    EXPECT_EQ(plain["dispatchUrl"], Value("http://c/collect"));
    EXPECT_FALSE((*hits)[1]["parameters"].contains("useSecure"));

    ASSERT_TRUE(store->deleteHitsWithIds({(*hits)[0]["objectID"], (*hits)[1]["objectID"]}));
    ASSERT_TRUE(store->save());
    EXPECT_FALSE(store->isDrainingOldStore());
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"new"}));
}

TEST_F(StoreTest, AnOldStoreThatCountsNoHitsIsLeftWhateverTheSaveReported) {
    {
        platform::store::Context old(TLYCoreDataUtil::oldModel());
        platform::foundation::FileManager::createDirectory(platform::foundation::Sandbox::library());
        ASSERT_TRUE(old.addStore(libraryFile(kTLYOldStoreFileName)));
        Value params(Value::Dictionary{{"cd", Value("old")}});
        ASSERT_TRUE(old.insert("TLYHit", {{"timestamp", Value::date(platform::foundation::Clock::current().now())},
                                          {"parametersData", Value(params.toBinaryPropertyList())},
                                          {"dispatchUrl", Value("https://c/collect")},
                                          {"tlyVersion", Value("2.0")}}));
        ASSERT_TRUE(old.save());
    }
    auto store = TLYDataStore::dataStore();
    ASSERT_TRUE(store->isDrainingOldStore());
    auto hits = store->fetchHitsWithLimit(0);
    ASSERT_TRUE(hits && hits->size() == 1u);
    // The new store can no longer be counted, so the save reports an error.
    EXPECT_EQ(python(kTLYStoreFileName, "db.execute('DROP TABLE TLYHit'); db.commit()"), "");
    ASSERT_TRUE(store->deleteHitsWithIds({(*hits)[0]["objectID"]}));
    Error error;
    EXPECT_FALSE(store->save(&error));
    EXPECT_FALSE(store->isDrainingOldStore());
}

TEST_F(StoreTest, AStoreThatCannotBeOpenedIsKeptAsideAndOpenedAfresh) {
    // A folder where each store should be: kept aside, and new files hold the hits.
    tlytest::LogCapture capture;
    for (const char* name : {kTLYOldStoreFileName, kTLYStoreFileName}) {
        fs::create_directories(libraryFile(name));
        std::ofstream(libraryFile(std::string(name) + "/keep")) << "mine";
    }
    auto store = TLYDataStore::dataStore();
    store->addHit(hit("new"));
    ASSERT_TRUE(store->save());
    EXPECT_FALSE(store->isDrainingOldStore());
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"new"}));
    for (const char* name : {kTLYOldStoreFileName, kTLYStoreFileName}) {
        EXPECT_EQ(*platform::foundation::FileManager::readFile(libraryFile(std::string(name) + ".corrupt-1/keep")),
                  "mine");
        EXPECT_EQ(capture.count(std::string("Corrupted database with URL file://") + libraryFile(name)), 1u);
    }
    EXPECT_EQ(capture.count("Error creating database"), 0u);
}

TEST_F(StoreTest, ADanglingLinkAtTheLogOrIndexCostsNoStoredHitLaunchAfterLaunch) {
    int status = runChild("write");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string file = libraryFile(kTLYStoreFileName);
    // More launches than set-aside copies are kept: none may cost the hits.
    for (int launch = 1; launch <= 4; ++launch) {
        for (const std::string suffix : {"-shm", "-wal"}) {
            SCOPED_TRACE(suffix + " at launch " + std::to_string(launch));
            fs::create_symlink(home.file("nowhere"), file + suffix);
            tlytest::LogCapture capture;
            auto store = TLYDataStore::dataStore();
            EXPECT_EQ(screens(*store), (std::vector<std::string>{"Child A", "Child B"}));
            store->close();
            EXPECT_EQ(capture.count("a link at " + file + suffix + " moved to " + file + suffix + ".corrupt-"), 1u);
            EXPECT_EQ(capture.count("Error creating database"), 0u);
            EXPECT_FALSE(fs::exists(file + ".corrupt-1"));
        }
    }
    EXPECT_EQ(python(kTLYStoreFileName,
                     "print([plistlib.loads(p)['&cd'] for (p,) in db.execute('select parameters from TLYHit')])"),
              "['Child A', 'Child B']\n");
}

TEST_F(StoreTest, AHomeReachedThroughALinkedFolderKeepsItsHitsLaunchAfterLaunch) {
    const std::string real = home.file("real"), linked = home.file("linked");
    fs::create_directories(real);
    fs::create_directory_symlink(real, linked);
    ASSERT_TRUE(platform::foundation::Sandbox::setHome(linked + "/home"));
    tlytest::LogCapture capture;
    std::vector<std::string> expected;
    for (int launch = 1; launch <= 3; ++launch) {
        SCOPED_TRACE(launch);
        auto store = TLYDataStore::dataStore();
        store->addHit(hit("launch " + std::to_string(launch)));
        ASSERT_TRUE(store->save());
        expected.push_back("launch " + std::to_string(launch));
        EXPECT_EQ(screens(*store), expected);
        store->close();
    }
    for (const auto& e : fs::recursive_directory_iterator(real))
        EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
    EXPECT_EQ(capture.count("Corrupted database"), 0u);
    EXPECT_EQ(capture.count("Error creating database"), 0u);
}

TEST_F(StoreTest, ALaunchShortOfDescriptorsLeavesTheStoreAndItsHits) {
    ASSERT_EQ(runChild("write"), 0);
    const std::string file = libraryFile(kTLYStoreFileName);
    // However far each gets, none sets anything aside.
    for (int spare = 0; spare <= 10; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors left");
        runChild("few-descriptors", {"TLY_STORE_SPARE=" + std::to_string(spare)});
        for (const auto& e : fs::directory_iterator(platform::foundation::Sandbox::library()))
            EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
    }
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"Child A", "Child B"}));
}

TEST_F(StoreTest, ALogThatCannotBeMovedAsideLeavesTheStoreWhereItIs) {
    ASSERT_EQ(runChild("write"), 0);
    const std::string file = libraryFile(kTLYStoreFileName);
    // A link at the log, to be set aside where a copy with a ten-digit number
    // already stands (a folder, with something in it).
    fs::create_symlink(home.file("nowhere"), file + "-wal");
    std::ofstream(file + "-wal.corrupt-999999999") << "older";
    fs::create_directories(file + "-wal.corrupt-1000000000");
    std::ofstream(file + "-wal.corrupt-1000000000/keep") << "newer";
    {
        tlytest::LogCapture capture;
        auto store = TLYDataStore::dataStore();
        EXPECT_EQ(screens(*store), (std::vector<std::string>{"Child A", "Child B"}));
        store->close();
        EXPECT_EQ(capture.count("a link at " + file + "-wal moved to " + file + "-wal.corrupt-1000000001"), 1u);
    }
    EXPECT_FALSE(fs::exists(file + ".corrupt-1"));
    EXPECT_EQ(*platform::foundation::FileManager::readFile(file + "-wal.corrupt-1000000000/keep"), "newer");

    // One that truly cannot be moved: the store stays closed for the launch, with its hits.
    const std::string fifo = home.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(file + "-wal").flush();
    if (const std::string why = qmtest::MountNamespace::unavailable(); !why.empty()) GTEST_SKIP() << why;
    const int status = runChild("bound-companion", {}, {fifo, file + "-wal"});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // One line for each store on it (the test's, TLY's own), saying why.
    int opened = 0, said = 0, corrupted = -1;
    std::istringstream(*platform::foundation::FileManager::readFile(home.file("log"))) >> opened >> said >> corrupted;
    EXPECT_GE(opened, 1);
    EXPECT_EQ(said, opened);
    EXPECT_EQ(corrupted, 0);
    EXPECT_FALSE(fs::exists(file + ".corrupt-1"));
    fs::remove(file + "-wal");
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"Child A", "Child B"}));
}

TEST_F(StoreTest, ACorruptStoreIsKeptAsideAndRecreatedEmpty) {
    tlytest::LogCapture capture;
    platform::foundation::FileManager::createDirectory(platform::foundation::Sandbox::library());
    std::ofstream(libraryFile(kTLYStoreFileName)) << std::string(4096, '?');
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(store->hitCount(), 0);
    store->addHit(hit("after"));
    ASSERT_TRUE(store->save());
    EXPECT_EQ(*platform::foundation::FileManager::readFile(libraryFile(kTLYStoreFileName) + ".corrupt-1"),
              std::string(4096, '?'));
    EXPECT_EQ(capture.count("Corrupted database with URL file://" + libraryFile(kTLYStoreFileName)), 1u);
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"after"}));
}

TEST_F(StoreTest, PropertiesPersistAndResigningSaves) {
    {
        auto store = TLYDataStore::dataStore();
        EXPECT_FALSE(store->hashedIdfa());
        EXPECT_EQ(store->idfaChangeCount(), 0);
        store->setHashedIdfa(std::string("abc"));
        store->setIdfaChangeCount(3);
        store->setLastChangeTimeStamp(1234.0);
        store->addHit(hit("pending"));
        platform::foundation::NotificationCenter::defaultCenter().post(
            platform::ui::kApplicationWillResignActiveNotification);
    }
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(store->hashedIdfa(), "abc");
    EXPECT_EQ(store->idfaChangeCount(), 3);
    EXPECT_EQ(store->lastChangeTimeStamp(), 1234.0);
    EXPECT_EQ(screens(*store), (std::vector<std::string>{"pending"}));
    // A store that is gone no longer hears the notification.
    store.reset();
    tlytest::drainAnalyticsThread();
    platform::foundation::NotificationCenter::defaultCenter().post(platform::ui::kApplicationWillTerminateNotification);
}

TEST_F(StoreTest, PropertiesSetRightAfterCreationOutliveTheSetUp) {
    {
        auto store = TLYDataStore::dataStore();
        store->setIdfaChangeCount(3);
        store->setLastChangeTimeStamp(1234.0);
        store->setHashedIdfa(std::string("abc"));
        store->setClientId("client-1");
        EXPECT_EQ(store->idfaChangeCount(), 3);
        EXPECT_EQ(store->lastChangeTimeStamp(), 1234.0);
        EXPECT_EQ(store->hashedIdfa(), "abc");
        EXPECT_EQ(store->clientId(), "client-1");
    }
    auto store = TLYDataStore::dataStore();
    EXPECT_EQ(store->idfaChangeCount(), 3);
    EXPECT_EQ(store->clientId(), "client-1");
}

TEST_F(StoreTest, ATaskThatThrowsBecomesAnError) {
    auto store = TLYDataStore::dataStore();
    Error error;
    Value result = store->performBlockAndWait(
        [](Error*) -> Value { platform::foundation::Exception::raise("TestException", "inside"); }, &error);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(error.domain, platform::store::kSQLiteErrorDomain);
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.userInfo["exception"].stringValue().rfind("TestException", 0), 0u);
    // A hit with a key the entity does not know is refused the same way.
    tlytest::LogCapture capture;
    Value odd = hit("odd");
    odd["colour"] = "red";
    store->addHit(odd);
    EXPECT_EQ(capture.count("Datastore error: "), 1u);
    EXPECT_EQ(store->hitCount(), 0);
}

}  // namespace
