#pragma once
// The analytics client's single entry point: trackers by name, the default
// tracker, the dispatcher that stores and uploads hits, the client-wide
// switches, the logger, and the analytics thread "TLYThread".
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "analytics/TLYDispatchSender.h"
#include "analytics/TLYLogger.h"
#include "analytics/TLYTracker.h"

#include "platform/foundation/Thread.h"

// What TLY asks of a connection class: to be told the dry-run flag.
struct TLYConnectionClass {
    std::function<void(bool dryRun)> setDryRun;
};

inline constexpr const char* kTLYFirstInitTimeStampKey = "TLYFirstInitTimeStamp";

class TLY {
public:
    using DispatcherFactory = std::function<std::shared_ptr<TLYDispatchSender>()>;
    using TrackerFactory =
        std::function<std::shared_ptr<TLYTracker>(std::shared_ptr<TLYDispatchSender>, const std::string& name)>;

    static TLY& sharedInstance();
    // Every log line of the client goes through it.
    static std::shared_ptr<TLYLogger> sharedLogger();
    // Created and started on first use; stopped only as the application ends. Its run loop blocks while idle.
    static platform::foundation::Thread& thread();

    // Hooks for the sending side, installed before the first sharedInstance():
    // how the dispatcher is made (default: the batching dispatcher over the hit
    // store) and the connection class handed the dry-run flag.
    static void setDispatcherFactory(DispatcherFactory factory);
    static void setDefaultUrlConnectionClass(TLYConnectionClass connectionClass);

    TLY(const TLY&) = delete;
    TLY& operator=(const TLY&) = delete;

    // Null for a name that is empty after trimming. A known name answers its
    // tracker unchanged; the first tracker made becomes the default.
    std::shared_ptr<TLYTracker> trackerWithName(const std::string& name, const std::string& trackingId);
    std::shared_ptr<TLYTracker> trackerWithTrackingId(const std::string& trackingId);
    std::shared_ptr<TLYTracker> defaultTracker();
    void setDefaultTracker(const std::shared_ptr<TLYTracker>& tracker);
    void removeTrackerByName(const std::string& name);
    std::map<std::string, std::shared_ptr<TLYTracker>> trackers();

    std::string clientId();
    double dispatchInterval();
    void setDispatchInterval(double seconds);
    void dispatch();
    void dispatchWithCompletionHandler(TLYDispatchCompletion completion);

    bool trackUncaughtExceptions();
    void setTrackUncaughtExceptions(bool track);
    bool dryRun();
    void setDryRun(bool dryRun);
    bool optOut();
    void setOptOut(bool optOut);
    std::shared_ptr<TLYLogger> logger();
    void setLogger(std::shared_ptr<TLYLogger> logger);
    void setUrlConnectionClass(TLYConnectionClass connectionClass);
    void setTrackerImplClass(TrackerFactory factory);

    // Made on first use; null when none can be made.
    std::shared_ptr<TLYDispatchSender> dispatcher();
    // No trackers, no dispatcher, no hit-store files (closed first); the
    // first-launch time stays.
    void reset();

private:
    TLY();
    bool createDispatcher();

    std::recursive_mutex lock_;
    bool trackUncaughtExceptions_ = false;
    bool dryRun_ = false;
    bool optOut_ = false;
    std::shared_ptr<TLYDispatchSender> dispatcher_;
    std::map<std::string, std::shared_ptr<TLYTracker>> trackers_;
    std::weak_ptr<TLYTracker> defaultTracker_;
    TrackerFactory trackerImplClass_;
    TLYConnectionClass urlConnectionClass_;
};
