#include "analytics/TLYSqlStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <mutex>

#include "analytics/TLYLog.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Sandbox.h"
#include "platform/store/Context.h"

using platform::foundation::Error;
using platform::foundation::FileManager;

namespace {

// The platform's "locked" file mark; here: the owner may not write the file.
bool isLocked(const platform::foundation::FileAttributes& attributes) { return !(attributes.mode & S_IWUSR); }

bool unlock(const std::string& path, const platform::foundation::FileAttributes& attributes) {
    return ::chmod(path.c_str(), (attributes.mode & 07777) | S_IWUSR) == 0;
}

}  // namespace

std::shared_ptr<TLYSqlStore> TLYSqlStore::sharedInstance() {
    // Never destroyed: "TLYThread" may use it while the process exits.
    static auto* shared = new std::shared_ptr<TLYSqlStore>(initWithDatabaseName("tallymark-aux-v4.sql"));
    return *shared;
}

const std::string& TLYSqlStore::databaseDirectoryPath() {
    static const auto* path = new std::string(platform::foundation::Sandbox::library());
    return *path;
}

std::shared_ptr<TLYSqlStore> TLYSqlStore::initWithDatabaseName(const std::string& databaseName,
                                                               const std::string& directory) {
    if (databaseName.empty()) {
        TLY_ERROR("-[TLYSqlStore initWithDatabaseName:]", "Received empty database name");
        return nullptr;
    }
    const std::string& folder = directory.empty() ? databaseDirectoryPath() : directory;
    if (folder.empty()) {
        TLY_ERROR("-[TLYSqlStore initWithDatabaseName:]", "Received empty database path");
        return nullptr;
    }
    return std::make_shared<TLYSqlStore>(databaseName, FileManager::joinPath(folder, databaseName));
}

TLYSqlStore::TLYSqlStore(std::string databaseName, std::string databasePath)
    : databaseName_(std::move(databaseName)), databasePath_(std::move(databasePath)) {}

TLYSqlStore::~TLYSqlStore() { closeDatabase(); }

bool TLYSqlStore::ensureOpenDatabase() {
    if (database_) {
        if (FileManager::exists(databasePath_)) return true;
        closeDatabase();
        return openAndValidateDatabase();
    }
    if (openAndValidateDatabase()) return true;
    if (!closeAndSetAsideDatabase()) return false;
    return openAndValidateDatabase();
}

