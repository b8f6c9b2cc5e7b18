#pragma once
// The sending engine: numbers, samples and stores the hits trackers hand over,
// and uploads stored hits to the collection service on a timer, on demand and
// chained until the store is empty. Its work runs on the analytics thread;
// answers arrive on the main queue.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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

class TLYBatchingDispatcher : public TLYDispatchSender,
                              public TLYReachabilityDelegate,
                              public std::enable_shared_from_this<TLYBatchingDispatcher> {
public:
    using Value = platform::foundation::Value;

    using Environment = TLYBatchingDispatcherEnvironment;

    // A dispatcher over a new hit store (TLYDataStore::dataStore()); null when
    // the store gives none.
    static std::shared_ptr<TLYBatchingDispatcher> dispatcher();
    // Made, started and observing; null without a store.
    static std::shared_ptr<TLYBatchingDispatcher> initWithDataStore(std::shared_ptr<TLYHitStorage> store,
                                                                    Environment environment = {});
    ~TLYBatchingDispatcher() override;

    // The endpoints: QUENMIRA_COLLECT_URL when set, else the collection hosts.
    struct Endpoints {
        std::string httpURL, httpsURL, httpBatchURL, httpsBatchURL;
    };
    static Endpoints defaultEndpoints();

    // --- TLYDispatchSender ---
    void queueDispatch(const Value& parameters) override;
    void queueModel(std::shared_ptr<TLYTrackerModel> model) override;
    std::shared_ptr<TLYDataStore> dataStore() const override;
    std::string clientId() override;
    double dispatchInterval() const override;
    void setDispatchInterval(double seconds) override;
    void dispatchWithCompletionHandler(TLYDispatchCompletion completion) override;
    void optOutChanged(bool optOut) override;

    // --- TLYReachabilityDelegate ---
    void reachabilityStatusChanged(TLYReachabilityChecker& checker, int32_t status) override;

    void deleteAllHits();
    void setDataStoreObject(std::shared_ptr<TLYDataStore> dataStore) { dataStoreObject_ = std::move(dataStore); }

    // Accessors, safe from any thread.
    bool hasHits() const;
    void setHasHits(bool hasHits);
    bool hostReachable() const;
    void setHostReachable(bool reachable);
    bool optOut() const;
    bool serverBatchingDisabled() const;
    void setServerBatchingDisabled(bool disabled);
    double batchFailedTime() const;  // seconds since 2001-01-01
    void setBatchFailedTime(double time);
    double batchRetryInterval() const;
    void setBatchRetryInterval(double seconds);
    uint64_t batchingStrategy() const;
    void setBatchingStrategy(uint64_t strategy);
    uint64_t compressionStrategy() const;
    void setCompressionStrategy(uint64_t strategy);
    uint64_t maxHitsPerDispatch() const;
    void setMaxHitsPerDispatch(uint64_t count);
    double maxHitAge() const;
    void setMaxHitAge(double seconds);
    uint64_t maxBodySize() const;
    void setMaxBodySize(uint64_t bytes);
    uint64_t maxHitSize() const;
    void setMaxHitSize(uint64_t bytes);
    Endpoints endpoints() const;
    void setEndpoints(const Endpoints& endpoints);
    TLYURLConnectionFactory urlConnectionClass() const;
    void setUrlConnectionClass(TLYURLConnectionFactory factory);
    const TLYRequestBuilder& requestBuilder() const { return requestBuilder_; }
    bool hasConnection() const;
    bool hasTimer() const;  // the repeating dispatch timer exists
    TLYReachabilityChecker* reachability() const { return reachability_.get(); }
    const std::shared_ptr<TLYHitStorage>& hitStore() const { return store_; }

    // Selection rules, exposed for their callers' tests.
    static uint64_t batchByTimeGap(const Value::Array& hits, uint64_t maxHits);
    static uint64_t batchBySessionSplit(const Value::Array& hits, uint64_t maxHits);
    Value::Array hitsForDispatch();  // on the analytics thread

    // Install attribution: run after every stored hit.
    void checkIAdCampaignAttributionWithHitParameters(const Value& parameters);
    std::optional<Value> buildIAdCampaignHitWithHitParameters(const Value& parameters) const;
    static void insertHitTime(double time, Value& hit);
    void handleCampaignResult(bool attributed, const Value& campaignHit);
    void sendIAdCampaignHit(const Value& hit);
    static std::shared_ptr<TLYAdClient> adClientInstance();

    TLYBatchingDispatcher(std::shared_ptr<TLYHitStorage> store, Environment environment);

private:
    struct PassResult;
    bool onAnalyticsThread() const;
    // Runs `fn` on the analytics thread; true when it was carried over there
    // (the caller then does nothing itself).
    bool hop(std::function<void()> fn, bool wait);
    void setUp();
    void initialDispatch();
    void timerFired();
    bool canScheduleDispatch() const;
    bool canDispatch() const;
    void rescheduleDispatch();
    void cancelDispatch();
    // The timer's period: the interval, doubled after each failed pass in a
    // row, capped at an hour (or the interval when that is longer).
    double retryDelay() const;
    // After each answer: a failure backs the timer off; a success brings it
    // back to the interval, and builds it when hits are still stored.
    void keepDispatching(bool failed);
    // `chained`: a pass of the default chain, which goes on after a batch fallback.
    void dispatchPass(TLYDispatchCompletion completion, bool chained);
    std::optional<Value::Array> nextPendingHits();
    std::string payloadFor(const Value& hit) const;
    void persist(const Value& record);
    // Commits the hits stored since the last commit, and their hit numbers.
    // Queued behind the hits already waiting on the analytics thread, so a
    // burst shares one commit while a lone hit is committed at once.
    void commitStoredHits();
    bool deleteHits(const Value::Array& hits);  // false when the store reported an error
    void didSendHits(const Value::Array& hits);
    void handleAnswer(const Value::Array& hits, const TLYURLConnection::Answer& answer,
                      const TLYDispatchCompletion& completion, bool chained);
    static void complete(const TLYDispatchCompletion& completion, TLYDispatchResult result);
    TLYDispatchCompletion defaultCompletionHandler() const;

    mutable std::recursive_mutex lock_;
    bool hasHits_ = true;
    bool optOut_ = false;
    bool hostReachable_ = true;
    bool serverBatchingDisabled_ = false;
    uint64_t batchingStrategy_ = 2;
    uint64_t compressionStrategy_ = kTLYCompressionGzip;
    double dispatchInterval_ = 120.0;
    uint32_t failedPasses_ = 0;  // failed passes in a row
    Value::Array uncommitted_;   // stored hits waiting for commitStoredHits(); analytics thread only
    std::shared_ptr<TLYHitStorage> store_;
    std::shared_ptr<TLYDataStore> dataStoreObject_;
    std::shared_ptr<TLYAnalyticsPropertiesStore> propertiesStore_;
    TLYRequestBuilder requestBuilder_;
    TLYURLConnectionFactory urlConnectionClass_;
    uint64_t maxHitsPerDispatch_ = 20;
    double maxHitAge_ = 2592000.0;
    uint64_t maxBodySize_ = 8192;
    uint64_t maxHitSize_ = 8192;
    std::unique_ptr<TLYReachabilityChecker> reachability_;
    Endpoints endpoints_;
    std::shared_ptr<TLYURLConnection> connection_;
    std::shared_ptr<platform::foundation::Timer> timer_;
    double batchFailedTime_ = 0;
    double batchRetryInterval_ = 3600.0;
    std::map<std::string, bool> iAdCampaignTrackerIdCache_;
    Environment environment_;
    platform::foundation::RunLoop* loop_ = nullptr;
};
