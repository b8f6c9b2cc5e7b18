#pragma once
// The dispatch sender that keeps completed hits in the hit store: each hit is
// built on "TLYThread", stored and saved at once. It uploads nothing; a
// dispatch pass reports that nothing was sent.
#include <atomic>
#include <memory>

#include "analytics/TLYDispatchSender.h"

class TLYHitStoreSender : public TLYDispatchSender, public std::enable_shared_from_this<TLYHitStoreSender> {
public:
    // A sender over a new hit store.
    static std::shared_ptr<TLYHitStoreSender> dispatcher();
    explicit TLYHitStoreSender(std::shared_ptr<TLYDataStore> dataStore);

    void queueDispatch(const platform::foundation::Value& parameters) override;
    void queueModel(std::shared_ptr<TLYTrackerModel> model) override;
    std::shared_ptr<TLYDataStore> dataStore() const override { return dataStore_; }
    std::string clientId() override;
    double dispatchInterval() const override { return dispatchInterval_; }
    void setDispatchInterval(double seconds) override { dispatchInterval_ = seconds; }
    void dispatchWithCompletionHandler(TLYDispatchCompletion completion) override;
    void optOutChanged(bool optOut) override;
    bool optOut() const { return optOut_; }

private:
    void persist(const platform::foundation::Value& record);

    std::shared_ptr<TLYDataStore> dataStore_;
    std::atomic<bool> optOut_{false};
    std::atomic<double> dispatchInterval_{120.0};
};
