#pragma once
// One SQLite connection that closes itself, shared by every store (the object
// store, the analytics properties database, the keychain stand-in): opening,
// running SQL, the integrity check and transactions. What a store does beyond
// that (its file modes, journal, schema) stays with the store.
#include <optional>
#include <string>

#include "platform/store/Statement.h"

struct sqlite3;

namespace platform::store {

class Database {
public:
    Database() = default;
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // sqlite3_open_v2 with `flags`; the SQLite code. A failed open leaves no
    // connection; errorMessage() then says why.
    int open(const std::string& path, int flags);
    // The text of a failed close; the handle is given up either way, and
    // SQLite releases it once its last statement is gone.
    std::optional<std::string> close();

    explicit operator bool() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    std::string errorMessage() const;

    int exec(const std::string& sql);
    Statement prepare(const std::string& sql) const { return Statement(db_, sql); }
    // PRAGMA quick_check: SQLITE_OK with `verdict` "ok" for a sound file, else
    // the problems found (joined by "; ", about 512 bytes at most).
    int quickCheck(std::string& verdict);
    bool inTransaction() const;

private:
    sqlite3* db_ = nullptr;
    std::string openError_;
};

}  // namespace platform::store
