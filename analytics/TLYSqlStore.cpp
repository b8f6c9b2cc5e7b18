#include "analytics/TLYSqlStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <mutex>
#include <utility>

#include "analytics/TLYLog.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Sandbox.h"
#include "platform/store/Context.h"
#include "platform/store/Database.h"

using platform::foundation::Error;
using platform::foundation::FileManager;

namespace {

// The platform's "locked" file mark; here: the owner may not write the file.
bool isLocked(const platform::foundation::FileAttributes& attributes) { return !(attributes.mode & S_IWUSR); }

bool unlock(const std::string& path, const platform::foundation::FileAttributes& attributes) {
    return FileManager::changeMode(path, (attributes.mode & 07777) | S_IWUSR);
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
    // Only damage sets the file aside. Another connection's transaction, a
    // full disk, no descriptor left, no permission or an I/O error is no fault
    // of the file: it stays where it is, and is tried again at the next use.
    if (openFailure_ != platform::store::Failure::Damaged) {
        reportOpenFailure("-[TLYSqlStore ensureOpenDatabase]");
        return false;
    }
    if (!closeAndSetAsideDatabase()) return false;
    return openAndValidateDatabase();
}

void TLYSqlStore::reportOpenFailure(const char* method) {
    if (std::exchange(openFailureSaid_, true)) return;
    const std::string why = openFailure_ == platform::store::Failure::Busy   ? "it is busy"
                            : openFailure_ == platform::store::Failure::Full ? "the disk is full"
                                                                             : openFailureText_;
    TLY_ERROR(method, "%s %s (%s)%s", openFailureWords_, databasePath_.c_str(), why.c_str(),
              openFailure_ == platform::store::Failure::Damaged ? "" : "; it is left as it is");
}

bool TLYSqlStore::openAndValidateDatabase() {
    static const char* method = "-[TLYSqlStore openAndValidateDatabase]";
    openFailure_ = platform::store::Failure::Other;
    openFailureText_.clear();
    openFailureWords_ = "Failed to open database";
    if (platform::store::isNotAStoreFile(databasePath_)) {
        openFailure_ = platform::store::Failure::Damaged;
        return false;
    }
    // Each failure is said once, by reportOpenFailure, however often the store is tried.
    // Its own before its mode is changed: a second name elsewhere shares the mode too.
    if (Error error; !FileManager::giveOwnCopy(databasePath_, &error)) {
        openFailureText_ = "it has a second name elsewhere and cannot be given a copy of its own: " +
                           platform::foundation::reasonAbout(error, databasePath_);
        return false;
    }
    if (FileManager::exists(databasePath_)) {
        Error error;
        auto attributes = FileManager::attributes(databasePath_, &error);
        if (!attributes) {
            openFailureWords_ = "Failed to read database file attributes:";
            openFailureText_ = platform::foundation::posixError(int(error.code), "").localizedDescription();
            return false;
        }
        if (isLocked(*attributes) && !unlock(databasePath_, *attributes)) {
            const int err = errno;
            openFailureWords_ = "Failed to unlock database file:";
            openFailureText_ = platform::foundation::posixError(err, "").localizedDescription();
            return false;
        }
    }
    FileManager::createDirectory(FileManager::deletingLastPathComponent(databasePath_));
    std::string moved;
    if (!platform::store::setAsideDamagedCompanions(databasePath_, moved)) {
        openFailureText_ = moved;  // what could not be moved or copied, and why
        return false;
    }
    if (!moved.empty()) TLY_WARNING(method, "Database log files: %s", moved.c_str());
    platform::foundation::FileManager::preparePrivateFile(databasePath_);  // owner-only, as its journals then are
    if (int rc = database_.open(databasePath_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
        rc != SQLITE_OK) {
        openFailure_ = platform::store::failureOf(rc);
        openFailureText_ = database_.errorMessage();
        return false;
    }
    sqlite3_busy_timeout(database_.handle(), platform::store::kBusyTimeoutMs);
    std::string verdict;
    int rc = database_.quickCheck(verdict);
    if (rc == SQLITE_OK && verdict != "ok") rc = SQLITE_CORRUPT;
    // Like the hit store: a write-ahead log, synced at checkpoints. A commit
    // then costs no journal file and no sync, and still survives a killed process.
    if (rc == SQLITE_OK) rc = database_.exec("PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = database_.exec("PRAGMA synchronous=NORMAL");
    if (rc != SQLITE_OK) {
        openFailure_ = platform::store::failureOf(rc);
        openFailureText_ = errorMessage().value_or(sqlite3_errstr(rc));
        closeDatabase();
        return false;
    }
    platform::foundation::NotificationCenter::defaultCenter().post(kTLYSqlStoreDidOpenDatabaseNotification);
    return true;
}

std::optional<std::string> TLYSqlStore::closeDatabase() {
    if (!database_) return std::nullopt;
    statementCache_.clear();
    // The handle is forgotten either way.
    std::optional<std::string> failure = database_.close();
    if (failure) TLY_ERROR("-[TLYSqlStore closeDatabase]", "Failed to close database: %s", failure->c_str());
    return failure;
}

bool TLYSqlStore::closeAndUnlock() {
    closeDatabase();
    if (platform::store::isNotAStoreFile(databasePath_)) return true;  // never unlocked through
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
    for (const std::string& suffix : platform::store::companionSuffixes()) FileManager::remove(databasePath_ + suffix);
    return true;
}

bool TLYSqlStore::closeAndSetAsideDatabase() {
    if (!closeAndUnlock()) return true;
    Error error;
    std::string aside = platform::store::setAside(databasePath_, platform::store::companionSuffixes(), &error);
    if (aside.empty()) {
        TLY_ERROR("-[TLYSqlStore closeAndSetAsideDatabase]", "Failed to move damaged database aside: %s",
                  error.description().c_str());
        return false;
    }
    TLY_ERROR("-[TLYSqlStore closeAndSetAsideDatabase]", "Damaged database %s moved to %s", databasePath_.c_str(),
              aside.c_str());
    return true;
}

TLYSqlStore::StatementLease TLYSqlStore::statementForQuery(const std::string& sql) {
    if (!statementCache_.contains(sql) && !ensureOpenDatabase()) {
        reportOpenFailure("-[TLYSqlStore statementForQuery:]");
        return {};
    }
    if (sql.empty()) {
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Received empty sql string");
        return {};
    }
    StatementLease statement = statementCache_.lease(database_.handle(), sql);
    if (!statement)
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Failed to prepare sql statement: %s",
                  errorMessage().value_or("").c_str());
    return statement;
}

TLYSqlStore::Statement TLYSqlStore::prepareSql(const std::string& sql) {
    if (!database_) return {};
    if (sql.empty()) {
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Received empty sql string");
        return {};
    }
    Statement statement = database_.prepare(sql);
    if (!statement)
        TLY_ERROR("-[TLYSqlStore prepareSql:]", "Failed to prepare sql statement: %s",
                  errorMessage().value_or("").c_str());
    return statement;
}

int TLYSqlStore::executeSql(const std::string& sql) {
    if (sql.empty()) {
        TLY_ERROR("-[TLYSqlStore executeSql:]", "Received empty sql string");
        return SQLITE_OK;
    }
    Statement statement = ensureOpenDatabase() ? prepareSql(sql) : Statement();
    if (!statement) {
        TLY_ERROR("-[TLYSqlStore executeSql:]", "Failed to construct sql statement: %s",
                  errorMessage().value_or("").c_str());
        return SQLITE_ERROR;
    }
    return statement.step();
}

bool TLYSqlStore::beginTransaction() {
    if (!ensureOpenDatabase()) return false;
    if (database_.inTransaction()) return true;
    return database_.exec("BEGIN IMMEDIATE") == SQLITE_OK;
}

bool TLYSqlStore::commitTransaction() {
    if (!database_.inTransaction()) return true;
    if (database_.exec("COMMIT") == SQLITE_OK) return true;
    TLY_ERROR("-[TLYSqlStore commitTransaction]", "Failed to commit: %s", errorMessage().value_or("").c_str());
    if (database_.inTransaction()) database_.exec("ROLLBACK");
    return false;
}

bool TLYSqlStore::tableExists(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore tableExists:]";
    if (tableName.empty()) return false;
    if (!ensureOpenDatabase()) {
        reportOpenFailure(method);
        return false;
    }
    auto statement = statementForQuery("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'table exists' sql statement");
        return false;
    }
    if (statement->bindText(1, tableName) != SQLITE_OK) {
        TLY_ERROR(method, "Failed to bind 'tableName' parameter");
        return false;
    }
    return statement->step() == SQLITE_ROW;
}

