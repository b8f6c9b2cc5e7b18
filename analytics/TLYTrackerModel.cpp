#include "analytics/TLYTrackerModel.h"

#include <atomic>
#include <map>
#include <mutex>
#include <random>

#include "analytics/TLYDataStore.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Value;

namespace {

std::mutex& providerLock() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::shared_ptr<TLYAdIdProvider>>& providerRegistry() {
    static auto* r = new std::map<std::string, std::shared_ptr<TLYAdIdProvider>>;  // outlives exit
    return *r;
}

// Looked up once, on the first use of the tables.
const std::shared_ptr<TLYAdIdProvider>& provider() {
    static const auto* p = new std::shared_ptr<TLYAdIdProvider>([] {
        std::lock_guard<std::mutex> guard(providerLock());
        auto it = providerRegistry().find("TGKActualAdIdAccess");
        std::shared_ptr<TLYAdIdProvider> found = it == providerRegistry().end() ? nullptr : it->second;
        if (!found) TLY_VERBOSE("+[TLYTrackerModel initialize]", "idfa class missing, won't collect idfa");
        return found;
    }());
    return *p;
}

uint32_t randomUInt32() {
    static std::mutex m;
    static std::mt19937 engine{std::random_device{}()};
    std::lock_guard<std::mutex> guard(m);
    return uint32_t(engine());
}

std::atomic<uint32_t>& screenCounterValue() {
    static std::atomic<uint32_t> counter{[] {
        std::uniform_int_distribution<uint32_t> d(1, 2147483646u);
        std::mt19937 engine{std::random_device{}()};
        return d(engine);
    }()};
    return counter;
}

std::atomic<uint64_t>& cacheBusterValue() {
    static std::atomic<uint64_t> counter{(uint64_t(randomUInt32()) << 32) | randomUInt32()};
    return counter;
}

bool isNullMarkerOrEmpty(const Value& v) { return v.isNull() || (v.isString() && v.string().empty()); }

}  // namespace

void TLYTrackerModel::registerAdIdProvider(const std::string& className, std::shared_ptr<TLYAdIdProvider> p) {
    std::lock_guard<std::mutex> guard(providerLock());
    providerRegistry()[className] = std::move(p);
}

// These tables outlive exit (never destroyed): the analytics thread may still
// build a hit while the main thread runs the exit handlers.
const Value::Dictionary& TLYTrackerModel::defaultParameters() {
    static const auto* defaults = new Value::Dictionary([] {
        Value::Dictionary d;
        auto& bundle = platform::foundation::Bundle::main();
        std::string name = bundle.objectForInfoDictionaryKey("CFBundleName").stringValue();
        if (name.empty()) name = bundle.objectForInfoDictionaryKey("CFBundleIdentifier").stringValue();
        if (!name.empty())
            d[kTLYAppName] = name;
        else
            TLY_WARNING("+[TLYTrackerModel defaultParameters]", "could not load application name or identifier.");
        Value version = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
        if (version.isString()) d[kTLYAppVersion] = version;
        std::string identifier = bundle.bundleIdentifier();
        if (!identifier.empty()) d[kTLYAppId] = identifier;
        d["tlyVersion"] = kTLYProductVersion;
        return d;
    }());
    return *defaults;
}

const Value::Dictionary& TLYTrackerModel::forcedParameters() {
    static const auto* forced =
        new Value::Dictionary{{kTLYClientVersion, Value("tm3.1.5")}, {kTLYProtocolVersion, Value("1")}};
    return *forced;
}

const std::vector<std::pair<std::string, TLYTrackerModel::ComputedField>>& TLYTrackerModel::methodsForKeys() {
    static const auto* methods = new std::vector<std::pair<std::string, ComputedField>>([] {
        std::vector<std::pair<std::string, ComputedField>> m;
        m.emplace_back(kTLYLanguage, [](TLYTrackerModel& t) { return t.language(); });
        if (provider()) {
            m.emplace_back(kTLYIdfa, [](TLYTrackerModel& t) { return t.idfa(); });
            m.emplace_back(kTLYAdTargetingEnabled, [](TLYTrackerModel& t) { return t.adTargetingEnabled(); });
        }
        m.emplace_back(kTLYDeviceModelVersion, [](TLYTrackerModel& t) { return t.deviceModelVersion(); });
        m.emplace_back(kTLYScreenResolution, [](TLYTrackerModel& t) { return t.screenResolution(); });
        m.emplace_back(kTLYAdNetworkId, [](TLYTrackerModel& t) { return t.adnetId(); });
        m.emplace_back(kTLYIdfaChangeCount, [](TLYTrackerModel& t) { return t.crc(); });
        m.emplace_back(kTLYClientId, [](TLYTrackerModel& t) { return t.clientId(); });
        m.emplace_back(kTLYDataSource, [](TLYTrackerModel& t) { return t.dataSource(); });
        return m;
    }());
    return *methods;
}

