#include "analytics/TLYHitStoreSender.h"

#include "analytics/TLY.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYTrackerModel.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Thread.h"

using platform::foundation::Error;
using platform::foundation::Value;

std::shared_ptr<TLYHitStoreSender> TLYHitStoreSender::dispatcher() {
    auto store = TLYDataStore::dataStore();
    return store ? std::make_shared<TLYHitStoreSender>(std::move(store)) : nullptr;
}

TLYHitStoreSender::TLYHitStoreSender(std::shared_ptr<TLYDataStore> dataStore) : dataStore_(std::move(dataStore)) {}

std::string TLYHitStoreSender::clientId() { return dataStore_->clientId(); }

void TLYHitStoreSender::queueModel(std::shared_ptr<TLYTrackerModel> model) {
    if (optOut_ || !model) return;
    auto self = shared_from_this();
    TLY::thread().perform([self, model] { self->queueDispatch(model->buildDictionary()); });
}

void TLYHitStoreSender::queueDispatch(const Value& parameters) {
    auto& thread = TLY::thread();
    if (!thread.isCurrent()) {
        auto self = shared_from_this();
        thread.perform([self, parameters] { self->queueDispatch(parameters); });
        return;
    }
    if (optOut_) return;
    Value copy = parameters;
    Value hitTime = copy["timestamp"];
    if (hitTime.isDate()) copy.erase("timestamp");
    else hitTime = Value::date(platform::foundation::Clock::current().now());
    Value record{Value::Dictionary{}};
    record["timestamp"] = hitTime;
    record["parameters"] = std::move(copy);
    persist(record);
}

void TLYHitStoreSender::persist(const Value& record) {
    dataStore_->addHit(record);
    Error error;
    if (dataStore_->save(&error)) {
        TLY_VERBOSE("-[TLYHitStoreSender persist:]", "Saved hit: %s", record.description().c_str());
    } else {
        TLY_ERROR("-[TLYHitStoreSender persist:]", "Failed to save hit: %s", error.description().c_str());
    }
}

void TLYHitStoreSender::dispatchWithCompletionHandler(TLYDispatchCompletion completion) {
    if (!completion) return;
    dispatchInterval_ = -1.0;
    TLY::thread().perform([completion] { completion(TLYDispatchResult::NoData); });
}

void TLYHitStoreSender::optOutChanged(bool optOut) {
    bool was = optOut_.exchange(optOut);
    if (was || !optOut) return;
    auto self = shared_from_this();
    TLY::thread().perform([self] {
        Error error;
        if (!self->dataStore_->deleteAllHits(&error))
            TLY_ERROR("-[TLYHitStoreSender deleteAllHits]", "Failed to delete all hits for opt-out: %s",
                      error.description().c_str());
        if (!self->dataStore_->save(&error))
            TLY_ERROR("-[TLYHitStoreSender deleteAllHits]", "Failed to save after updating opt-out property %s: %s",
                      "and deleting pending hits", error.description().c_str());
    });
}
