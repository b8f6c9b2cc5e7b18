// The connection shared by the stores: what it syncs when it makes a store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/store/Database.h"

using platform::store::Database;

namespace {

// The default file system, counting the syncs of every file it opens.
std::atomic<int> gSyncs{0};
sqlite3_vfs gCounting;
sqlite3_io_methods gCountingFile;
const sqlite3_io_methods* gRealFile = nullptr;

int countingSync(sqlite3_file* f, int flags) {
    ++gSyncs;
    return gRealFile->xSync(f, flags);
}

int countingOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    auto* real = static_cast<sqlite3_vfs*>(vfs->pAppData);
    int rc = real->xOpen(real, name, f, flags, outFlags);
    if (rc == SQLITE_OK && f->pMethods) {
        gRealFile = f->pMethods;  // one kind of file on one default file system
        gCountingFile = *f->pMethods;
        gCountingFile.xSync = countingSync;
        f->pMethods = &gCountingFile;
    }
    return rc;
}

const char* countingVfs() {
    static const bool registered = [] {
        sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
        gCounting = *real;
        gCounting.zName = "qm-counting";
        gCounting.pAppData = real;
        gCounting.xOpen = countingOpen;
        return sqlite3_vfs_register(&gCounting, 0) == SQLITE_OK;
    }();
    return registered ? "qm-counting" : nullptr;
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qm-database-XXXXXX";
        dir_ = mkdtemp(pattern);
        ASSERT_TRUE(countingVfs());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_;
};

int64_t synchronousLevel(Database& db) {
    auto level = db.prepare("PRAGMA synchronous");
    return level && level.step() == SQLITE_ROW ? level.int64Column(0) : -1;
}

}  // namespace

TEST_F(DatabaseTest, MakingAStoreSyncsNothingOnAnEmptyFileAndWhatItUsedToElsewhere) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    {
        Database db;
        ASSERT_EQ(SQLITE_OK, db.open("file:" + dir_ + "/made.sql?vfs=qm-counting", flags));
        const int64_t level = synchronousLevel(db);
        ASSERT_GT(level, 0);
        gSyncs = 0;
        // The first header and schema of a rollback-journal store, then of a write-ahead one.
        ASSERT_EQ(SQLITE_OK, db.execCreating("CREATE TABLE IF NOT EXISTS items (k TEXT PRIMARY KEY, v TEXT)"));
        EXPECT_EQ(0, gSyncs.load());
        EXPECT_EQ(level, synchronousLevel(db));
        // A file that holds pages is written as before: its writes are synced.
        ASSERT_EQ(SQLITE_OK, db.execCreating("CREATE TABLE IF NOT EXISTS more (k TEXT)"));
        EXPECT_GT(gSyncs.load(), 0);
        gSyncs = 0;
        ASSERT_EQ(SQLITE_OK, db.exec("INSERT INTO items VALUES ('a', 'kept')"));
        EXPECT_GT(gSyncs.load(), 0);
    }
    {
        Database db;
        ASSERT_EQ(SQLITE_OK, db.open("file:" + dir_ + "/wal.sql?vfs=qm-counting", flags));
        const int64_t level = synchronousLevel(db);
        gSyncs = 0;
        ASSERT_EQ(SQLITE_OK, db.execCreating("PRAGMA journal_mode=WAL"));
        EXPECT_EQ(0, gSyncs.load());
        EXPECT_EQ(level, synchronousLevel(db));
        auto mode = db.prepare("PRAGMA journal_mode");
        ASSERT_EQ(SQLITE_ROW, mode.step());
        EXPECT_EQ("wal", mode.textColumn(0));
    }
    // What was made reads back whole from a new connection.
    Database again;
    ASSERT_EQ(SQLITE_OK, again.open(dir_ + "/made.sql", SQLITE_OPEN_READWRITE));
    auto row = again.prepare("SELECT v FROM items WHERE k = 'a'");
    ASSERT_EQ(SQLITE_ROW, row.step());
    EXPECT_EQ("kept", row.textColumn(0));
}