const std::vector<std::string>& TLYTrackerModel::requiredParameters() {
    static const auto* required = new std::vector<std::string>([] {
        std::vector<std::string> keys;
        for (const auto& [key, fn] : methodsForKeys()) keys.push_back(key);
        for (const auto& [key, value] : defaultParameters()) keys.push_back(key);
        return keys;
    }());
    return *required;
}

TLYTrackerModel::TLYTrackerModel(std::shared_ptr<TLYDataStore> dataStore)
    : parameters_(defaultParameters()), dataStore_(std::move(dataStore)) {
    if (!dataStore_) {
        TLY_WARNING("-[TLYTrackerModel initWithDataStore:]",
                    "nil dataStore, new dataStore instance being created for testing.");
        dataStore_ = TLYDataStore::dataStore();
    }
}

Value TLYTrackerModel::objectForKeyedSubscript(const std::string& key) {
    auto it = parameters_.find(key);
    if (it != parameters_.end()) return it->second;
    for (const auto& [computedKey, fn] : methodsForKeys()) {
        if (computedKey == key) return fn(*this);
    }
    return Value();
}

void TLYTrackerModel::setObject(const Value& value, const std::string& key) { parameters_[key] = value; }

std::shared_ptr<TLYTrackerModel> TLYTrackerModel::copy() const { return std::make_shared<TLYTrackerModel>(*this); }

std::shared_ptr<TLYTrackerModel> TLYTrackerModel::copyWithOverride(const Value& override) const {
    auto c = copy();
    if (override.isDictionary()) {
        for (const auto& [key, value] : override.dictionary()) c->setObject(value, key);
    }
    return c;
}

void TLYTrackerModel::willSendScreenView() {
    // Atomic, so two screen views on different threads never share a number.
    auto& counter = screenCounterValue();
    uint32_t current = counter.load();
    uint32_t next;
    do {
        next = current + 1;
        if (int32_t(next) < 0) next = 1;
    } while (!counter.compare_exchange_weak(current, next));
}

uint32_t TLYTrackerModel::screenCounter() { return screenCounterValue().load(); }

void TLYTrackerModel::setScreenCounter(uint32_t value) { screenCounterValue().store(value); }

uint64_t TLYTrackerModel::cacheBuster() { return cacheBusterValue().load(); }

Value TLYTrackerModel::buildDictionary() {
    Value::Dictionary hit;
    for (const auto& key : requiredParameters()) hit[key] = objectForKeyedSubscript(key);
    for (const auto& [key, value] : parameters_) hit[key] = value;
    for (const auto& [key, value] : forcedParameters()) hit[key] = value;
    if (isNullMarkerOrEmpty(hit[kTLYClientId])) hit[kTLYClientId] = clientId();
    hit[kTLYCacheBuster] = std::to_string(cacheBusterValue().fetch_add(1));
    return Value(std::move(hit));
}

Value TLYTrackerModel::language() { return TLYHitUtil::systemLanguage(); }

Value TLYTrackerModel::idfa() {
    if (!allowIDFACollection_ || !provider()) return Value();
    auto id = provider()->retrieveId();
    if (!id) return Value();
    std::string hash = TLYHitUtil::hashIdfa(*id, dataStore_->clientId());
    auto previous = dataStore_->hashedIdfa();
    if (previous != hash) {
        if (previous) {
            dataStore_->setIdfaChangeCount(dataStore_->idfaChangeCount() + 1);
            dataStore_->setClientId(TLYHitUtil::generateClientId());
        }
        dataStore_->setHashedIdfa(TLYHitUtil::hashIdfa(*id, dataStore_->clientId()));
    }
    return Value(*id);
}

Value TLYTrackerModel::adTargetingEnabled() {
    if (!allowIDFACollection_ || !provider()) return Value();
    return Value(provider()->retrieveTrackingFlag() ? "1" : "0");
}

Value TLYTrackerModel::deviceModelVersion() { return TLYHitUtil::deviceModelVersion(); }

Value TLYTrackerModel::screenResolution() { return TLYHitUtil::systemScreenResolution(); }

Value TLYTrackerModel::adnetId() { return std::to_string(screenCounterValue().load()); }

Value TLYTrackerModel::crc() {
    double now = platform::foundation::Clock::current().now();
    if (now > dataStore_->lastChangeTimeStamp() + 86400.0) {
        dataStore_->setLastChangeTimeStamp(now);
        dataStore_->setIdfaChangeCount(0);
    }
    return std::to_string(dataStore_->idfaChangeCount());
}

Value TLYTrackerModel::clientId() { return dataStore_->clientId(); }

Value TLYTrackerModel::dataSource() { return "app"; }