bool TLYSqlStore::openForTable(const char* method, const std::string& tableName) {
    if (tableName.empty()) {
        TLY_ERROR(method, "Received empty table name");
        return false;
    }
    if (!ensureOpenDatabase()) {
        reportOpenFailure(method);
        return false;
    }
    return true;
}

bool TLYSqlStore::dropTableWithName(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore dropTableWithName:]";
    if (!openForTable(method, tableName)) return false;
    if (!tableExists(tableName)) return true;
    auto statement = statementForQuery(platform::foundation::format("DROP TABLE %s", tableName.c_str()));
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'drop table' sql statement");
        return false;
    }
    return statement->step() == SQLITE_DONE;
}

int64_t TLYSqlStore::rowCountForTableWithName(const std::string& tableName) {
    static const char* method = "-[TLYSqlStore rowCountForTableWithName:]";
    if (!openForTable(method, tableName)) return 0;
    if (!tableExists(tableName)) {
        TLY_ERROR(method, "Table does not exist: %s", tableName.c_str());
        return 0;
    }
    auto statement = statementForQuery(platform::foundation::format("SELECT count(*) from %s;", tableName.c_str()));
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'count' sql statement");
        return 0;
    }
    if (statement->step() == SQLITE_ROW) return statement->int64Column(0);
    TLY_ERROR(method, "Failed to count rows from database: %s", errorMessage().value_or("").c_str());
    return 0;
}

std::optional<std::string> TLYSqlStore::errorMessage() const {
    if (!database_) return std::nullopt;
    return database_.errorMessage();
}
