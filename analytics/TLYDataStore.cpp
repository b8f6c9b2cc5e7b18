#include "analytics/TLYDataStore.h"

#include <future>

#include "analytics/TLY.h"
#include "analytics/TLYHitUtil.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYUtil.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "platform/ui/NotificationNames.h"

using platform::foundation::Error;
using platform::foundation::Value;
using platform::store::Comparison;
using platform::store::Context;
using platform::store::FetchRequest;
using platform::store::ManagedObject;

namespace {

constexpr const char* kHitEntity = "TLYHit";
constexpr const char* kPropertyEntity = "TLYProperty";
constexpr double kOldHitMaxAge = 2592000.0;  // 30 days

Value attribute(const char* name, int type, bool indexed, bool optional, const char* valueClass = nullptr) {
    Value a{Value::Dictionary{}};
    a["name"] = name;
    a["attributeType"] = type;
    a["indexed"] = indexed;
    a["optional"] = optional;
    if (valueClass) a["attributeValueClassName"] = valueClass;
    return a;
}

Value entity(const char* name, Value::Array properties) {
    Value e{Value::Dictionary{}};
    e["name"] = name;
    e["properties"] = Value(std::move(properties));
    return e;
}

double now() { return platform::foundation::Clock::current().now(); }

}  // namespace

// ---- models

Value TLYCoreDataUtil::modelDescription() {
    Value m{Value::Dictionary{}};
    m["entities"] =
        Value(Value::Array{entity(kHitEntity, {attribute("timestamp", 900, true, true),
                                               attribute("parameters", 1800, false, true, "NSDictionary")})});
    return m;
}

Value TLYCoreDataUtil::oldModelDescription() {
    Value m{Value::Dictionary{}};
    m["entities"] = Value(Value::Array{
        entity(kPropertyEntity, {attribute("name", 700, true, false), attribute("string", 700, false, true),
                                 attribute("number", 300, false, true), attribute("tlyVersion", 700, true, false)}),
        entity(kHitEntity, {attribute("timestamp", 900, true, false), attribute("parametersData", 1000, false, false),
                            attribute("dispatchUrl", 700, true, false), attribute("tlyVersion", 700, true, false)})});
    return m;
}

platform::store::ObjectModel TLYCoreDataUtil::modelWithDescription(const Value& description) {
    platform::store::ObjectModel model;
    const Value& entities = description["entities"];
    for (size_t i = 0; i < entities.size(); ++i) model.entities.push_back(entityWithDescription(entities.at(i)));
    return model;
}

platform::store::EntityDescription TLYCoreDataUtil::entityWithDescription(const Value& description) {
    platform::store::EntityDescription e;
    e.name = description["name"].stringValue();
    const Value& properties = description["properties"];
    for (size_t i = 0; i < properties.size(); ++i) {
        const Value& p = properties.at(i);
        platform::store::AttributeDescription a;
        a.name = p["name"].stringValue();
        a.type = platform::store::AttributeType(p["attributeType"].intValue());
        a.indexed = p["indexed"].boolValue();
        a.optional = p.contains("optional") ? p["optional"].boolValue() : true;
        a.attributeValueClassName = p["attributeValueClassName"].stringValue();
        e.properties.push_back(std::move(a));
    }
    return e;
}

// ---- creation

std::shared_ptr<TLYDataStore> TLYDataStore::dataStore() {
    std::shared_ptr<TLYDataStore> store(new TLYDataStore());
    std::weak_ptr<TLYDataStore> weak = store;
    auto onExit = [weak](const platform::foundation::Notification&) {
        if (auto self = weak.lock()) self->onExit();
    };
    auto& center = platform::foundation::NotificationCenter::defaultCenter();
    store->observers_.push_back(
        center.addObserver(platform::ui::kApplicationWillResignActiveNotification, nullptr, onExit));
    store->observers_.push_back(
        center.addObserver(platform::ui::kApplicationWillTerminateNotification, nullptr, onExit));
    TLY::thread().perform([store] { store->setUpCoreData(); });
    return store;
}

TLYDataStore::TLYDataStore() = default;

