#pragma once
// The hits that wait to be uploaded, across launches, and the client-wide
// properties (client identifier, advertising-identifier bookkeeping).
// "tallymark-v3.sql" holds every hit this client writes; "tallymark-v2.sql",
// of the previous format, holds the properties and old hits, which are drained
// first. All store work runs on "TLYThread"; calls from other threads are
// carried over to it and wait.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/TLYHitStorage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"
#include "platform/store/Context.h"

inline constexpr const char* kTLYOldStoreFileName = "tallymark-v2.sql";
inline constexpr const char* kTLYStoreFileName = "tallymark-v3.sql";

class TLYCoreDataUtil {
public:
    TLYCoreDataUtil() = delete;
    // {"entities": [{"name": ..., "properties": [{"name", "attributeType", "indexed", "optional",
    //  "attributeValueClassName"}]}]}
    static platform::foundation::Value modelDescription();
    static platform::foundation::Value oldModelDescription();
    static platform::store::ObjectModel model() { return modelWithDescription(modelDescription()); }
    static platform::store::ObjectModel oldModel() { return modelWithDescription(oldModelDescription()); }
    static platform::store::ObjectModel modelWithDescription(const platform::foundation::Value& description);
    static platform::store::EntityDescription entityWithDescription(const platform::foundation::Value& description);
};

class TLYDataStore : public TLYHitStorage, public std::enable_shared_from_this<TLYDataStore> {
public:
    using Value = platform::foundation::Value;
    using Error = platform::foundation::Error;

    // A new store; its set-up is queued on "TLYThread".
    static std::shared_ptr<TLYDataStore> dataStore();
    // The file's full path in the Library folder.
    static std::optional<std::string> databaseFullPath(const std::string& fileName);
    static std::string databaseFullURL(const std::string& fileName);

    ~TLYDataStore() override;
    TLYDataStore(const TLYDataStore&) = delete;
    TLYDataStore& operator=(const TLYDataStore&) = delete;

    // --- Hits. Errors without an out-parameter are logged. ---
    // {"parameters": {...}, optionally "timestamp": date}; inserted, not yet saved.
    void addHit(const Value& hit) override;
    bool save(Error* error = nullptr) override;
    // Oldest first, at most `limit` (0 = all): {"timestamp", "parameters", "objectID"}.
    // Null on failure.
    std::optional<Value::Array> fetchHitsWithLimit(uint64_t limit, Error* error = nullptr) override;
    bool deleteHitsWithIds(const Value::Array& objectIDs, Error* error = nullptr) override;
    // In both stores; not yet saved.
    bool deleteAllHits(Error* error = nullptr) override;
    // -1 on error.
    int64_t hitCount(Error* error = nullptr) override;

    // --- Properties. Getters wait for the set-up; setters write through. ---
    std::string clientId() override;
    void setClientId(const std::string& clientId);
    std::optional<std::string> hashedIdfa();
    void setHashedIdfa(const std::optional<std::string>& hash);
    int64_t idfaChangeCount();
    void setIdfaChangeCount(int64_t count);
    double lastChangeTimeStamp();
    void setLastChangeTimeStamp(double secondsSince1970);

    uint64_t maxHitCount() const { return maxHitCount_; }
    void setMaxHitCount(uint64_t count) { maxHitCount_ = count; }

    // Runs `task` on "TLYThread" and waits. Null result and error while the
    // store is unusable; an exception of the task becomes an SQLite-domain error
    // (code -1, "exception" in the user info). Without an out-parameter a
    // failure is logged as "Datastore error: %@".
    Value performBlockAndWait(const std::function<Value(Error*)>& task, Error* error = nullptr);
    // Saves what is pending and closes both files (before they are deleted);
    // the store is unusable afterwards.
    void close();
    // Saves; called when the application resigns or terminates.
    void onExit();

    // For tests: whether hits are fetched from the old store.
    bool isDrainingOldStore();

private:
    TLYDataStore();
    void setUpCoreData();
    std::unique_ptr<platform::store::Context> contextWithModel(platform::store::ObjectModel model,
                                                               const std::string& fileName);
    Value oldHitDescription(const platform::store::ManagedObject& object);
    int64_t contextHitCount(platform::store::Context& context, Error* error);
    bool deleteExcessHits(Error* error);
    bool saveOnThread(Error* error);
    bool setProperty(const std::string& name, const Value& value, const char* column, Error* error);
    std::optional<platform::store::ManagedObject> fetchProperty(const std::string& name, Error* error);
    void waitForSetUp();

    bool setUp_ = false;
    std::mutex memoryLock_;  // the in-memory property copies
    std::optional<std::string> clientId_;
    std::optional<std::string> hashedIdfa_;
    double lastChangeTimeStamp_ = 0;
    int64_t idfaChangeCount_ = 0;
    std::atomic<uint64_t> maxHitCount_{2000};
    std::unique_ptr<platform::store::Context> oldContext_;
    std::unique_ptr<platform::store::Context> context_;
    platform::store::Context* currentContext_ = nullptr;
    std::vector<platform::foundation::Observer> observers_;
};
