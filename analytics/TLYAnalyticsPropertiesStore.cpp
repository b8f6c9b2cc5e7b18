#include "analytics/TLYAnalyticsPropertiesStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>

#include "analytics/TLYLog.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Value;

namespace {

constexpr const char* kTable = "properties";
constexpr const char* kSelectSql = "SELECT * FROM properties WHERE tid=?";
constexpr const char* kClearSql = "DELETE FROM properties";

std::string columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text), size_t(sqlite3_column_bytes(statement, column)))
                : std::string();
}

}  // namespace

std::shared_ptr<TLYAnalyticsPropertiesStore> TLYAnalyticsPropertiesStore::sharedInstance() {
    // Never destroyed: "TLYThread" may use it while the process exits.
    static auto* shared = new std::shared_ptr<TLYAnalyticsPropertiesStore>(
        std::make_shared<TLYAnalyticsPropertiesStore>(TLYSqlStore::sharedInstance()));
    return *shared;
}

TLYAnalyticsPropertiesStore::TLYAnalyticsPropertiesStore(std::shared_ptr<TLYSqlStore> sqlStore)
    : sqlStore_(std::move(sqlStore)) {
    propertiesTableColumns_ = {{"tid", "TEXT PRIMARY KEY NOT NULL"},
                               {"cid", "TEXT NOT NULL"},
                               {"hit_number", "INTEGER NOT NULL"},
                               {"last_modified_time_since_1970", "REAL NOT NULL"},
                               {"checked_iad_campaign", "INTEGER NOT NULL"}};

    std::string schema = platform::foundation::format("CREATE TABLE IF NOT EXISTS %s (", kTable);
    for (const auto& [name, type] : propertiesTableColumns_)
        schema += platform::foundation::format("'%s' %s, ", name.c_str(), type.c_str());
    schema.replace(schema.size() - 2, 2, ");");
    propertiesTableSchemaSql_ = schema;

    std::string upsert = platform::foundation::format("INSERT OR REPLACE INTO %s (", kTable);
    for (const auto& column : propertiesTableColumns_) upsert += column.first + ", ";
    upsert.replace(upsert.size() - 2, 2, ") VALUES (");
    for (size_t i = 0; i < propertiesTableColumns_.size(); ++i) upsert += "?, ";
    upsert.replace(upsert.size() - 2, 2, ");");
    propertiesTableUpsertSql_ = upsert;

    // Only this store's own database: another store opening must not touch ours.
    openObserver_ = platform::foundation::NotificationCenter::defaultCenter().addObserver(
        kTLYSqlStoreDidOpenDatabaseNotification, sqlStore_.get(),
        [this](const platform::foundation::Notification& n) { onOpenDatabase(n); });
}

void TLYAnalyticsPropertiesStore::onOpenDatabase(const platform::foundation::Notification&) {
    if (!createOrValidatePropertiesTable())
        TLY_ERROR("-[TLYAnalyticsPropertiesStore onOpenDatabase:]", "Failed to create table");
}

bool TLYAnalyticsPropertiesStore::createOrValidatePropertiesTable() {
    if (sqlStore_->tableExists(kTable)) {
        if (hasValidPropertyColumns()) return true;
        TLY_ERROR("-[TLYAnalyticsPropertiesStore createOrValidatePropertiesTable]",
                   "Columns of %s table are not valid. Table will be dropped and created new.", kTable);
        sqlStore_->dropTableWithName(kTable);
    }
    return createPropertiesTable();
}

bool TLYAnalyticsPropertiesStore::createPropertiesTable() {
    if (sqlStore_->executeSql(propertiesTableSchemaSql_) != SQLITE_DONE) {
        TLY_ERROR("-[TLYAnalyticsPropertiesStore createPropertiesTable]", "Failed to create properties database");
        sqlStore_->closeDatabase();
        return false;
    }
    return true;
}

bool TLYAnalyticsPropertiesStore::hasValidPropertyColumns() {
    static const char* method = "-[TLYAnalyticsPropertiesStore hasValidPropertyColumns]";
    sqlite3_stmt* statement = sqlStore_->prepareSql(platform::foundation::format("PRAGMA table_info('%s');", kTable));
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'table info' sql statement");
        return false;
    }
    std::vector<std::string> names;
    while (sqlite3_step(statement) == SQLITE_ROW) names.push_back(columnText(statement, 1));
    sqlite3_finalize(statement);
    if (names.empty()) {
        TLY_ERROR(method, "No columns found in properties table");
        return false;
    }
    for (const auto& column : propertiesTableColumns_) {
        if (std::find(names.begin(), names.end(), column.first) == names.end()) {
            TLY_ERROR(method, "Column not found in properties table");
            return false;
        }
    }
    return true;
}