TLYDataStore::~TLYDataStore() {
    // Unregistering waits for a delivery in progress, so no notification reaches
    // a store being destroyed.
    observers_.clear();
}

std::optional<std::string> TLYDataStore::databaseFullPath(const std::string& fileName) {
    std::string library = platform::foundation::Sandbox::library();
    if (library.empty()) return std::nullopt;
    return platform::foundation::FileManager::joinPath(library, fileName);
}

std::string TLYDataStore::databaseFullURL(const std::string& fileName) {
    auto path = databaseFullPath(fileName);
    return path ? "file://" + *path : "";
}

std::unique_ptr<Context> TLYDataStore::contextWithModel(platform::store::ObjectModel model,
                                                        const std::string& fileName) {
    auto context = std::make_unique<Context>(std::move(model));
    auto path = databaseFullPath(fileName);
    if (!path) return context;
    platform::foundation::FileManager::createDirectory(
        platform::foundation::FileManager::deletingLastPathComponent(*path));
    Error error, corruption;
    // Only damage sets a store aside (addStore does): one that cannot be
    // opened now (no descriptor, no permission, busy, full) keeps its hits
    // where they are, closed for this launch.
    const bool opened = context->addStore(*path, &error, &corruption);
    if (!corruption.domain.empty()) {
        TLY_WARNING("-[TLYDataStore contextWithModel:URL:]", "Corrupted database with URL %s: %s",
                    databaseFullURL(fileName).c_str(), corruption.description().c_str());
    }
    if (!opened) {
        TLY_ERROR("-[TLYDataStore contextWithModel:URL:]", "Error creating database with URL %s: %s",
                  databaseFullURL(fileName).c_str(), error.description().c_str());
    }
    return context;
}

void TLYDataStore::setUpCoreData() {
    if (setUp_) return;
    oldContext_ = contextWithModel(TLYCoreDataUtil::oldModel(), kTLYOldStoreFileName);
    context_ = contextWithModel(TLYCoreDataUtil::model(), kTLYStoreFileName);
    currentContext_ = context_.get();

    // A count that fails means nothing can be read there: new hits must not wait on it.
    Error error;
    if (contextHitCount(*oldContext_, &error) > 0) {
        currentContext_ = oldContext_.get();
        FetchRequest stale(kHitEntity);
        stale.where("timestamp", Comparison::Op::LessOrEqual, Value::date(now() - kOldHitMaxAge));
        stale.includesPropertyValues = false;
        if (auto rows = oldContext_->fetch(stale, &error)) {
            for (const auto& row : *rows) oldContext_->deleteObject(row.objectID, &error);
        }
        saveOnThread(nullptr);
    }

    std::optional<std::string> clientId;
    if (auto row = fetchProperty("ClientId", nullptr)) {
        auto it = row->values.find("string");
        if (it != row->values.end() && it->second.isString() && !it->second.string().empty())
            clientId = it->second.string();
    }
    if (clientId) {
        std::lock_guard<std::mutex> guard(memoryLock_);
        clientId_ = clientId;
    } else {
        setClientId(TLYHitUtil::generateClientId());
    }

    auto column = [this](const char* name, const char* col) -> Value {
        auto row = fetchProperty(name, nullptr);
        if (!row) return Value();
        auto it = row->values.find(col);
        return it == row->values.end() ? Value() : it->second;
    };
    Value idfa = column("idfa", "string"), changes = column("numChanges", "number"), ts = column("changeTS", "number");
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        if (idfa.isString()) hashedIdfa_ = idfa.string();
        idfaChangeCount_ = changes.intValue();
        lastChangeTimeStamp_ = double(ts.intValue());
    }
    setUp_ = context_ && oldContext_;
    if (!setUp_) TLY_ERROR("-[TLYDataStore setUpCoreData]", "Can not setup Core Data stack");
}

// ---- running tasks

