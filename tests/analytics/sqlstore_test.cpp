#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYSqlStore.h"
#include "dispatch_support.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/ChildTest.h"
#include "tests/support/Descriptors.h"
#include "tests/support/FailingRead.h"
#include "tests/support/ShellTools.h"

using platform::foundation::Clock;
using platform::foundation::ManualClock;

namespace {

class SqlStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>(1.7e9);
        Clock::setCurrent(clock_);
    }
    void TearDown() override { Clock::setCurrent(nullptr); }

    std::shared_ptr<TLYAnalyticsPropertiesStore> open() {
        return TLYAnalyticsPropertiesStore::initWithSqlStore(
            TLYSqlStore::initWithDatabaseName("tallymark-aux-v4.sql", dir_.path()));
    }
    std::string dbPath() const { return dir_.file("tallymark-aux-v4.sql"); }
    std::string sql(const std::string& query) const {
        return qmtest::run({"sqlite3", "-separator", "|", dbPath(), query}).out;
    }

    tlytest::TempDir dir_{tlytest::TempDir::kUnderTmp};  // one test's store is opened as another user
    std::shared_ptr<ManualClock> clock_;
};

}  // namespace

TEST_F(SqlStoreTest, HitNumbersStartAtZeroAndTheRowIsWhatTheShellReads) {
    auto store = open();
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "0");
    clock_->advance(2.5);
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "1");
    EXPECT_EQ(sql("SELECT tid, cid, hit_number, last_modified_time_since_1970, checked_iad_campaign FROM properties;"),
              "T|K|1|1700000002.5|0\n");
    EXPECT_EQ(sql(".schema properties"),
              "CREATE TABLE properties ('tid' TEXT PRIMARY KEY NOT NULL, 'cid' TEXT NOT NULL, 'hit_number' INTEGER "
              "NOT NULL, 'last_modified_time_since_1970' REAL NOT NULL, 'checked_iad_campaign' INTEGER NOT NULL);\n");
    EXPECT_EQ(store->propertiesTableUpsertSql(),
              "INSERT OR REPLACE INTO properties (tid, cid, hit_number, last_modified_time_since_1970, "
              "checked_iad_campaign) VALUES (?, ?, ?, ?, ?);");
    // The numbering survives a new process over the same file.
    store.reset();
    EXPECT_EQ(open()->nextHitNumberForTrackingId("T", "K"), "2");
}

TEST_F(SqlStoreTest, ANewClientIdEmptiesTheWholeTable) {
    auto store = open();
    store->nextHitNumberForTrackingId("T", "K");
    store->nextHitNumberForTrackingId("T", "K");
    store->nextHitNumberForTrackingId("U", "K");
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K2"), "0");
    EXPECT_EQ(sql("SELECT tid, cid, hit_number FROM properties ORDER BY tid;"), "T|K2|0\n");
    EXPECT_EQ(store->nextHitNumberForTrackingId("U", "K2"), "0");
}

TEST_F(SqlStoreTest, NumberingStopsAtTheLargest32BitValue) {
    auto store = open();
    store->nextHitNumberForTrackingId("T", "K");
    sql("UPDATE properties SET hit_number = 2147483646;");
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "2147483647");
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), std::nullopt);
    EXPECT_EQ(sql("SELECT hit_number FROM properties;"), "2147483647\n");
    EXPECT_EQ(store->nextHitNumberForTrackingId("", "K"), std::nullopt);
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", ""), std::nullopt);
}

TEST_F(SqlStoreTest, AFullTableRefusesEveryTrackerKnownOrNew) {
    auto store = open();
    store->nextHitNumberForTrackingId("T0", "K");
    sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
        "INSERT INTO properties SELECT 'T' || i, 'K', 5, 0, 0 FROM n;");
    ASSERT_EQ(store->trackerIdCount(), 1000);
    tlytest::LogCapture log;
    EXPECT_EQ(store->nextHitNumberForTrackingId("NEW", "K"), std::nullopt);
    EXPECT_EQ(log.count("WARNING: Tallymark 3.15 -[TLYAnalyticsPropertiesStore upsertPropertyRecord:]"), 1u);
    EXPECT_EQ(log.count("Reached properties storage limit"), 1u);
    EXPECT_EQ(store->nextHitNumberForTrackingId("T0", "K"), std::nullopt);
    EXPECT_EQ(store->nextHitNumberForTrackingId("T500", "K"), std::nullopt);
    EXPECT_EQ(log.count("Reached properties storage limit"), 3u);
    EXPECT_EQ(sql("SELECT hit_number FROM properties WHERE tid IN ('T0', 'T500') ORDER BY tid;"), "0\n5\n");
    // Another client identifier empties the table first.
    EXPECT_EQ(store->nextHitNumberForTrackingId("T501", "OTHER"), "0");
    EXPECT_EQ(store->trackerIdCount(), 1);
}

