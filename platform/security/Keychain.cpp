#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "platform/store/Database.h"
#include "platform/store/Statement.h"

namespace platform::security {

using platform::store::Statement;

namespace {

// How long (in milliseconds) a call waits for another process's transaction
// before giving up: on the main thread, no longer than a person would wait.
constexpr int kMainThreadBusyTimeoutMs = 300;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS items ("
    " class TEXT NOT NULL, service TEXT NOT NULL, account TEXT NOT NULL,"
    " label TEXT NOT NULL, accessibility TEXT NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY (class, service, account))";

std::atomic<bool> gBusySaid{false}, gFailureSaid{false};

// A keychain that cannot be used for a passing reason (no permission, no
// descriptor left, a full disk) is left as it is; said once a process.
Status unusable(const std::string& file, const std::string& why) {
    if (!gFailureSaid.exchange(true))
        platform::foundation::log("Keychain: " + file + " cannot be used now (" + why +
                                  "); it is left as it is, and its items cannot be used until then");
    return kIOError;
}

// The status of a failed SQLite answer; a busy keychain is said once a
// process, as is any other failure.
Status statusOf(int rc, const std::string& file, const std::string& why) {
    if (platform::store::failureOf(rc) != platform::store::Failure::Busy) return unusable(file, why);
    if (!gBusySaid.exchange(true))
        platform::foundation::log("Keychain: " + file +
                                  " is held by another process; its items cannot be used until it is let go");
    return kInteractionNotAllowed;
}

// One connection for one call: opened, used in one transaction, closed.
class Connection {
public:
    Connection() {
        const std::string file = Keychain::path();
        std::string damage;
        status_ = open(file, damage);
        if (damage.empty()) return;
        // Set aside as the other stores do, so that what it held may still be read.
        platform::foundation::Error error;
        const std::string aside = platform::store::setAside(file, platform::store::companionSuffixes(), &error);
        if (aside.empty()) {
            unusable(file, damage + ", and cannot be moved aside: " + error.localizedDescription());
            return;
        }
        platform::foundation::log("Keychain: " + file + " is damaged (" + damage + "); moved it to " + aside +
                                  " and starting a new one");
        damage.clear();
        status_ = open(file, damage);
    }

    explicit operator bool() const { return status_ == kSuccess; }
    Status status() const { return status_; }
    Statement prepare(const std::string& sql) const { return db_.prepare(sql); }
    int changes() const { return sqlite3_changes(db_.handle()); }
    Status failed(int rc) const { return statusOf(rc, Keychain::path(), db_.errorMessage()); }

    // Runs `body` inside one write transaction (taken at once, so that two
    // processes never both read and then both try to write). `body` answers a
    // status; anything but success rolls back.
    Status write(const std::function<Status()>& body) {
        if (int rc = db_.exec("BEGIN IMMEDIATE"); rc != SQLITE_OK) return failed(rc);
        Status status = body();
        if (status == kSuccess) {
            if (int rc = db_.exec("COMMIT"); rc != SQLITE_OK) status = failed(rc);
        }
        if (status != kSuccess) db_.exec("ROLLBACK");
        return status;
    }

private:
    // Opens `file` and makes its table; `damage` says why when the file is no
    // keychain at all (anything but a regular SQLite file).
    Status open(const std::string& file, std::string& damage) {
        if (const std::string found = platform::foundation::FileManager::foreignEntry(file); !found.empty()) {
            damage = found + ", not a regular file";
            return kIOError;
        }
        // Its journal is opened at every call: a FIFO there would hold each
        // one. A file with another name elsewhere, the keychain's own too,
        // gets a copy of its own first, or the items would be written there.
        std::string moved;
        if (!platform::store::setAsideSpecialCompanions(file, moved)) return unusable(file, moved);
        if (!moved.empty()) platform::foundation::log("Keychain: " + moved);
        platform::foundation::Error error;
        if (!platform::foundation::FileManager::preparePrivateFile(file, &error))
            return unusable(file, error.localizedDescription());
        if (db_.open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW) != SQLITE_OK)
            return unusable(file, db_.errorMessage());
        sqlite3_extended_result_codes(db_.handle(), 1);
        // Polled often, so that a caller is not starved by another process's
        // run of short transactions as SQLite's own back-off would let it be.
        static const int kMainThreadTries = kMainThreadBusyTimeoutMs, kOtherTries = platform::store::kBusyTimeoutMs;
        sqlite3_busy_handler(
            db_.handle(),
            [](void* limit, int tries) {
                if (tries >= *static_cast<const int*>(limit)) return 0;
                usleep(1000);
                return 1;
            },
            const_cast<int*>(platform::foundation::Thread::isMainThread() ? &kMainThreadTries : &kOtherTries));
        int rc = db_.exec(kSchema);
        if (rc == SQLITE_OK) {
            // A few pages: read whole at every call, so that a damaged file is never written on.
            std::string verdict;
            rc = db_.quickCheck(verdict);
            if (rc == SQLITE_OK && verdict != "ok") rc = SQLITE_CORRUPT;
        }
        if (rc == SQLITE_OK && itemsHaveAnotherShape()) {
            // Another program's table of that name: no call could ever use it.
            damage = "its items table has another shape";
            db_.close();
            return kIOError;
        }
        if (rc == SQLITE_OK) return kSuccess;
        const bool damaged = platform::store::failureOf(rc) == platform::store::Failure::Damaged;
        if (damaged) damage = sqlite3_errstr(rc);
        const Status status = damaged ? kIOError : failed(rc);
        db_.close();
        return status;
    }

    // Whether the items table has other columns than the calls name, or is
    // keyed otherwise than by (class, service, account). A question that
    // cannot be answered now (a busy file) is no answer.
    bool itemsHaveAnotherShape() const {
        Statement columns = db_.prepare("SELECT name, pk FROM pragma_table_info('items') ORDER BY name");
        if (!columns) return false;
        std::string shape;
        int rc;
        while ((rc = columns.step()) == SQLITE_ROW) shape += columns.textColumn(0) + ":" + columns.textColumn(1) + " ";
        return rc == SQLITE_DONE && shape != "accessibility:0 account:3 class:1 data:0 label:0 service:2 ";
    }

    platform::store::Database db_;
    Status status_ = kIOError;
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
    if (!connection) return connection.status();
    std::vector<std::string> values;
    Statement stmt = connection.prepare("SELECT class, service, account, label, accessibility, data FROM items" +
                                        whereClause(query, values) + " ORDER BY rowid LIMIT 1");
    if (!stmt) return kIOError;
    bindAll(stmt, values);
    int rc = stmt.step();
    if (rc == SQLITE_DONE) return kItemNotFound;
    if (rc != SQLITE_ROW) return connection.failed(rc);
    if (result) {
        *result = Item{stmt.blobColumn(0), stmt.blobColumn(1), stmt.blobColumn(2),
                       stmt.blobColumn(3), stmt.blobColumn(4), stmt.blobColumn(5)};
    }
    return kSuccess;
}

Status Keychain::add(const Item& item) {
    if (item.itemClass.empty() || item.accessibility.empty()) return kParam;
    Connection connection;
    if (!connection) return connection.status();
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
    if (!connection) return connection.status();
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
    if (!connection) return connection.status();
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
