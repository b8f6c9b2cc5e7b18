#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"

namespace platform::security {

namespace {

// How long a call waits for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS items ("
    " class TEXT NOT NULL, service TEXT NOT NULL, account TEXT NOT NULL,"
    " label TEXT NOT NULL, accessibility TEXT NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY (class, service, account))";

// One connection for one call: opened, used in one transaction, closed.
class Connection {
public:
    Connection() {
        std::string file = Keychain::path();
        if (!platform::foundation::FileManager::preparePrivateFile(file)) return;
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            close();
            return;
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) close();
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    explicit operator bool() const { return db_ != nullptr; }
    sqlite3* db() const { return db_; }

    // Runs `body` inside one write transaction (taken at once, so that two
    // processes never both read and then both try to write). `body` answers a
    // status; anything but success rolls back.
    Status write(const std::function<Status()>& body) {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return kIOError;
        Status status = body();
        if (status == kSuccess && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            status = kIOError;
        if (status != kSuccess) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return status;
    }

private:
    void close() {
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(int index, const std::string& bytes) {
        sqlite3_bind_blob(stmt_, index, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string column(int index) const {
        const void* bytes = sqlite3_column_blob(stmt_, index);
        return bytes ? std::string(static_cast<const char*>(bytes), size_t(sqlite3_column_bytes(stmt_, index)))
                     : std::string();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// " WHERE ..." for the query, with its values in binding order.
std::string whereClause(const Query& query, std::vector<std::string>& values) {
    std::string where = " WHERE class = ?";
    values.push_back(query.itemClass);
    if (query.service) {
        where += " AND service = ?";
        values.push_back(*query.service);
    }
    if (query.account) {
        where += " AND account = ?";
        values.push_back(*query.account);
    }
    return where;
}

}  // namespace

std::string Keychain::path() { return platform::foundation::Sandbox::keychains() + "/keychain.db"; }

Status Keychain::copyMatching(const Query& query, Item* result) {
    if (query.itemClass.empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    std::vector<std::string> values;
    Statement stmt(connection.db(), "SELECT class, service, account, label, accessibility, data FROM items" +
                                        whereClause(query, values) + " ORDER BY rowid LIMIT 1");
    if (!stmt) return kIOError;
    for (size_t i = 0; i < values.size(); ++i) stmt.bind(int(i) + 1, values[i]);
    int rc = stmt.step();
    if (rc == SQLITE_DONE) return kItemNotFound;
    if (rc != SQLITE_ROW) return kIOError;
    if (result) *result = Item{stmt.column(0), stmt.column(1), stmt.column(2), stmt.column(3), stmt.column(4), stmt.column(5)};
    return kSuccess;
}

Status Keychain::add(const Item& item) {
    if (item.itemClass.empty() || item.accessibility.empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    return connection.write([&] {
        Statement stmt(connection.db(),
                       "INSERT INTO items (class, service, account, label, accessibility, data) VALUES (?, ?, ?, ?, ?, ?)");
        if (!stmt) return kIOError;
        stmt.bind(1, item.itemClass);
        stmt.bind(2, item.service);
        stmt.bind(3, item.account);
        stmt.bind(4, item.label);
        stmt.bind(5, item.accessibility);
        stmt.bindBlob(6, item.data);
        int rc = stmt.step();
        if (rc == SQLITE_DONE) return kSuccess;
        return (rc & 0xFF) == SQLITE_CONSTRAINT ? kDuplicateItem : kIOError;
    });
}

Status Keychain::update(const Query& query, const Changes& changes) {
    if (query.itemClass.empty() || (!changes.label && !changes.accessibility && !changes.data)) return kParam;
    if (changes.accessibility && changes.accessibility->empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    return connection.write([&] {
        std::string set;
        std::vector<std::pair<const std::string*, bool>> values;  // value, bound as a blob
        auto assign = [&](const char* column, const std::optional<std::string>& value, bool blob) {
            if (!value) return;
            set += std::string(set.empty() ? " SET " : ", ") + column + " = ?";
            values.emplace_back(&*value, blob);
        };
        assign("label", changes.label, false);
        assign("accessibility", changes.accessibility, false);
        assign("data", changes.data, true);
        std::vector<std::string> whereValues;
        Statement stmt(connection.db(), "UPDATE items" + set + whereClause(query, whereValues));
        if (!stmt) return kIOError;
        int index = 1;
        for (auto [value, blob] : values) blob ? stmt.bindBlob(index++, *value) : stmt.bind(index++, *value);
        for (const auto& value : whereValues) stmt.bind(index++, value);
        if (stmt.step() != SQLITE_DONE) return kIOError;
        return sqlite3_changes(connection.db()) > 0 ? kSuccess : kItemNotFound;
    });
}

Status Keychain::remove(const Query& query) {
    if (query.itemClass.empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    return connection.write([&] {
        std::vector<std::string> values;
        Statement stmt(connection.db(), "DELETE FROM items" + whereClause(query, values));
        if (!stmt) return kIOError;
        for (size_t i = 0; i < values.size(); ++i) stmt.bind(int(i) + 1, values[i]);
        if (stmt.step() != SQLITE_DONE) return kIOError;
        return sqlite3_changes(connection.db()) > 0 ? kSuccess : kItemNotFound;
    });
}

}  // namespace platform::security
