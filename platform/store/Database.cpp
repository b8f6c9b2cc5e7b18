#include "platform/store/Database.h"

#include <sqlite3.h>

#include <utility>

namespace platform::store {

Database::~Database() { close(); }

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), openError_(std::move(other.openError_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        openError_ = std::move(other.openError_);
    }
    return *this;
}

int Database::open(const std::string& path, int flags) {
    close();
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        openError_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    return rc;
}

std::optional<std::string> Database::close() {
    if (!db_) return std::nullopt;
    std::optional<std::string> failure;
    if (sqlite3_close(db_) != SQLITE_OK) {
        failure = sqlite3_errmsg(db_);
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    return failure;
}

std::string Database::errorMessage() const { return db_ ? sqlite3_errmsg(db_) : openError_; }

int Database::exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

int Database::quickCheck(std::string& verdict) {
    verdict.clear();
    Statement check = prepare("PRAGMA quick_check");
    if (!check) return check.prepareResult();
    int rc;
    while ((rc = check.step()) == SQLITE_ROW) {
        if (check.isNull(0) || verdict.size() >= 512) continue;
        verdict += (verdict.empty() ? "" : "; ") + check.textColumn(0);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

bool Database::inTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

}  // namespace platform::store