bool TLYSqlStore::openAndValidateDatabase() {
    static const char* method = "-[TLYSqlStore openAndValidateDatabase]";
    if (FileManager::exists(databasePath_)) {
        Error error;
        auto attributes = FileManager::attributes(databasePath_, &error);
        if (!attributes) {
            TLY_ERROR(method, "Failed to read database file attributes: %s", error.description().c_str());
            return false;
        }
        if (isLocked(*attributes) && !unlock(databasePath_, *attributes)) {
            Error unlockError = platform::foundation::posixError(errno, databasePath_);
            TLY_ERROR(method, "Failed to unlock database file: %s", unlockError.description().c_str());
            return false;
        }
    }
    FileManager::createDirectory(FileManager::deletingLastPathComponent(databasePath_));
    if (std::string moved = platform::store::setAsideDamagedLogFiles(databasePath_); !moved.empty())
        TLY_WARNING(method, "Database log files: %s", moved.c_str());
    platform::foundation::FileManager::preparePrivateFile(databasePath_);  // owner-only, as its journals then are
    if (sqlite3_open_v2(databasePath_.c_str(), &database_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        TLY_ERROR(method, "Failed to open database");
        closeDatabase();
        return false;
    }
    sqlite3_stmt* check = prepareSql("PRAGMA quick_check");
    if (!check) {
        TLY_ERROR(method, "Failed to construct 'quick check' sql statement");
        closeDatabase();
        return false;
    }
    bool ok = false;
    if (sqlite3_step(check) == SQLITE_ROW && sqlite3_column_count(check) == 1) {
        const unsigned char* text = sqlite3_column_text(check, 0);
        ok = text && std::string(reinterpret_cast<const char*>(text)) == "ok";
    }
    sqlite3_finalize(check);
    // Like the hit store: a write-ahead log, synced at checkpoints. A commit
    // then costs no journal file and no sync, and still survives a killed process.
    ok = ok && sqlite3_exec(database_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) == SQLITE_OK &&
         sqlite3_exec(database_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        closeDatabase();
        return false;
    }
    platform::foundation::NotificationCenter::defaultCenter().post(kTLYSqlStoreDidOpenDatabaseNotification, this);
    return true;
}

std::optional<std::string> TLYSqlStore::closeDatabase() {
    if (!database_) return std::nullopt;
    finalizeAndClearStatements();
    std::optional<std::string> failure;
    if (sqlite3_close(database_) != SQLITE_OK) {
        failure = errorMessage().value_or("");
        TLY_ERROR("-[TLYSqlStore closeDatabase]", "Failed to close database: %s", failure->c_str());
        // The handle is forgotten either way; let SQLite release it once its
        // last statement is gone.
        sqlite3_close_v2(database_);
    }
    database_ = nullptr;
    return failure;
}

bool TLYSqlStore::closeAndUnlock() {
    closeDatabase();
    if (!FileManager::exists(databasePath_)) return false;
    if (auto attributes = FileManager::attributes(databasePath_); attributes && isLocked(*attributes))
        unlock(databasePath_, *attributes);
    return true;
}

bool TLYSqlStore::closeAndDeleteDatabase() {
    if (!closeAndUnlock()) return true;
    Error error;
    if (!FileManager::remove(databasePath_, &error)) {
        TLY_ERROR("-[TLYSqlStore closeAndDeleteDatabase]", "Failed to delete database: %s",
                   error.description().c_str());
        return false;
    }
    // The journal of a deleted database must not be replayed into the new one.
    FileManager::remove(databasePath_ + "-journal");
    FileManager::remove(databasePath_ + "-wal");
    FileManager::remove(databasePath_ + "-shm");
    return true;
}

bool TLYSqlStore::closeAndSetAsideDatabase() {
    if (!closeAndUnlock()) return true;
    Error error;
    std::string aside = FileManager::moveAside(databasePath_, {"-journal", "-wal", "-shm"}, &error);
    if (aside.empty()) {
        TLY_ERROR("-[TLYSqlStore closeAndSetAsideDatabase]", "Failed to move damaged database aside: %s",
                  error.description().c_str());
        return false;
    }
    TLY_ERROR("-[TLYSqlStore closeAndSetAsideDatabase]", "Damaged database %s moved to %s", databasePath_.c_str(),
              aside.c_str());
    return true;
}

sqlite3_stmt* TLYSqlStore::statementForQuery(const std::string& sql) {
    if (auto it = statementCache_.find(sql); it != statementCache_.end()) return it->second;
    if (!ensureOpenDatabase()) {
        TLY_ERROR("-[TLYSqlStore statementForQuery:]", "Failed to open database");
        return nullptr;
    }
    sqlite3_stmt* statement = prepareSql(sql);
    if (statement) setStatement(statement, sql);
    return statement;
}

void TLYSqlStore::setStatement(sqlite3_stmt* statement, const std::string& sql) {
    if (!statement) {
        removeStatementForQuery(sql);
        return;
    }
    auto it = statementCache_.find(sql);
    if (it != statementCache_.end()) {
        if (it->second != statement) sqlite3_finalize(it->second);
        it->second = statement;
    } else {
        statementCache_.emplace(sql, statement);
    }
}

void TLYSqlStore::removeStatementForQuery(const std::string& sql) {
    auto it = statementCache_.find(sql);
    if (it == statementCache_.end()) return;
    sqlite3_finalize(it->second);
    statementCache_.erase(it);
}

void TLYSqlStore::finalizeAndClearStatements() {
    for (auto& [sql, statement] : statementCache_) sqlite3_finalize(statement);
    statementCache_.clear();
}

sqlite3_stmt* TLYSqlStore::prepareSql(const std::string& sql) {
    if (!database_) return nullptr;
    if (sql.empty()) {
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Received empty sql string");
        return nullptr;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, sql.c_str(), int(sql.size()), &statement, nullptr) != SQLITE_OK) {
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Failed to prepare sql statement: %s",
                   errorMessage().value_or("").c_str());
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

int TLYSqlStore::executeSql(const std::string& sql) {
    if (sql.empty()) {
        TLY_ERROR("-[TLYSqlStore executeSql:]", "Received empty sql string");
        return SQLITE_OK;
    }
    sqlite3_stmt* statement = ensureOpenDatabase() ? prepareSql(sql) : nullptr;
    if (!statement) {
        TLY_ERROR("-[TLYSqlStore executeSql:]", "Failed to construct sql statement: %s",
                   errorMessage().value_or("").c_str());
        return SQLITE_ERROR;
    }
    int rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    return rc;
}

bool TLYSqlStore::beginTransaction() {
    if (!ensureOpenDatabase()) return false;
    if (!sqlite3_get_autocommit(database_)) return true;
    return sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool TLYSqlStore::commitTransaction() {
    if (!database_ || sqlite3_get_autocommit(database_)) return true;
    if (sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    TLY_ERROR("-[TLYSqlStore commitTransaction]", "Failed to commit: %s", errorMessage().value_or("").c_str());
    if (!sqlite3_get_autocommit(database_)) sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool TLYSqlStore::tableExists(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore tableExists:]";
    if (tableName.empty()) return false;
    if (!ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return false;
    }
    sqlite3_stmt* statement = statementForQuery("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'table exists' sql statement");
        return false;
    }
    sqlite3_reset(statement);
    if (sqlite3_bind_text(statement, 1, tableName.c_str(), int(tableName.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
        TLY_ERROR(method, "Failed to bind 'tableName' parameter");
        sqlite3_reset(statement);
        return false;
    }
    bool exists = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return exists;
}

bool TLYSqlStore::dropTableWithName(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore dropTableWithName:]";
    if (tableName.empty()) {
        TLY_ERROR(method, "Received empty table name");
        return false;
    }
    if (!ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return false;
    }
    if (!tableExists(tableName)) return true;
    sqlite3_stmt* statement = statementForQuery(platform::foundation::format("DROP TABLE %s", tableName.c_str()));
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'drop table' sql statement");
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    return done;
}

int64_t TLYSqlStore::rowCountForTableWithName(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore rowCountForTableWithName:]";
    if (tableName.empty()) {
        TLY_ERROR(method, "Received empty table name");
        return 0;
    }
    if (!ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return 0;
    }
    if (!tableExists(tableName)) {
        TLY_ERROR(method, "Table does not exist: %s", tableName.c_str());
        return 0;
    }
    sqlite3_stmt* statement =
        statementForQuery(platform::foundation::format("SELECT count(*) from %s;", tableName.c_str()));
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'count' sql statement");
        return 0;
    }
    int64_t count = 0;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
    } else {
        TLY_ERROR(method, "Failed to count rows from database: %s", errorMessage().value_or("").c_str());
    }
    sqlite3_reset(statement);
    return count;
}

std::optional<std::string> TLYSqlStore::errorMessage() const {
    if (!database_) return std::nullopt;
    return std::string(sqlite3_errmsg(database_));
}