TEST_F(SqlStoreTest, ADamagedFileIsSetAsideAndReplacedByAnEmptyDatabase) {
    {
        auto store = open();
        store->nextHitNumberForTrackingId("T", "K");
    }
    const std::string damaged = "SQLite format 3" + std::string(1, '\0') + std::string(4000, '\x5a');
    std::ofstream(dbPath(), std::ios::binary | std::ios::trunc) << damaged;
    tlytest::LogCapture capture;
    auto store = open();
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "0");
    EXPECT_EQ(sql("SELECT tid, hit_number FROM properties;"), "T|0\n");
    EXPECT_EQ(qmtest::readAll(dbPath() + ".corrupt-1"), damaged);
    EXPECT_EQ(capture.count("Damaged database " + dbPath() + " moved to " + dbPath() + ".corrupt-1"), 1u);
}

TEST_F(SqlStoreTest, ALinkAtTheFileIsSetAsideWithALineNeverFollowed) {
    const std::string outside = dir_.file("outside.sql");
    ASSERT_TRUE(qmtest::run({"sqlite3", outside, "create table precious(x);"}).ok());
    ASSERT_EQ(::chmod(outside.c_str(), 0444), 0);
    const std::string before = qmtest::readAll(outside);
    for (const std::string& target : {outside, dir_.file("nowhere.sql")}) {
        std::filesystem::remove(dbPath());
        std::filesystem::create_symlink(target, dbPath());
        tlytest::LogCapture capture;
        auto store = open();
        EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "0") << target;
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dbPath()))) << target;
        EXPECT_EQ(capture.count("Damaged database " + dbPath() + " moved to "), 1u) << target;
    }
    EXPECT_EQ(qmtest::readAll(outside), before);
    EXPECT_EQ(qmtest::run({"stat", "-c", "%a", outside}).out, "444\n");
    EXPECT_FALSE(std::filesystem::exists(outside + "-wal") || std::filesystem::exists(dir_.file("nowhere.sql")));
}

TEST_F(SqlStoreTest, ADamagedLogIsSetAsideWithALine) {
    open()->nextHitNumberForTrackingId("T", "K");
    std::ofstream(dbPath() + "-wal") << std::string(100, '?');
    tlytest::LogCapture capture;
    auto store = open();
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "1");
    EXPECT_EQ(qmtest::readAll(dbPath() + "-wal.corrupt-1"), std::string(100, '?'));
    EXPECT_EQ(capture.count("damaged " + dbPath() + "-wal moved to " + dbPath() + "-wal.corrupt-1"), 1u);
}

TEST_F(SqlStoreTest, ADanglingLinkAtTheLogOrIndexIsSetAsideAloneAndTheNumbersGoOn) {
    open()->nextHitNumberForTrackingId("T", "K");
    int number = 0;
    for (const std::string suffix : {"-shm", "-wal"}) {
        std::filesystem::create_symlink(dir_.file("nowhere"), dbPath() + suffix);
        tlytest::LogCapture capture;
        auto store = open();
        EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), std::to_string(++number)) << suffix;
        EXPECT_EQ(capture.count("a link at " + dbPath() + suffix + " moved to " + dbPath() + suffix + ".corrupt-1"), 1u)
            << suffix;
        EXPECT_EQ(capture.count("Damaged database"), 0u) << suffix;
    }
    EXPECT_FALSE(std::filesystem::exists(dbPath() + ".corrupt-1"));
}

