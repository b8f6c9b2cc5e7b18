#include "analytics/TLYTrackerImpl.h"

#include <algorithm>

#include "analytics/TLYFields.h"
#include "analytics/TLYLog.h"
#include "platform/foundation/Clock.h"

using platform::foundation::Value;

std::shared_ptr<TLYTrackerImpl> TLYTrackerImpl::trackerWithDispatcher(std::shared_ptr<TLYDispatchSender> dispatcher,
                                                                      const std::string& name) {
    if (!dispatcher) {
        TLY_ERROR("-[TLYTrackerImpl initWithDispatcher:name:]", "initialization failed: dispatcher is required.");
        return nullptr;
    }
    return std::make_shared<TLYTrackerImpl>(std::move(dispatcher), name);
}

TLYTrackerImpl::TLYTrackerImpl(std::shared_ptr<TLYDispatchSender> dispatcher, std::string name)
    : dispatcher_(std::move(dispatcher)), name_(std::move(name)) {
    model_ = TLYTrackerModel::initWithDataStore(dispatcher_->dataStore());
}

void TLYTrackerImpl::set(const std::string& parameterName, const Value& value) {
    usageTracker_.trackActionOnInstance("set:value:");
    tly_set(parameterName, value);
}

std::optional<std::string> TLYTrackerImpl::get(const std::string& parameterName) {
    usageTracker_.trackActionOnInstance("get:");
    return tly_get(parameterName);
}

void TLYTrackerImpl::send(const Value& parameters) {
    usageTracker_.trackActionOnInstance("send:");
    tly_send(parameters);
}

void TLYTrackerImpl::setAllowIDFACollection(bool allow) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    allowIDFACollection_ = allow;
    model_->setAllowIDFACollection(allow);
}

void TLYTrackerImpl::tly_set(const std::string& parameterName, const Value& value) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    model_->setValue(value, parameterName);
}

void TLYTrackerImpl::tly_set(const Value& parameters) {
    if (!parameters.isDictionary()) return;
    for (const auto& [key, value] : parameters.dictionary()) tly_set(key, value);
}

std::optional<std::string> TLYTrackerImpl::tly_get(const std::string& parameterName) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Value v = model_->objectForKeyedSubscript(parameterName);
    if (v.isString()) return v.string();
    return std::nullopt;
}

double TLYTrackerImpl::trackingCredits() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return trackingCredits_;
}

void TLYTrackerImpl::setTrackingCredits(double credits) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    trackingCredits_ = credits;
}

double TLYTrackerImpl::lastTrackTime() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return lastTrackTime_;
}

void TLYTrackerImpl::setLastTrackTime(double time) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    lastTrackTime_ = time;
}

bool TLYTrackerImpl::shouldRateLimit() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    double now = platform::foundation::Clock::current().sinceReferenceDate();
    if (lastTrackTime_ != 0 && trackingCredits_ < 60.0 && now > lastTrackTime_) {
        trackingCredits_ = std::min(60.0, trackingCredits_ + (now - lastTrackTime_) * 0.5);
    }
    lastTrackTime_ = now;
    if (trackingCredits_ < 1.0) return true;
    trackingCredits_ -= 1.0;
    return false;
}

void TLYTrackerImpl::tly_send(const Value& parameters) {
    const Value& hitType = parameters[kTLYHitType];
    if (!hitType.isString() || hitType.string().empty())
        TLY_WARNING("-[TLYTrackerImpl tly_send:]", "Bad or missing hit type.");

    std::lock_guard<std::recursive_mutex> guard(lock_);
    bool unlimited = hitType.isString() && (hitType.string() == kTLYTransaction || hitType.string() == kTLYItem);
    if (!unlimited && shouldRateLimit()) {
        TLY_INFO("-[TLYTrackerImpl tly_send:]", "Excessive tracking detected and throttled.");
        return;
    }
    // A type present as the null marker is a type that is no string: it does not count.
    bool typed = parameters.contains(kTLYHitType);
    Value type = hitType;
    if (!typed) {
        typed = model_->parameters().count(kTLYHitType) != 0;
        type = model_->objectForKeyedSubscript(kTLYHitType);
    }
    if (!typed || (type.isString() && (type.string() == kTLYAppView || type.string() == kTLYScreenView))) {
        TLYTrackerModel::willSendScreenView();
    }
    model_->setObject(Value(TLYUsageTracker::getUsageSequence()), kTLYUsage);
    dispatcher_->queueModel(model_->copyWithOverride(parameters));
}