Value TLYDataStore::performBlockAndWait(const std::function<Value(Error*)>& task, Error* error) {
    auto& thread = TLY::thread();
    Value result;
    Error failure;
    bool failed = false;
    auto run = [&] {
        if (!currentContext_) return;
        try {
            Error taskError;
            result = task(&taskError);
            if (!taskError.domain.empty()) {
                failure = taskError;
                failed = true;
            }
        } catch (const platform::foundation::Exception& e) {
            result = Value();
            failure = Error(platform::store::kSQLiteErrorDomain, -1,
                            Value(Value::Dictionary{{"exception", Value(*TLYUtil::descriptionFromException(&e))}}));
            failed = true;
        } catch (const std::exception& e) {
            result = Value();
            failure = Error(platform::store::kSQLiteErrorDomain, -1,
                            Value(Value::Dictionary{{"exception", Value(std::string(e.what()))}}));
            failed = true;
        }
    };
    if (thread.isCurrent()) {
        run();
    } else {
        std::promise<void> done;
        thread.perform([&] {
            run();
            done.set_value();
        });
        done.get_future().wait();
    }
    if (error)
        *error = failed ? failure : Error();
    else if (failed && !platform::store::isNoStoreError(failure))  // said when the store was opened
        TLY_ERROR("-[TLYDataStore performBlockAndWait:withError:]", "Datastore error: %s",
                  failure.description().c_str());
    return result;
}

void TLYDataStore::waitForSetUp() {
    auto& thread = TLY::thread();
    if (thread.isCurrent()) return;
    std::promise<void> done;
    thread.perform([&] { done.set_value(); });
    done.get_future().wait();
}

// ---- hits

void TLYDataStore::addHit(const Value& hit) {
    performBlockAndWait([&](Error* error) -> Value {
        Value::Dictionary values = hit.isDictionary() ? hit.dictionary() : Value::Dictionary{};
        if (!values.count("timestamp")) values["timestamp"] = Value::date(now());
        // A hit dictionary arriving from a fetch carries its old identifier: not an attribute.
        values.erase("objectID");
        auto id = context_->insert(kHitEntity, values, error);
        return id ? Value(*id) : Value();
    });
}

int64_t TLYDataStore::contextHitCount(Context& context, Error* error) {
    return context.count(FetchRequest(kHitEntity), error);
}

Value TLYDataStore::oldHitDescription(const ManagedObject& object) {
    Value hit{Value::Dictionary{}};
    for (const auto& key : {"timestamp", "dispatchUrl", "parametersData"}) {
        auto it = object.values.find(key);
        if (it != object.values.end()) hit[key] = it->second;
    }
    hit["objectID"] = object.objectID;
    Value parameters{Value::Dictionary{}};
    const Value& data = hit["parametersData"];
    if (data.isData() && data.size() > 0) {
        if (auto archived = Value::fromPropertyList(data.data()); archived && archived->isDictionary()) {
            for (const auto& [key, value] : archived->dictionary()) parameters["&" + key] = value;
        }
    }
    if (hit["dispatchUrl"].stringValue().rfind("http:", 0) == 0) parameters["useSecure"] = "0";
    auto version = object.values.find("tlyVersion");
    if (version != object.values.end()) parameters["tlyVersion"] = version->second;
    hit["parameters"] = std::move(parameters);
    return hit;
}

std::optional<Value::Array> TLYDataStore::fetchHitsWithLimit(uint64_t limit, Error* error) {
    Value hits = performBlockAndWait(
        [&](Error* taskError) -> Value {
            FetchRequest request(kHitEntity);
            request.sortBy("timestamp").limit(limit);
            auto rows = currentContext_->fetch(request, taskError);
            if (!rows) return Value();
            Value hits{Value::Array{}};
            bool old = currentContext_ == oldContext_.get();
            static const auto* hitKeys = new std::vector<std::string>([] {  // outlives exit
                std::vector<std::string> keys;
                platform::store::ObjectModel model = TLYCoreDataUtil::model();
                for (const auto& a : model.entity(kHitEntity)->properties) keys.push_back(a.name);
                return keys;
            }());
            for (const auto& row : *rows) {
                if (old) {
                    hits.push(oldHitDescription(row));
                    continue;
                }
                Value hit{Value::Dictionary{}};
                for (const auto& key : *hitKeys) {
                    auto it = row.values.find(key);
                    if (it != row.values.end()) hit[key] = it->second;
                }
                hit["objectID"] = row.objectID;
                hits.push(std::move(hit));
            }
            return hits;
        },
        error);
    if (!hits.isArray()) return std::nullopt;
    return std::move(hits.array());
}

