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

    // The notification names no store: each properties store sets up its own
    // table when its own database is the one open.
    openObserver_ = platform::foundation::NotificationCenter::defaultCenter().addObserver(
        kTLYSqlStoreDidOpenDatabaseNotification, nullptr,
        [this](const platform::foundation::Notification& n) { onOpenDatabase(n); });
}

void TLYAnalyticsPropertiesStore::onOpenDatabase(const platform::foundation::Notification&) {
    if (!sqlStore_->isOpen()) return;  // another store opened; ours is set up when it opens
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
    std::vector<std::string> names;
    {
        auto statement = sqlStore_->prepareSql(platform::foundation::format("PRAGMA table_info('%s');", kTable));
        if (!statement) {
            TLY_ERROR(method, "Failed to construct 'table info' sql statement");
            return false;
        }
        while (statement.step() == SQLITE_ROW) names.push_back(statement.textColumn(1));
    }
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
    bool unread = false;
    return lookUpRecord(trackingId, unread);
}

std::optional<Value> TLYAnalyticsPropertiesStore::lookUpRecord(const std::string& trackingId, bool& unread) {
    static const char* method = "-[TLYAnalyticsPropertiesStore propertyRecordForTrackingId:]";
    unread = true;
    if (trackingId.empty()) {
        TLY_ERROR(method, "Received empty tracking id");
        return std::nullopt;
    }
    if (!sqlStore_->ensureOpenDatabase()) {
        sqlStore_->reportOpenFailure(method);
        return std::nullopt;
    }
    auto statement = sqlStore_->statementForQuery(kSelectSql);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'select' sql statement");
        return std::nullopt;
    }
    if (statement->bindText(1, trackingId) != SQLITE_OK) {
        TLY_ERROR(method, "Failed to bind text '%s' to select statement", trackingId.c_str());
        statement.discard();
        return std::nullopt;
    }
    if (const int rc = statement->step(); rc != SQLITE_ROW) {
        unread = rc != SQLITE_DONE;
        if (unread)
            TLY_ERROR(method, "Failed to read the record for tracking id %s: %s", trackingId.c_str(),
                      sqlStore_->errorMessage().value_or("").c_str());
        else
            TLY_INFO(method, "Record for tracking id %s not found", trackingId.c_str());
        return std::nullopt;
    }
    unread = false;
    Value record = Value(Value::Dictionary{});
    record["tid"] = trackingId;
    record["cid"] = statement->textColumn(1);
    record["hit_number"] = statement->int64Column(2);
    record["last_modified_time_since_1970"] = statement->doubleColumn(3);
    record["checked_iad_campaign"] = statement->int64Column(4) != 0;
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
        sqlStore_->reportOpenFailure(method);
        return false;
    }
    // A full table refuses the rows it already holds as well.
    if (isPropertiesTableFull()) {
        TLY_WARNING(method, "Reached properties storage limit");
        return false;
    }
    Value copy = *record;
    double now = platform::foundation::Clock::current().now();
    copy["last_modified_time_since_1970"] = now;

    auto statement = sqlStore_->statementForQuery(propertiesTableUpsertSql_);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'insert/update' sql statement");
        return false;
    }
    if (!bindRecord(copy, *statement)) {
        statement.discard();
        return false;
    }
    bool done = statement->step() == SQLITE_DONE;
    if (done) {
        (*record)["last_modified_time_since_1970"] = now;
    } else {
        TLY_ERROR(method, "Failed to insert/update hit number: %s", sqlStore_->errorMessage().value_or("").c_str());
    }
    return done;
}

bool TLYAnalyticsPropertiesStore::bindRecord(const Value& record, TLYSqlStore::Statement& statement) {
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
        if (key == "tid" || key == "cid")
            rc = statement.bindText(index, value.stringValue());
        else if (key == "hit_number")
            rc = statement.bindInt64(index, value.intValue());
        else if (key == "last_modified_time_since_1970")
            rc = statement.bindDouble(index, value.doubleValue());
        else
            rc = statement.bindInt64(index, value.boolValue() ? 1 : 0);
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
        sqlStore_->reportOpenFailure(method);
        return false;
    }
    auto statement = sqlStore_->statementForQuery(kClearSql);
    if (!statement) {
        TLY_ERROR(method, "Failed to construct 'delete' sql statement");
        return false;
    }
    return statement->step() == SQLITE_DONE;
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
    // A record that could not be read may be there: numbering it anew would lose its count.
    bool unread = false;
    auto record = lookUpRecord(trackingId, unread);
    if (!record) return unread ? std::nullopt : startOver();

    const Value& cid = (*record)["cid"];
    if (cid.stringValue().empty()) {
        TLY_ERROR(method, "Record is missing client ID");
    } else if (cid.stringValue() != clientId) {
        // A new client identifier restarts the numbering of every tracker.
        clearPropertiesTable();
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
