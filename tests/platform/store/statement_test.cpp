#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/store/Database.h"
#include "platform/store/Statement.h"

using platform::store::Database;
using platform::store::Statement;
using platform::store::StatementCache;

namespace {

class StatementTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(db_.open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
        ASSERT_EQ(db_.exec("CREATE TABLE t (k TEXT, n INTEGER, r REAL, b BLOB); "
                           "INSERT INTO t VALUES ('a', 1, 0.5, x'00ff'), ('b', 2, NULL, NULL)"),
                  SQLITE_OK);
    }
    Database db_;
    StatementCache cache_;  // declared after the connection: finalized first
};

}  // namespace

TEST_F(StatementTest, ALeaseEndsResetAndUnboundAndTheStatementIsPreparedOnce) {
    const std::string sql = "SELECT k, n, r, b FROM t WHERE k = ?";
    sqlite3_stmt* prepared = nullptr;
    {
        auto row = cache_.lease(db_.handle(), sql);
        ASSERT_TRUE(row);
        prepared = row->get();
        ASSERT_EQ(row->bindText(1, "a"), SQLITE_OK);
        ASSERT_EQ(row->step(), SQLITE_ROW);
        EXPECT_EQ(row->textColumn(0), "a");
        EXPECT_EQ(row->int64Column(1), 1);
        EXPECT_EQ(row->doubleColumn(2), 0.5);
        EXPECT_EQ(row->blobColumn(3), std::string("\x00\xff", 2));
    }
    auto again = cache_.lease(db_.handle(), sql);
    EXPECT_EQ(again->get(), prepared);
    EXPECT_EQ(again->step(), SQLITE_DONE);  // the binding went with the last use
    again.discard();
    EXPECT_FALSE(cache_.contains(sql));

    auto bad = cache_.lease(db_.handle(), "SELECT nothing FROM nowhere");
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.prepareResult(), SQLITE_ERROR);
}

TEST_F(StatementTest, NullColumnsReadEmptyAndAFailedOpenSaysWhy) {
    Statement row = db_.prepare("SELECT r, b FROM t WHERE k = 'b'");
    ASSERT_EQ(row.step(), SQLITE_ROW);
    EXPECT_TRUE(row.isNull(0));
    EXPECT_EQ(row.blobColumn(1), "");
    std::string verdict;
    EXPECT_EQ(db_.quickCheck(verdict), SQLITE_OK);
    EXPECT_EQ(verdict, "ok");

    Database missing;
    EXPECT_NE(missing.open("/nonexistent-folder/x.db", SQLITE_OPEN_READWRITE), SQLITE_OK);
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.errorMessage(), "");
}