bool TLYDataStore::deleteHitsWithIds(const Value::Array& objectIDs, Error* error) {
    Error failure;
    performBlockAndWait(
        [&](Error* taskError) -> Value {
            for (const auto& id : objectIDs) {
                if (!id.isString()) continue;
                if (!currentContext_->deleteObject(id.string(), taskError)) break;
            }
            return Value(true);
        },
        &failure);
    if (error)
        *error = failure;
    else if (!failure.domain.empty())
        TLY_ERROR("-[TLYDataStore deleteHitsWithIds:error:]", "Datastore error: %s", failure.description().c_str());
    return failure.domain.empty();
}

bool TLYDataStore::deleteAllHits(Error* error) {
    Error failure;
    performBlockAndWait(
        [&](Error* taskError) -> Value {
            for (Context* context : {oldContext_.get(), context_.get()}) {
                FetchRequest all(kHitEntity);
                all.includesPropertyValues = false;
                auto rows = context->fetch(all, taskError);
                if (!rows) return Value();
                for (const auto& row : *rows) {
                    if (!context->deleteObject(row.objectID, taskError)) return Value();
                }
            }
            return Value(true);
        },
        &failure);
    if (error)
        *error = failure;
    else if (!failure.domain.empty())
        TLY_ERROR("-[TLYDataStore deleteAllHits:]", "Datastore error: %s", failure.description().c_str());
    return failure.domain.empty();
}

int64_t TLYDataStore::hitCount(Error* error) {
    Value count = performBlockAndWait(
        [&](Error* taskError) -> Value {
            int64_t n = contextHitCount(*context_, taskError);
            if (n < 0) return Value(int64_t(-1));
            if (currentContext_ != context_.get()) {
                int64_t m = contextHitCount(*currentContext_, taskError);
                if (m < 0) return Value(int64_t(-1));
                n += m;
            }
            return Value(n);
        },
        error);
    return count.isNull() ? -1 : count.intValue();
}

bool TLYDataStore::deleteExcessHits(Error* error) {
    uint64_t max = maxHitCount_;
    if (max == 0) return true;
    int64_t count = hitCount(error);
    if (count < 0 || uint64_t(count) <= max) return count >= 0;
    TLY_VERBOSE("-[TLYDataStore deleteExcessHits:]", "Deleting excess hits.");
    // The oldest hits, as fetchHitsWithLimit would give them; only their
    // identifiers are read, so their parameters are never decoded.
    Error failure;
    performBlockAndWait(
        [&](Error* taskError) -> Value {
            FetchRequest oldest(kHitEntity);
            oldest.sortBy("timestamp").limit(uint64_t(count) - max);
            oldest.includesPropertyValues = false;
            auto rows = currentContext_->fetch(oldest, taskError);
            if (!rows) return Value();
            for (const auto& row : *rows)
                if (!currentContext_->deleteObject(row.objectID, taskError)) break;
            return Value(true);
        },
        &failure);
    if (error) *error = failure;
    return failure.domain.empty();
}

bool TLYDataStore::saveOnThread(Error* error) {
    if (!context_->hasChanges() && !oldContext_->hasChanges()) return true;
    Error failure, step;
    bool ok = true;
    // Each step runs even when an earlier one failed; the first error is reported.
    for (auto run : {+[](TLYDataStore*s, Error*e) { return s->deleteExcessHits(e); },
                     +[](TLYDataStore*s, Error*e) { return s->context_->save(e); },
                     +[](TLYDataStore*s, Error*e) { return s->oldContext_->save(e); }}) {
        if (!run(this, &step) && ok) {
            ok = false;
            failure = step;
        }
    }
    // An old store that counts no hits is done with, whatever the save reported.
    if (currentContext_ == oldContext_.get() && contextHitCount(*oldContext_, nullptr) == 0)
        currentContext_ = context_.get();
    if (!ok && error) *error = failure;
    return ok;
}

