#include "platform/store/Statement.h"

#include <sqlite3.h>

#include <utility>

#include "platform/store/Database.h"

namespace platform::store {

Statement::Statement(sqlite3* db, const std::string& sql) {
    const ReadWatch watch;
    rc_ = watch.answer(db, sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &stmt_, nullptr));
    if (rc_ != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement::Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)), rc_(other.rc_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        rc_ = other.rc_;
    }
    return *this;
}

int Statement::bindText(int index, const std::string& text) {
    return sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

int Statement::bindBlob(int index, const void* bytes, size_t size) {
    return sqlite3_bind_blob(stmt_, index, bytes, int(size), SQLITE_TRANSIENT);
}

int Statement::bindInt64(int index, int64_t value) { return sqlite3_bind_int64(stmt_, index, value); }
int Statement::bindDouble(int index, double value) { return sqlite3_bind_double(stmt_, index, value); }
int Statement::bindNull(int index) { return sqlite3_bind_null(stmt_, index); }

int Statement::step() {
    const ReadWatch watch;
    return watch.answer(sqlite3_db_handle(stmt_), sqlite3_step(stmt_));
}

void Statement::reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const { return sqlite3_column_count(stmt_); }
bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
int64_t Statement::int64Column(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::doubleColumn(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Statement::textColumn(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text ? std::string(text, size_t(sqlite3_column_bytes(stmt_, column))) : std::string();
}

std::string Statement::blobColumn(int column) const {
    const void* bytes = sqlite3_column_blob(stmt_, column);
    return bytes ? std::string(static_cast<const char*>(bytes), size_t(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
}

StatementCache::Lease::Lease(StatementCache* cache, const std::string* sql, Statement* statement, int rc)
    : cache_(cache), sql_(sql), statement_(statement), rc_(rc) {}

StatementCache::Lease::Lease(Lease&& other) noexcept
    : cache_(other.cache_), sql_(other.sql_), statement_(std::exchange(other.statement_, nullptr)), rc_(other.rc_) {}

StatementCache::Lease::~Lease() {
    if (statement_) statement_->reset();
}

void StatementCache::Lease::discard() {
    if (!statement_) return;
    statement_ = nullptr;
    std::string sql = *sql_;  // the key goes with the entry
    cache_->remove(sql);
}

StatementCache::Lease StatementCache::lease(sqlite3* db, const std::string& sql) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) {
        Statement statement(db, sql);
        if (!statement) return Lease(this, nullptr, nullptr, statement.prepareResult());
        it = statements_.emplace(sql, std::move(statement)).first;
    }
    return Lease(this, &it->first, &it->second, SQLITE_OK);
}

void StatementCache::remove(const std::string& sql) { statements_.erase(sql); }

void StatementCache::clear() { statements_.clear(); }

}  // namespace platform::store
