#pragma once
// What a tracker hands its hits to, and what TLY asks of the dispatcher it owns.
// The batching dispatcher implements it; TLY makes one through the factory that
// TLY::setDispatcherFactory installs (tests may install their own).
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class TLYDataStore;
class TLYTrackerModel;

// Outcome of a dispatch pass, as handed to a completion block.
enum class TLYDispatchResult : int {
    NoData = 0,  // nothing was sent (no hits, nothing possible, a request in flight)
    Good = 1,    // hits were delivered (or dropped because no request could be built)
    Error = 2,   // network failure or the batch fallback
};
using TLYDispatchCompletion = std::function<void(TLYDispatchResult)>;

class TLYDispatchSender {
public:
    virtual ~TLYDispatchSender() = default;

    // --- What trackers hand over ---
    // A finished parameter dictionary of "&" keys; "timestamp" (a date), when
    // present, is the hit time. Numbered, sampled and stored on "TLYThread".
    virtual void queueDispatch(const platform::foundation::Value& parameters) = 0;
    // A hit's model (a copy no longer shared with its tracker). Dropped while
    // opted out; otherwise built with buildDictionary() on "TLYThread" and queued
    // with queueDispatch().
    virtual void queueModel(std::shared_ptr<TLYTrackerModel> model) = 0;
    // The hit store; trackers' models read the client identifier from it.
    virtual std::shared_ptr<TLYDataStore> dataStore() const = 0;

    // --- What TLY forwards ---
    virtual std::string clientId() = 0;
    virtual double dispatchInterval() const = 0;
    virtual void setDispatchInterval(double seconds) = 0;
    // One sending pass. A null block chains passes with the default handler; a
    // block is called once and stops the timer (interval -1.0).
    virtual void dispatchWithCompletionHandler(TLYDispatchCompletion completion) = 0;
    void dispatch() { dispatchWithCompletionHandler(nullptr); }
    // TLY's opt-out as it changes (not called for the initial NO): when it turns
    // on, queued and stored hits are dropped.
    virtual void optOutChanged(bool optOut) = 0;
};