TEST_F(SqlStoreTest, ATableMissingAColumnIsDroppedAndCreatedNew) {
    sql("CREATE TABLE properties (tid TEXT PRIMARY KEY NOT NULL, cid TEXT NOT NULL, hit_number INTEGER NOT NULL, "
        "last_modified_time_since_1970 REAL NOT NULL); INSERT INTO properties VALUES ('T', 'K', 41, 0);");
    auto store = open();
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "0");
    EXPECT_NE(sql(".schema properties").find("'checked_iad_campaign' INTEGER NOT NULL"), std::string::npos);
}

TEST_F(SqlStoreTest, AVanishedOrLockedFileIsReopened) {
    auto store = open();
    store->nextHitNumberForTrackingId("T", "K");
    ASSERT_EQ(::unlink(dbPath().c_str()), 0);
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "0");
    EXPECT_EQ(sql("SELECT hit_number FROM properties;"), "0\n");

    store.reset();
    ASSERT_EQ(::chmod(dbPath().c_str(), 0444), 0);
    store = open();
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "1");
    struct stat st {};
    ASSERT_EQ(::stat(dbPath().c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
}

TEST_F(SqlStoreTest, TheAttributionFlagIsSetOncePerTrackerAcrossLaunches) {
    auto store = open();
    EXPECT_FALSE(store->setCheckedIAdCampaignForTrackingId("T"));  // no record yet
    store->nextHitNumberForTrackingId("T", "K");
    EXPECT_TRUE(store->setCheckedIAdCampaignForTrackingId("T"));
    EXPECT_FALSE(store->setCheckedIAdCampaignForTrackingId("T"));
    store.reset();
    store = open();
    EXPECT_FALSE(store->setCheckedIAdCampaignForTrackingId("T"));
    EXPECT_EQ(sql("SELECT checked_iad_campaign FROM properties;"), "1\n");
    // Numbering keeps the flag.
    EXPECT_EQ(store->nextHitNumberForTrackingId("T", "K"), "1");
    EXPECT_EQ(sql("SELECT checked_iad_campaign FROM properties;"), "1\n");
}

TEST_F(SqlStoreTest, SqlStorePrimitives) {
    auto sqlStore = TLYSqlStore::initWithDatabaseName("other.sql", dir_.path());
    ASSERT_TRUE(sqlStore);
    // Each open is announced, with no object.
    std::vector<const void*> senders;
    auto observer = platform::foundation::NotificationCenter::defaultCenter().addObserver(
        kTLYSqlStoreDidOpenDatabaseNotification, nullptr,
        [&](const platform::foundation::Notification& n) { senders.push_back(n.object); });
    ASSERT_TRUE(sqlStore->ensureOpenDatabase());
    EXPECT_EQ(senders, std::vector<const void*>{nullptr});
    EXPECT_FALSE(TLYSqlStore::initWithDatabaseName("", dir_.path()));
    EXPECT_EQ(sqlStore->rowCountForTableWithName("missing"), 0);
    EXPECT_FALSE(sqlStore->tableExists("missing"));
    EXPECT_TRUE(sqlStore->dropTableWithName("missing"));
    EXPECT_EQ(sqlStore->executeSql("CREATE TABLE t (a)"), 101);
    EXPECT_EQ(sqlStore->executeSql("INSERT INTO t VALUES (1)"), 101);
    EXPECT_EQ(sqlStore->executeSql("this is not sql"), 1);
    EXPECT_EQ(sqlStore->rowCountForTableWithName("t"), 1);
    EXPECT_TRUE(sqlStore->tableExists("t"));
    EXPECT_TRUE(sqlStore->dropTableWithName("t"));
    EXPECT_FALSE(sqlStore->tableExists("t"));
    EXPECT_TRUE(sqlStore->closeAndDeleteDatabase());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("other.sql")));
}

TEST_F(SqlStoreTest, AFileAnotherConnectionHoldsIsWaitedForNotSetAside) {
    // A first launch beside another: the other has just made the file and holds it.
    tlytest::LogCapture capture;
    const std::string peer = dir_.file("lock.py");
    std::ofstream(peer) << "import sqlite3, sys, time\n"
                           "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                           "db.execute('BEGIN EXCLUSIVE')\ndb.execute('CREATE TABLE other (x)')\n"
                           "print('locked', flush=True)\ntime.sleep(0.5)\ndb.execute('COMMIT')\n";
    qmtest::Started holder({"python3", peer, dbPath()});
    ASSERT_EQ(holder.line(), "locked\n");
    EXPECT_EQ(open()->nextHitNumberForTrackingId("T", "K"), "0");
    holder.wait();
    EXPECT_FALSE(std::filesystem::exists(dbPath() + ".corrupt-1"));
    EXPECT_EQ(capture.count("Damaged database"), 0u);
    EXPECT_EQ(sql("SELECT count(*) FROM other;"), "0\n");
}