std::optional<Value> TLYAnalyticsPropertiesStore::propertyRecordForTrackingId(const std::string& trackingId) {
    static const char* method = "-[TLYAnalyticsPropertiesStore propertyRecordForTrackingId:]";
    if (trackingId.empty()) {
        TLY_ERROR(method, "Received empty tracking id");
        return std::nullopt;
    }
    if (!sqlStore_->ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return std::nullopt;
    }
    sqlite3_stmt* statement = sqlStore_->statementForQuery(kSelectSql);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'select' sql statement");
        return std::nullopt;
    }
    sqlite3_reset(statement);
    if (sqlite3_bind_text(statement, 1, trackingId.c_str(), int(trackingId.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
        TLY_ERROR(method, "Failed to bind text '%s' to select statement", trackingId.c_str());
        sqlStore_->removeStatementForQuery(kSelectSql);
        return std::nullopt;
    }
    std::optional<Value> record;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        Value r = Value(Value::Dictionary{});
        r["tid"] = trackingId;
        r["cid"] = columnText(statement, 1);
        r["hit_number"] = int64_t(sqlite3_column_int64(statement, 2));
        r["last_modified_time_since_1970"] = sqlite3_column_double(statement, 3);
        r["checked_iad_campaign"] = sqlite3_column_int64(statement, 4) != 0;
        record = std::move(r);
    } else {
        TLY_INFO(method, "Record for tracking id %s not found", trackingId.c_str());
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return record;
}

std::optional<Value> TLYAnalyticsPropertiesStore::createPropertyRecordWithTrackingId(const std::string& trackingId,
                                                                                     const std::string& clientId,
                                                                                     int64_t hitNumber,
                                                                                     bool checkedIAdCampaign) {
    if (trackingId.empty() || clientId.empty()) return std::nullopt;
    Value record = Value(Value::Dictionary{});
    record["tid"] = trackingId;
    record["cid"] = clientId;
    record["hit_number"] = hitNumber;
    record["last_modified_time_since_1970"] = platform::foundation::Clock::current().now();
    record["checked_iad_campaign"] = checkedIAdCampaign;
    return record;
}

bool TLYAnalyticsPropertiesStore::upsertPropertyRecord(Value* record) {
    static const char* method = "-[TLYAnalyticsPropertiesStore upsertPropertyRecord:]";
    if (!record || record->isNull()) return false;
    if (!sqlStore_->ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return false;
    }
    // The limit keeps the table from growing; updating a row it already holds
    // does not grow it, and refusing that would stop the numbering for every
    // tracker at once.
    if (isPropertiesTableFull()) {
        const Value& tid = (*record)["tid"];
        bool existing = false;
        if (tid.isString() && !tid.string().empty()) {
            if (sqlite3_stmt* select = sqlStore_->statementForQuery(kSelectSql)) {
                sqlite3_reset(select);
                sqlite3_bind_text(select, 1, tid.string().c_str(), int(tid.string().size()), SQLITE_TRANSIENT);
                existing = sqlite3_step(select) == SQLITE_ROW;
                sqlite3_reset(select);
                sqlite3_clear_bindings(select);
            }
        }
        if (!existing) {
            TLY_WARNING(method, "Reached properties storage limit");
            return false;
        }
    }
    Value copy = *record;
    double now = platform::foundation::Clock::current().now();
    copy["last_modified_time_since_1970"] = now;

    sqlite3_stmt* statement = sqlStore_->statementForQuery(propertiesTableUpsertSql_);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'insert/update' sql statement");
        return false;
    }
    sqlite3_reset(statement);
    if (!bindRecord(copy, statement)) {
        sqlStore_->removeStatementForQuery(propertiesTableUpsertSql_);
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (done) {
        (*record)["last_modified_time_since_1970"] = now;
    } else {
        TLY_ERROR(method, "Failed to insert/update hit number: %s", sqlStore_->errorMessage().value_or("").c_str());
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return done;
}

bool TLYAnalyticsPropertiesStore::bindRecord(const Value& record, sqlite3_stmt* statement) {
    static const char* method = "-[TLYAnalyticsPropertiesStore bindRecord:toUpsertStatement:]";
    int index = 0;
    for (const auto& column : propertiesTableColumns_) {
        ++index;
        const std::string& key = column.first;
        const Value& value = record[key];
        if (value.isNull()) {
            TLY_ERROR(method, "Missing parameter %s for binding", key.c_str());
            return false;
        }
        int rc;
        if (key == "tid" || key == "cid") {
            std::string text = value.stringValue();
            rc = sqlite3_bind_text(statement, index, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
        } else if (key == "hit_number") {
            rc = sqlite3_bind_int64(statement, index, value.intValue());
        } else if (key == "last_modified_time_since_1970") {
            rc = sqlite3_bind_double(statement, index, value.doubleValue());
        } else {
            rc = sqlite3_bind_int64(statement, index, value.boolValue() ? 1 : 0);
        }
        if (rc != SQLITE_OK) {
            TLY_ERROR(method, "Failed to bind parameter %s to sql statement", key.c_str());
            return false;
        }
    }
    return true;
}

bool TLYAnalyticsPropertiesStore::clearPropertiesTable() {
    static const char* method = "-[TLYAnalyticsPropertiesStore clearPropertiesTable]";
    if (!sqlStore_->ensureOpenDatabase()) {
        TLY_ERROR(method, "Failed to open database");
        return false;
    }
    sqlite3_stmt* statement = sqlStore_->statementForQuery(kClearSql);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'delete' sql statement");
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    return done;
}

int64_t TLYAnalyticsPropertiesStore::trackerIdCount() { return sqlStore_->rowCountForTableWithName(kTable); }

bool TLYAnalyticsPropertiesStore::isPropertiesTableFull() { return trackerIdCount() >= storageLimit(); }

std::optional<std::string> TLYAnalyticsPropertiesStore::nextHitNumberForTrackingId(const std::string& trackingId,
                                                                                   const std::string& clientId) {
    static const char* method = "-[TLYAnalyticsPropertiesStore nextHitNumberForTrackingId:clientId:]";
    if (trackingId.empty() || clientId.empty()) {
        TLY_ERROR(method, "Received empty tracking id or client id");
        return std::nullopt;
    }
    auto startOver = [&]() -> std::optional<std::string> {
        auto fresh = createPropertyRecordWithTrackingId(trackingId, clientId, 0, false);
        if (fresh && upsertPropertyRecord(&*fresh)) return std::string("0");
        return std::nullopt;
    };
    auto record = propertyRecordForTrackingId(trackingId);
    if (!record) return startOver();

    const Value& cid = (*record)["cid"];
    if (cid.stringValue().empty()) {
        TLY_ERROR(method, "Record is missing client ID");
    } else if (cid.stringValue() != clientId) {
        // A new client identifier restarts this tracker's numbering; the
        // replacing write leaves every other tracker's row alone.
        return startOver();
    }
    const Value& number = (*record)["hit_number"];
    if (number.isNull()) {
        TLY_ERROR(method, "Record is missing hit number");
        return std::nullopt;
    }
    int64_t current = number.intValue();
    if (current < 0) {
        TLY_ERROR(method, "Record has negative hit number");
        return std::nullopt;
    }
    if (current > int64_t(INT_MAX) - 1) return std::nullopt;
    (*record)["hit_number"] = current + 1;
    if (!upsertPropertyRecord(&*record)) return std::nullopt;
    return platform::foundation::format("%lld", static_cast<long long>(current + 1));
}

bool TLYAnalyticsPropertiesStore::setCheckedIAdCampaignForTrackingId(const std::string& trackingId) {
    auto record = propertyRecordForTrackingId(trackingId);
    if (!record || (*record)["checked_iad_campaign"].isNull()) {
        TLY_ERROR("-[TLYAnalyticsPropertiesStore setCheckedIAdCampaignForTrackingId:]",
                   "Attempted to set iAd flag for tracking ID with no record");
        return false;
    }
    if ((*record)["checked_iad_campaign"].boolValue()) return false;
    (*record)["checked_iad_campaign"] = true;
    return upsertPropertyRecord(&*record);
}
