#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"
#include "platform/store/Database.h"
#include "platform/store/Statement.h"

namespace platform::security {

using platform::store::Statement;

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
        if (db_.open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX) != SQLITE_OK) return;
        sqlite3_busy_timeout(db_.handle(), kBusyTimeoutMs);
        if (db_.exec(kSchema) != SQLITE_OK) db_.close();
    }

    explicit operator bool() const { return bool(db_); }
    Statement prepare(const std::string& sql) const { return db_.prepare(sql); }
    int changes() const { return sqlite3_changes(db_.handle()); }

    // Runs `body` inside one write transaction (taken at once, so that two
    // processes never both read and then both try to write). `body` answers a
    // status; anything but success rolls back.
    Status write(const std::function<Status()>& body) {
        if (db_.exec("BEGIN IMMEDIATE") != SQLITE_OK) return kIOError;
        Status status = body();
        if (status == kSuccess && db_.exec("COMMIT") != SQLITE_OK) status = kIOError;
        if (status != kSuccess) db_.exec("ROLLBACK");
        return status;
    }

private:
    platform::store::Database db_;
};

// Binds text values from index 1 on.
void bindAll(Statement& stmt, const std::vector<std::string>& values) {
    for (size_t i = 0; i < values.size(); ++i) stmt.bindText(int(i) + 1, values[i]);
}

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
    Statement stmt = connection.prepare("SELECT class, service, account, label, accessibility, data FROM items" +
                                        whereClause(query, values) + " ORDER BY rowid LIMIT 1");
    if (!stmt) return kIOError;
    bindAll(stmt, values);
    int rc = stmt.step();
    if (rc == SQLITE_DONE) return kItemNotFound;
    if (rc != SQLITE_ROW) return kIOError;
    if (result) {
        *result = Item{stmt.blobColumn(0), stmt.blobColumn(1), stmt.blobColumn(2),
                       stmt.blobColumn(3), stmt.blobColumn(4), stmt.blobColumn(5)};
    }
    return kSuccess;
}

Status Keychain::add(const Item& item) {
    if (item.itemClass.empty() || item.accessibility.empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    return connection.write([&] {
        Statement stmt = connection.prepare(
            "INSERT INTO items (class, service, account, label, accessibility, data) VALUES (?, ?, ?, ?, ?, ?)");
        if (!stmt) return kIOError;
        bindAll(stmt, {item.itemClass, item.service, item.account, item.label, item.accessibility});
        stmt.bindBlob(6, item.data.data(), item.data.size());
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
        Statement stmt = connection.prepare("UPDATE items" + set + whereClause(query, whereValues));
        if (!stmt) return kIOError;
        int index = 1;
        for (auto [value, blob] : values)
            blob ? stmt.bindBlob(index++, value->data(), value->size()) : stmt.bindText(index++, *value);
        for (const auto& value : whereValues) stmt.bindText(index++, value);
        if (stmt.step() != SQLITE_DONE) return kIOError;
        return connection.changes() > 0 ? kSuccess : kItemNotFound;
    });
}

Status Keychain::remove(const Query& query) {
    if (query.itemClass.empty()) return kParam;
    Connection connection;
    if (!connection) return kIOError;
    return connection.write([&] {
        std::vector<std::string> values;
        Statement stmt = connection.prepare("DELETE FROM items" + whereClause(query, values));
        if (!stmt) return kIOError;
        bindAll(stmt, values);
        if (stmt.step() != SQLITE_DONE) return kIOError;
        return connection.changes() > 0 ? kSuccess : kItemNotFound;
    });
}

}  // namespace platform::security