TEST_F(SqlStoreTest, AFileThatCannotBeOpenedForWantOfDescriptorsIsLeftAsItIs) {
    open()->nextHitNumberForTrackingId("T", "K");
    for (int spare = 0; spare <= 6; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors left");
        const pid_t child = qmtest::forkShortOfDescriptors(spare, [&] {
            tlytest::LogCapture capture;
            auto sqlStore = TLYSqlStore::initWithDatabaseName("tallymark-aux-v4.sql", dir_.path());
            const bool opened = sqlStore->ensureOpenDatabase();
            sqlStore->ensureOpenDatabase();
            const size_t said = capture.count("; it is left as it is");
            return opened || said == 1 ? 0 : 1;
        });
        ASSERT_GE(child, 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path();
    }
    EXPECT_EQ(sql("SELECT tid, hit_number FROM properties;"), "T|0\n");
}

// A locked file the process may not unlock (another user's) stays as it is,
// and the line that says so gives the reason. Root may unlock anything, so
// the store is opened by a child that has become another user; only root can
// become one (the user namespace of a user who is not root maps that user
// alone), so only root runs this, and its name says so in ctest's list of
// tests that did not run.
TEST_F(SqlStoreTest, AsAnotherUserWhichNeedsRootAFileThatCannotBeUnlockedIsLeftAsItIs) {
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: only root can become another user, whose file this one may not unlock";
    open()->nextHitNumberForTrackingId("T", "K");
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dbPath().c_str(), 0444), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        tlytest::LogCapture capture;
        auto sqlStore = TLYSqlStore::initWithDatabaseName("tallymark-aux-v4.sql", dir_.path());
        // However often it is tried, one line names it.
        if (sqlStore->ensureOpenDatabase() || sqlStore->ensureOpenDatabase()) _exit(4);
        _exit(capture.count("Failed to unlock database file: " + sqlStore->databasePath() +
                            " (Operation not permitted); it is left as it is") == 1 &&
                      capture.count(sqlStore->databasePath()) == 1
                  ? 0
                  : 5);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st {};
    ASSERT_EQ(stat(dbPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(sql("SELECT tid, hit_number FROM properties;"), "T|0\n");
}

// The store in QM_STORE_DIR, used once by a fresh copy of this program: the
// parent has one of its reads fail.
QM_CHILD_TEST(SqlStoreChild, UsedOnce) {
    const char* dir = getenv("QM_STORE_DIR");
    ASSERT_TRUE(dir);
    TLYAnalyticsPropertiesStore::initWithSqlStore(TLYSqlStore::initWithDatabaseName("tallymark-aux-v4.sql", dir))
        ->nextHitNumberForTrackingId("T", "K");
}

// A read that fails (EIO) at any one point of the store's use is no damage:
// nothing is set aside, and the numbering goes on from where it was.
TEST_F(SqlStoreTest, AReadThatFailsAnywhereSetsNothingAsideAndKeepsTheNumbering) {
    if (const std::string why = qmtest::failingReadUnavailable(); !why.empty()) GTEST_SKIP() << why;
    auto store = open();
    for (int i = 0; i < 5; ++i) store->nextHitNumberForTrackingId("T", "K");
    store.reset();
    ASSERT_EQ(sql("SELECT tid, cid, hit_number FROM properties;"), "T|K|4\n");
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string trace = dir_.file("trace.txt");
    int n = 1, last = 4;
    for (;; ++n) {
        SCOPED_TRACE("the read that fails: pread64 number " + std::to_string(n));
        std::filesystem::remove(trace);
        std::vector<std::string> args = qmtest::withFailingRead(n, trace);
        args.insert(args.end(), {self, "--gtest_filter=SqlStoreChild.UsedOnce"});
        const pid_t pid = qmtest::spawnLogged(args, qmtest::headlessEnvironment({"QM_STORE_DIR=" + dir_.path()}),
                                              dir_.file("output.txt"));
        ASSERT_GT(pid, 0);
        qmtest::waitExit(pid, 120);
        const std::string said = qmtest::readAll(dir_.file("output.txt"));
        ASSERT_TRUE(std::filesystem::exists(trace)) << said;
        if (!qmtest::aReadFailed(trace)) break;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos) << e.path() << said;
        const std::string row = sql("SELECT tid, cid, hit_number FROM properties;");
        const int now = row.rfind("T|K|", 0) == 0 ? std::atoi(row.c_str() + 4) : -1;
        EXPECT_GE(now, last) << row << said;
        last = std::max(last, now);
    }
    EXPECT_GT(n, 5);  // reads failed all through its use
}

// A log with a second name elsewhere that cannot be given a copy of its own
// (it may not be read) keeps the store closed, as it is: one line, in the
// store's words, naming the log and the real reason, however often the store
// is tried. Root may read anything, so as root the store is opened by a child
// that has become another user.
TEST_F(SqlStoreTest, ALogThatCannotBeGivenACopyOfItsOwnIsSaidOnceWithTheRealReason) {
    open()->nextHitNumberForTrackingId("T", "K");
    const std::string wal = dbPath() + "-wal", outside = dir_.file("outside-wal");
    std::ofstream(outside).flush();
    ASSERT_EQ(::link(outside.c_str(), wal.c_str()), 0);
    ASSERT_EQ(::chmod(wal.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(3);
        tlytest::LogCapture capture;
        auto sqlStore = TLYSqlStore::initWithDatabaseName("tallymark-aux-v4.sql", dir_.path());
        if (sqlStore->ensureOpenDatabase() || sqlStore->ensureOpenDatabase() || sqlStore->tableExists("properties") ||
            sqlStore->rowCountForTableWithName("properties"))
            _exit(4);
        _exit(capture.lines().size() == 1 &&
                      capture.count("Failed to open database " + dbPath() + " (" + wal +
                                    " has a second name elsewhere and cannot be given a copy of its own: Permission "
                                    "denied); it is left as it is") == 1
                  ? 0
                  : 5);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::filesystem::hard_link_count(outside), 2u);
    EXPECT_FALSE(std::filesystem::exists(wal + ".corrupt-1"));
    ASSERT_EQ(::chmod(wal.c_str(), 0600), 0);
    EXPECT_EQ(sql("SELECT tid, hit_number FROM properties;"), "T|0\n");
}

TEST_F(SqlStoreTest, AFileLogOrIndexWithAnotherNameElsewhereGetsACopyOfItsOwnAndThatFileKeepsItsBytes) {
    open()->nextHitNumberForTrackingId("T", "K");
    // Someone else's database, and empty files SQLite would fill as its log and index.
    const std::string theirs = dir_.file("theirs.sql");
    qmtest::run({"sqlite3", theirs, "create table precious(x);"});
    for (const std::string suffix : {"-wal", "-shm", ""}) {
        SCOPED_TRACE("at " + dbPath() + suffix);
        const std::string outside = suffix.empty() ? theirs : dir_.file("outside" + suffix);
        if (!suffix.empty()) std::ofstream(outside).flush();
        // Theirs read-only, as a locked store is: ours is unlocked, theirs never.
        const unsigned mode = suffix.empty() ? 0444 : 0644;
        ASSERT_EQ(::chmod(outside.c_str(), mode), 0);
        const std::string before = qmtest::readAll(outside);
        std::filesystem::remove(dbPath() + suffix);
        ASSERT_EQ(::link(outside.c_str(), (dbPath() + suffix).c_str()), 0);
        {
            auto store = open();
            EXPECT_TRUE(store->nextHitNumberForTrackingId("T", "K"));
        }
        EXPECT_EQ(qmtest::readAll(outside), before);
        EXPECT_EQ(std::filesystem::hard_link_count(outside), 1u);
        EXPECT_EQ(std::filesystem::hard_link_count(dbPath()), 1u);
        struct stat st {};
        ASSERT_EQ(::stat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_FALSE(std::filesystem::exists(dbPath() + suffix + ".corrupt-1"));
    }
}
