#pragma once
// A tracker's field values and the complete parameters of a hit: stored fields
// (set by the application or defaulted from the bundle), fields computed when a
// hit is built, and the forced protocol fields.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

class TLYDataStore;

// What an advertising-identifier provider offers; registered under the class
// name "TGKActualAdIdAccess" before analytics is first used.
class TLYAdIdProvider {
public:
    virtual ~TLYAdIdProvider() = default;
    virtual std::optional<std::string> retrieveId() = 0;
    virtual bool retrieveTrackingFlag() = 0;
};

class TLYTrackerModel {
public:
    using Value = platform::foundation::Value;
    using ComputedField = std::function<Value(TLYTrackerModel&)>;

    // A null store logs a warning and takes a private one.
    explicit TLYTrackerModel(std::shared_ptr<TLYDataStore> dataStore);
    static std::shared_ptr<TLYTrackerModel> initWithDataStore(std::shared_ptr<TLYDataStore> dataStore) {
        return std::make_shared<TLYTrackerModel>(std::move(dataStore));
    }

    // The stored value, else the computed one, else null.
    Value objectForKeyedSubscript(const std::string& key);
    // A null value is kept as the null marker.
    void setObject(const Value& value, const std::string& key);
    Value valueForKey(const std::string& key) { return objectForKeyedSubscript(key); }
    void setValue(const Value& value, const std::string& key) { setObject(value, key); }

    std::shared_ptr<TLYTrackerModel> copy() const;
    // A copy with every field of `override` laid over it.
    std::shared_ptr<TLYTrackerModel> copyWithOverride(const Value& override) const;
    // Advances the process-wide screen counter; it never becomes 0 or negative.
    static void willSendScreenView();
    // The hit's final parameters; advances the cache buster.
    Value buildDictionary();

    bool allowIDFACollection() const { return allowIDFACollection_; }
    void setAllowIDFACollection(bool allow) { allowIDFACollection_ = allow; }
    const Value::Dictionary& parameters() const { return parameters_; }
    const std::shared_ptr<TLYDataStore>& dataStore() const { return dataStore_; }

    static const Value::Dictionary& defaultParameters();
    static const Value::Dictionary& forcedParameters();
    static const std::vector<std::pair<std::string, ComputedField>>& methodsForKeys();
    static const std::vector<std::string>& requiredParameters();

    // Computed fields; null when there is no value.
    Value language();
    Value idfa();
    Value adTargetingEnabled();
    Value deviceModelVersion();
    Value screenResolution();
    Value adnetId();
    Value crc();
    Value clientId();
    Value dataSource();

    static void registerAdIdProvider(const std::string& className, std::shared_ptr<TLYAdIdProvider> provider);
    static uint32_t screenCounter();
    static void setScreenCounter(uint32_t value);  // tests
    static uint64_t cacheBuster();

private:
    bool allowIDFACollection_ = false;
    Value::Dictionary parameters_;
    std::shared_ptr<TLYDataStore> dataStore_;
};
