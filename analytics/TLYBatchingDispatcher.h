#pragma once
// The analytics client's batching dispatcher, and the ad-attribution client
// it asks about the install.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "analytics/TLYDispatchPlanner.h"
#include "analytics/TLYDispatchSender.h"
#include "analytics/TLYHitStorage.h"
#include "analytics/TLYReachabilityChecker.h"
#include "analytics/TLYRequestBuilder.h"
#include "analytics/TLYURLConnection.h"
#include "platform/foundation/Value.h"

class TLYAnalyticsPropertiesStore;
namespace platform::foundation {
class RunLoop;
class Timer;
}  // namespace platform::foundation

inline constexpr const char* kTLYWillDispatchNotification = "TLYWillDispatchNotification";
// Points every collection endpoint at another server, e.g. "http://127.0.0.1:8080":
// single hits then go to <base>/collect and batches to <base>/batch.
inline constexpr const char* kTLYCollectURLEnvironmentVariable = "QUENMIRA_COLLECT_URL";

// The platform's ad-attribution client, as the install-attribution check sees it.
class TLYAdClient {
public:
    virtual ~TLYAdClient() = default;
    // Each operation is used only when the client answers to it.
    virtual bool respondsToLookupAdConversionDetails() const { return false; }
    // Block: (app purchase date, ad impression date), seconds since 1970.
    virtual void lookupAdConversionDetails(std::function<void(std::optional<double>, std::optional<double>)>) {}
    virtual bool respondsToDetermineAppInstallationAttribution() const { return false; }
    virtual void determineAppInstallationAttributionWithCompletionHandler(std::function<void(bool)>) {}

    // The run-time lookup by class name: the platform registers its client's
    // `sharedClient` under its class name. Nothing is registered on this platform.
    using SharedClient = std::function<std::shared_ptr<TLYAdClient>()>;
    static void registerClass(const std::string& className, SharedClient sharedClient);
    static std::shared_ptr<TLYAdClient> sharedClientOfClass(const std::string& className);
};

// What a dispatcher is built on. Empty members take the process's own:
// TLY's analytics thread, the shared properties store, the platform's
// reachability functions.
struct TLYBatchingDispatcherEnvironment {
    platform::foundation::RunLoop* analyticsLoop = nullptr;
    std::shared_ptr<TLYAnalyticsPropertiesStore> propertiesStore;
    const TLYReachabilityApi* reachabilityApi = nullptr;
    // Sends an attribution hit through the tracker of its tracking
    // identifier; by default the tracker TLY's shared instance gives.
    std::function<void(const platform::foundation::Value& hit)> sendThroughTracker;
};

