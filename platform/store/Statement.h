#pragma once
// The SQLite statement wrapper every store shares (the object store, the
// analytics properties database, the keychain stand-in): a prepared statement
// that finalizes itself, binds by index, steps and reads columns; and a cache
// of them per connection that lends each for one use and leaves it reset.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace platform::store {

class Statement {
public:
    Statement() = default;
    // Prepared on `db`; false as a bool when that failed (prepareResult() says why).
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return stmt_ != nullptr; }
    int prepareResult() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }

    // Indexes start at 1; each answers the SQLite code.
    int bindText(int index, const std::string& text);
    int bindBlob(int index, const void* bytes, size_t size);
    int bindInt64(int index, int64_t value);
    int bindDouble(int index, double value);
    int bindNull(int index);

    int step();
    // Ready for another use: reset and every binding cleared.
    void reset();

    // Columns start at 0.
    int columnCount() const;
    bool isNull(int column) const;
    int64_t int64Column(int column) const;
    double doubleColumn(int column) const;
    std::string textColumn(int column) const;  // empty for NULL
    std::string blobColumn(int column) const;  // the bytes; empty for NULL

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = 0;
};

// Prepared statements kept for the life of one connection, by their SQL.
class StatementCache {
public:
    // A cached statement lent for one use: reset and unbound when the use ends.
    class Lease {
    public:
        Lease() = default;  // lends nothing
        Lease(Lease&& other) noexcept;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();
        explicit operator bool() const { return statement_ != nullptr; }
        Statement* operator->() const { return statement_; }
        Statement& operator*() const { return *statement_; }
        int prepareResult() const { return rc_; }
        // Drops the statement from the cache; the next lease prepares it anew.
        void discard();

    private:
        friend class StatementCache;
        Lease(StatementCache* cache, const std::string* sql, Statement* statement, int rc);
        StatementCache* cache_ = nullptr;
        const std::string* sql_ = nullptr;  // the cache's key
        Statement* statement_ = nullptr;
        int rc_ = 0;
    };

    // The cached statement for `sql`, prepared on `db` the first time.
    Lease lease(sqlite3* db, const std::string& sql);
    bool contains(const std::string& sql) const { return statements_.count(sql) != 0; }
    void remove(const std::string& sql);
    void clear();

private:
    std::map<std::string, Statement> statements_;
};

}  // namespace platform::store