bool TLYDataStore::save(Error* error) {
    Error failure;
    Value ok = performBlockAndWait([&](Error* taskError) -> Value { return Value(saveOnThread(taskError)); }, &failure);
    if (error)
        *error = failure;
    else if (!failure.domain.empty())
        TLY_ERROR("-[TLYDataStore save:]", "Datastore error: %s", failure.description().c_str());
    return ok.boolValue() && failure.domain.empty();
}

void TLYDataStore::onExit() { save(nullptr); }

void TLYDataStore::close() {
    auto& thread = TLY::thread();
    auto closeAll = [this] {
        if (!context_) return;
        if (currentContext_) saveOnThread(nullptr);
        context_->close();
        oldContext_->close();
        currentContext_ = nullptr;
    };
    if (thread.isCurrent()) {
        closeAll();
        return;
    }
    std::promise<void> done;
    thread.perform([&] {
        closeAll();
        done.set_value();
    });
    done.get_future().wait();
}

bool TLYDataStore::isDrainingOldStore() {
    return performBlockAndWait([&](Error*) { return Value(currentContext_ == oldContext_.get()); }).boolValue();
}

// ---- properties

std::optional<ManagedObject> TLYDataStore::fetchProperty(const std::string& name, Error* error) {
    FetchRequest request(kPropertyEntity);
    request.where("name", Comparison::Op::Equal, Value(name)).limit(1);
    auto rows = oldContext_->fetch(request, error);
    if (!rows || rows->empty()) return std::nullopt;
    return rows->front();
}

bool TLYDataStore::setProperty(const std::string& name, const Value& value, const char* column, Error* error) {
    Value ok = performBlockAndWait(
        [&](Error* taskError) -> Value {
            auto row = fetchProperty(name, taskError);
            std::string id;
            if (row) {
                id = row->objectID;
            } else {
                auto inserted = oldContext_->insert(
                    kPropertyEntity, {{"name", Value(name)}, {"tlyVersion", Value(kTLYProductVersion)}}, taskError);
                if (!inserted) return Value(false);
                id = *inserted;
            }
            if (!oldContext_->update(id, {{column, value}}, taskError)) return Value(false);
            return Value(oldContext_->save(taskError));
        },
        error);
    return ok.boolValue();
}

std::string TLYDataStore::clientId() {
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        if (clientId_) return *clientId_;
    }
    waitForSetUp();
    std::lock_guard<std::mutex> guard(memoryLock_);
    return clientId_.value_or("");
}

void TLYDataStore::setClientId(const std::string& clientId) {
    // The set-up reads the stored values into memory: it must not overwrite this one.
    waitForSetUp();
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        clientId_ = clientId;
    }
    setProperty("ClientId", Value(clientId), "string", nullptr);
}

std::optional<std::string> TLYDataStore::hashedIdfa() {
    waitForSetUp();
    std::lock_guard<std::mutex> guard(memoryLock_);
    return hashedIdfa_;
}

void TLYDataStore::setHashedIdfa(const std::optional<std::string>& hash) {
    waitForSetUp();
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        hashedIdfa_ = hash;
    }
    setProperty("idfa", hash ? Value(*hash) : Value(), "string", nullptr);
}

int64_t TLYDataStore::idfaChangeCount() {
    waitForSetUp();
    std::lock_guard<std::mutex> guard(memoryLock_);
    return idfaChangeCount_;
}

void TLYDataStore::setIdfaChangeCount(int64_t count) {
    waitForSetUp();
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        idfaChangeCount_ = count;
    }
    setProperty("numChanges", Value(count), "number", nullptr);
}

double TLYDataStore::lastChangeTimeStamp() {
    waitForSetUp();
    std::lock_guard<std::mutex> guard(memoryLock_);
    return lastChangeTimeStamp_;
}

void TLYDataStore::setLastChangeTimeStamp(double secondsSince1970) {
    waitForSetUp();
    {
        std::lock_guard<std::mutex> guard(memoryLock_);
        lastChangeTimeStamp_ = secondsSince1970;
    }
    setProperty("changeTS", Value(int64_t(secondsSince1970)), "number", nullptr);
}