// The sending engine: numbers, samples and stores the hits trackers hand over,
// and uploads stored hits to the collection service on a timer, on demand and
// chained until the store is empty. The analytics thread owns its state:
// every call from elsewhere hops there. The connection's answers are handled
// on the main thread, where completion blocks hear the outcome; what they
// change in the state hops to the analytics thread first. What goes into one
// request is planned by TLYDispatchPlanner.
class TLYBatchingDispatcher : public TLYDispatchSender,
                              public TLYReachabilityDelegate,
                              public std::enable_shared_from_this<TLYBatchingDispatcher> {
public:
    using Value = platform::foundation::Value;
    using Environment = TLYBatchingDispatcherEnvironment;
    using Endpoints = TLYDispatchEndpoints;
    using Settings = TLYDispatchSettings;

    // A dispatcher over a new hit store (TLYDataStore::dataStore()); null when
    // the store gives none.
    static std::shared_ptr<TLYBatchingDispatcher> dispatcher();
    // Made, started and observing; null without a store.
    static std::shared_ptr<TLYBatchingDispatcher> initWithDataStore(std::shared_ptr<TLYHitStorage> store,
                                                                    Environment environment = {});
    ~TLYBatchingDispatcher() override;
    TLYBatchingDispatcher(const TLYBatchingDispatcher&) = delete;
    TLYBatchingDispatcher& operator=(const TLYBatchingDispatcher&) = delete;

    // The endpoints: QUENMIRA_COLLECT_URL when set, else the collection hosts.
    static Endpoints defaultEndpoints();

    // --- TLYDispatchSender ---
    void queueDispatch(const Value& parameters) override;
    void queueModel(std::shared_ptr<TLYTrackerModel> model) override;
    std::shared_ptr<TLYDataStore> dataStore() const override;
    std::string clientId() override;
    // The one value read back from any thread (TLY forwards it).
    double dispatchInterval() const override;
    void setDispatchInterval(double seconds) override;
    void dispatchWithCompletionHandler(TLYDispatchCompletion completion) override;
    void optOutChanged(bool optOut) override;

    // --- TLYReachabilityDelegate ---
    void reachabilityStatusChanged(TLYReachabilityChecker& checker, int32_t status) override;

    // Set from any thread; they take effect on the analytics thread, after the
    // work already queued there.
    void setSettings(Settings settings);
    void setUrlConnectionClass(TLYURLConnectionFactory factory);

    // The state, read on the analytics thread only (elsewhere they raise
    // NSInternalInconsistencyException).
    const Settings& settings() const;
    bool hasHits() const;
    bool hostReachable() const;
    bool serverBatchingDisabled() const;  // batches refused by the service: one hit per request
    bool hasConnection() const;           // a request is in flight
    bool hasTimer() const;                // the repeating dispatch timer exists
    // Readable from any thread: it is copied on the thread that reports a change.
    bool optOut() const { return optOut_; }

private:
    TLYBatchingDispatcher(std::shared_ptr<TLYHitStorage> store, Environment environment);

    bool isAnalyticsThread() const;
    // This dispatcher, once the caller is known to be on the analytics thread.
    const TLYBatchingDispatcher& checked() const;
    // Runs `work` at once on the analytics thread, else queues it there.
    void onAnalyticsThread(std::function<void()> work);
    void setUp();

    // --- Scheduling ---
    void initialDispatch();
    void timerFired();
    bool canScheduleDispatch() const;
    bool canDispatch() const;
    void setHasHits(bool hasHits);
    void setHostReachable(bool reachable);
    void rescheduleDispatch();
    void cancelDispatch();

    // --- Intake ---
    void intake(const Value& parameters);
    void persist(const Value& record);
    // Commits the hits stored since the last commit, and their hit numbers.
    // Queued behind the hits already waiting on the analytics thread, so a
    // burst shares one commit while a lone hit is committed at once.
    void commitStoredHits();

    // --- A dispatch pass ---
    void dispatchPass(const TLYDispatchCompletion& completion);
    // `stuck`: expired hits could not be deleted, so the store still holds hits
    // although none is answered.
    std::optional<Value::Array> nextPendingHits(bool& stuck);
    Value::Array hitsForDispatch(bool& stuck);
    void send(const platform::net::URLRequest& request, const Value::Array& hits,
              const TLYDispatchCompletion& completion);
    // On the main thread, with the hits of the request.
    void didSendHits(const Value::Array& hits, const TLYURLConnection::Answer& answer,
                     const TLYDispatchCompletion& completion);
    // On the analytics thread: the hits were answered.
    void didSendHits(const Value::Array& hits);
    // On the analytics thread: the hits of the request stay stored, for the timer.
    void retryStoredHitsLater();
    bool deleteHits(const Value::Array& hits);  // false when the store reported an error
    void deleteAllHits();
    static void complete(const TLYDispatchCompletion& completion, TLYDispatchResult result);
    TLYDispatchCompletion defaultCompletionHandler() const;

    // --- Install attribution: run after every stored hit ---
    void checkIAdCampaignAttributionWithHitParameters(const Value& parameters);
    std::optional<Value> buildIAdCampaignHitWithHitParameters(const Value& parameters) const;
    static void insertHitTime(double time, Value& hit);
    void handleCampaignResult(bool attributed, const Value& campaignHit);
    void sendIAdCampaignHit(const Value& hit);
    static std::shared_ptr<TLYAdClient> adClientInstance();

    // Fixed at creation.
    const std::shared_ptr<TLYHitStorage> store_;
    const std::shared_ptr<TLYDataStore> dataStoreObject_;  // the store, when it is a TLYDataStore
    const Environment environment_;
    platform::foundation::RunLoop* const loop_;
    const std::shared_ptr<TLYAnalyticsPropertiesStore> propertiesStore_;
    const TLYRequestBuilder requestBuilder_;
    std::unique_ptr<TLYReachabilityChecker> reachability_;  // made by setUp()

    // Written by setDispatchInterval() on the caller's thread, so TLY reads back what it set.
    std::atomic<double> dispatchInterval_{120.0};

    // The analytics thread's own.
    Settings settings_;
    TLYURLConnectionFactory urlConnectionClass_;
    bool hasHits_ = true;
    std::atomic<bool> optOut_{false};
    bool hostReachable_ = true;
    bool serverBatchingDisabled_ = false;
    double batchFailedTime_ = 0;  // seconds since 2001-01-01
    Value::Array uncommitted_;    // stored hits waiting for commitStoredHits()
    std::shared_ptr<TLYURLConnection> connection_;
    std::shared_ptr<platform::foundation::Timer> timer_;
    std::map<std::string, bool> iAdCampaignTrackerIdCache_;
};
