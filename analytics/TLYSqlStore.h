#pragma once
// A self-healing wrapper around one SQLite database file in the Library
// folder: opened lazily, integrity-checked, recreated when damaged (the old
// file kept aside; a file that cannot be opened now is left as it is), with a
// cache of prepared statements. Used only from the analytics thread.
#include <memory>
#include <optional>
#include <string>

#include "platform/store/Database.h"
#include "platform/store/Statement.h"

inline constexpr const char* kTLYSqlStoreDidOpenDatabaseNotification = "TLYSqlStoreDidOpenDatabaseNotification";

class TLYSqlStore {
public:
    using Statement = platform::store::Statement;
    using StatementLease = platform::store::StatementCache::Lease;

    static std::shared_ptr<TLYSqlStore> sharedInstance();
    static const std::string& databaseDirectoryPath();

    // Null for an empty name or directory. The directory defaults to
    // databaseDirectoryPath().
    static std::shared_ptr<TLYSqlStore> initWithDatabaseName(const std::string& databaseName,
                                                             const std::string& directory = "");
    TLYSqlStore(std::string databaseName, std::string databasePath);
    ~TLYSqlStore();
    TLYSqlStore(const TLYSqlStore&) = delete;
    TLYSqlStore& operator=(const TLYSqlStore&) = delete;

    const std::string& databaseName() const { return databaseName_; }
    const std::string& databasePath() const { return databasePath_; }

    bool ensureOpenDatabase();
    // Says why the store could not be opened ("Failed to open database <path>
    // (<why>)", or what failed on the way) for `method` after
    // ensureOpenDatabase failed, unless that was said already this launch.
    void reportOpenFailure(const char* method);
    bool isOpen() const { return database_.handle() != nullptr; }
    bool openAndValidateDatabase();
    std::optional<std::string> closeDatabase();  // the error text of a failed close
    bool closeAndDeleteDatabase();
    // What a damaged file gets instead of deletion: it is moved aside with its
    // -journal, -wal and -shm files, and a line says where. True when it is gone.
    bool closeAndSetAsideDatabase();

    // The cached statement for `sql`, opening the database when needed; lent
    // for one use, false when it could not be prepared.
    StatementLease statementForQuery(const std::string& sql);
    Statement prepareSql(const std::string& sql);  // uncached
    int executeSql(const std::string& sql);

    // Groups the writes that follow into one commit: a burst of hits costs one
    // commit, not one each. Answers false when no transaction could be opened
    // (the writes then commit one by one).
    bool beginTransaction();
    // Commits what beginTransaction() grouped; a failed commit is rolled back
    // and logged. True when there was nothing to commit.
    bool commitTransaction();

    bool tableExists(const std::string& tableName);
    bool dropTableWithName(const std::string& tableName);
    int64_t rowCountForTableWithName(const std::string& tableName);
    std::optional<std::string> errorMessage() const;

private:
    // Opens the database for work on a named table; false, with a line, when
    // the name is empty or the database cannot be opened.
    bool openForTable(const char* method, const std::string& tableName);
    // Closes; false when there is no file, else unlocks it for removal.
    bool closeAndUnlock();

    std::string databaseName_;
    platform::store::Database database_;
    platform::store::StatementCache statementCache_;                          // cleared before the database closes
    platform::store::Failure openFailure_ = platform::store::Failure::Other;  // of the last failed opening
    std::string openFailureText_;                                             // why, after the file's path
    const char* openFailureWords_ = "";                                       // the step that failed, said first
    bool openFailureSaid_ = false;  // a store that cannot be opened says so once
    std::string databasePath_;
};
