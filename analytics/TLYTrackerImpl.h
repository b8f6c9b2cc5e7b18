#pragma once
// The tracker: checks the hit type, rate-limits (a burst of 60 hits, then one
// per 2 s; transactions and items are never limited), advances the screen
// counter, stamps the usage letters, lays the hit over the tracker's fields and
// hands the result to its dispatcher.
#include <memory>
#include <mutex>
#include <string>

#include "analytics/TLYDispatchSender.h"
#include "analytics/TLYTracker.h"
#include "analytics/TLYTrackerModel.h"
#include "analytics/TLYUsageTracker.h"

class TLYTrackerImpl : public TLYTracker {
public:
    // Null, with an error line, without a dispatcher.
    static std::shared_ptr<TLYTrackerImpl> trackerWithDispatcher(std::shared_ptr<TLYDispatchSender> dispatcher,
                                                                 const std::string& name);
    TLYTrackerImpl(std::shared_ptr<TLYDispatchSender> dispatcher, std::string name);

    void set(const std::string& parameterName, const platform::foundation::Value& value) override;
    std::optional<std::string> get(const std::string& parameterName) override;
    void send(const platform::foundation::Value& parameters) override;
    const std::string& name() const override { return name_; }
    bool allowIDFACollection() const override { return allowIDFACollection_; }
    void setAllowIDFACollection(bool allow) override;

    void tly_set(const std::string& parameterName, const platform::foundation::Value& value) override;
    std::optional<std::string> tly_get(const std::string& parameterName) override;
    void tly_send(const platform::foundation::Value& parameters) override;
    // Every field of the dictionary.
    void tly_set(const platform::foundation::Value& parameters);

    // True when the hit must be dropped; spends a credit otherwise.
    bool shouldRateLimit();

    const std::shared_ptr<TLYDispatchSender>& dispatcher() const { return dispatcher_; }
    const std::shared_ptr<TLYTrackerModel>& model() const { return model_; }
    double trackingCredits() const;
    void setTrackingCredits(double credits);
    double lastTrackTime() const;  // seconds since 2001-01-01
    void setLastTrackTime(double time);
    TLYUsageTracker& usageTracker() { return usageTracker_; }

private:
    bool allowIDFACollection_ = false;
    std::shared_ptr<TLYDispatchSender> dispatcher_;
    double trackingCredits_ = 60.0;
    double lastTrackTime_ = 0;
    std::string name_;
    std::shared_ptr<TLYTrackerModel> model_;
    TLYUsageTracker usageTracker_;
    mutable std::recursive_mutex lock_;
};
