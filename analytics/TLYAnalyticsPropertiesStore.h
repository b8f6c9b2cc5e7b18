#pragma once
// The "properties" table: per tracking identifier, the last hit number handed
// out as "&_s", the client identifier that numbering belongs to, and whether
// the install-attribution hit was sent. Used only from the analytics thread.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/TLYSqlStore.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

class TLYAnalyticsPropertiesStore {
public:
    static std::shared_ptr<TLYAnalyticsPropertiesStore> sharedInstance();

    explicit TLYAnalyticsPropertiesStore(std::shared_ptr<TLYSqlStore> sqlStore);
    static std::shared_ptr<TLYAnalyticsPropertiesStore> initWithSqlStore(std::shared_ptr<TLYSqlStore> sqlStore) {
        return std::make_shared<TLYAnalyticsPropertiesStore>(std::move(sqlStore));
    }

    // The decimal text of the next hit number, or nullopt.
    std::optional<std::string> nextHitNumberForTrackingId(const std::string& trackingId, const std::string& clientId);
    bool setCheckedIAdCampaignForTrackingId(const std::string& trackingId);

    // A record: {"tid", "cid", "hit_number", "last_modified_time_since_1970", "checked_iad_campaign"}.
    std::optional<platform::foundation::Value> propertyRecordForTrackingId(const std::string& trackingId);
    std::optional<platform::foundation::Value> createPropertyRecordWithTrackingId(const std::string& trackingId,
                                                                                  const std::string& clientId,
                                                                                  int64_t hitNumber,
                                                                                  bool checkedIAdCampaign);
    bool upsertPropertyRecord(platform::foundation::Value* record);
    bool bindRecord(const platform::foundation::Value& record, TLYSqlStore::Statement& statement);
    bool clearPropertiesTable();
    int64_t trackerIdCount();
    static constexpr int64_t storageLimit() { return 1000; }
    bool isPropertiesTableFull();

    bool createOrValidatePropertiesTable();
    bool createPropertiesTable();
    bool hasValidPropertyColumns();
    void onOpenDatabase(const platform::foundation::Notification& notification);

    const std::shared_ptr<TLYSqlStore>& sqlStore() const { return sqlStore_; }
    const std::string& propertiesTableSchemaSql() const { return propertiesTableSchemaSql_; }
    const std::string& propertiesTableUpsertSql() const { return propertiesTableUpsertSql_; }

private:
    // The record of `trackingId`, or none: `unread` then says it could not be
    // looked up (the store closed, the lookup failed), which is no sign that
    // there is none.
    std::optional<platform::foundation::Value> lookUpRecord(const std::string& trackingId, bool& unread);

    std::shared_ptr<TLYSqlStore> sqlStore_;
    std::vector<std::pair<std::string, std::string>> propertiesTableColumns_;
    std::string propertiesTableSchemaSql_;
    std::string propertiesTableUpsertSql_;
    platform::foundation::Observer openObserver_;
};
