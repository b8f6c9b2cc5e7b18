#include "analytics/TLY.h"

#include <future>

#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYExceptionHandler.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYLog.h"
#include "analytics/TLYStringUtil.h"
#include "analytics/TLYTrackerImpl.h"
#include "analytics/TLYURLConnection.h"
#include "analytics/TLYUsageTracker.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Database.h"

using platform::foundation::Value;

namespace {

// The logger lives apart from the instance so that logging never needs the
// instance (it may be logging while it is made). Readers take a copy under the
// lock: a logger replaced meanwhile stays alive until they are done. Neither
// is ever destroyed: "TLYThread" may log while the process exits.
std::mutex& loggerLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::shared_ptr<TLYLogger>& loggerSlot() {
    static auto* logger = new std::shared_ptr<TLYLogger>(std::make_shared<TLYDefaultLogger>());
    return *logger;
}

std::mutex& hooksLock() {
    static std::mutex m;
    return m;
}

TLY::DispatcherFactory& dispatcherFactory() {
    static auto* f = new TLY::DispatcherFactory;  // outlives exit
    return *f;
}

TLYConnectionClass& defaultConnectionClass() {
    static auto* c = new TLYConnectionClass{[](bool dryRun) { TLYURLConnection::setDryRun(dryRun); }};
    return *c;
}

}  // namespace

TLY& TLY::sharedInstance() {
    static TLY* instance = new TLY();  // lives until the process ends
    return *instance;
}

std::shared_ptr<TLYLogger> TLY::sharedLogger() {
    std::lock_guard<std::mutex> guard(loggerLock());
    return loggerSlot();
}

platform::foundation::Thread& TLY::thread() {
    // Never destroyed: work may still be queued for it while the process exits.
    static platform::foundation::Thread* t = new platform::foundation::Thread("TLYThread");
    return *t;
}

void TLY::setDispatcherFactory(DispatcherFactory factory) {
    std::lock_guard<std::mutex> guard(hooksLock());
    dispatcherFactory() = std::move(factory);
}

void TLY::setDefaultUrlConnectionClass(TLYConnectionClass connectionClass) {
    std::lock_guard<std::mutex> guard(hooksLock());
    defaultConnectionClass() = std::move(connectionClass);
}

TLY::TLY() {
    trackerImplClass_ = [](std::shared_ptr<TLYDispatchSender> dispatcher, const std::string& name) {
        return std::shared_ptr<TLYTracker>(TLYTrackerImpl::trackerWithDispatcher(std::move(dispatcher), name));
    };
    {
        std::lock_guard<std::mutex> guard(hooksLock());
        urlConnectionClass_ = defaultConnectionClass();
    }
    if (!createDispatcher()) TLY_ERROR("-[TLY init]", "Dispatcher initialization failed: %s", "(null)");
    auto& defaults = platform::foundation::UserDefaults::standard();
    if (defaults.objectForKey(kTLYFirstInitTimeStampKey).isNull()) {
        defaults.setObject(kTLYFirstInitTimeStampKey, Value::date(platform::foundation::Clock::current().now()));
        defaults.synchronize();
    }
}

bool TLY::createDispatcher() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (dispatcher_) return true;
    DispatcherFactory factory;
    {
        std::lock_guard<std::mutex> hooks(hooksLock());
        factory = dispatcherFactory();
    }
    dispatcher_ = factory ? factory() : std::shared_ptr<TLYDispatchSender>(TLYBatchingDispatcher::dispatcher());
    return dispatcher_ != nullptr;
}

std::shared_ptr<TLYDispatchSender> TLY::dispatcher() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!dispatcher_ && !createDispatcher()) TLY_ERROR("-[TLY dispatcher]", "Cannot initiate dispatcher: %s", "(null)");
    return dispatcher_;
}

std::shared_ptr<TLYTracker> TLY::trackerWithName(const std::string& name, const std::string& trackingId) {
    std::string trimmed = TLYStringUtil::trim(name);
    if (trimmed.empty()) {
        TLY_ERROR("-[TLY trackerWithName:trackingId:]", "Nil or empty name supplied. Cannot create tracker.");
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("trackerWithName:trackingId:");
    auto it = trackers_.find(trimmed);
    if (it != trackers_.end()) return it->second;
    std::shared_ptr<TLYTracker> tracker = trackerImplClass_(dispatcher(), trimmed);
    if (tracker) {
        tracker->tly_set(kTLYTrackingId, Value(trackingId));
        trackers_[trimmed] = tracker;
        if (!defaultTracker_.lock()) defaultTracker_ = tracker;
    }
    return tracker;
}

std::shared_ptr<TLYTracker> TLY::trackerWithTrackingId(const std::string& trackingId) {
    return trackerWithName(trackingId, trackingId);
}

std::shared_ptr<TLYTracker> TLY::defaultTracker() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("defaultTracker");
    return defaultTracker_.lock();
}

void TLY::setDefaultTracker(const std::shared_ptr<TLYTracker>& tracker) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("setDefaultTracker:");
    defaultTracker_ = tracker;
}

void TLY::removeTrackerByName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("removeTrackerByName:");
    auto it = trackers_.find(name);
    if (it == trackers_.end()) return;
    std::shared_ptr<TLYTracker> found = it->second;
    trackers_.erase(found->name());
    if (defaultTracker_.lock() == found) defaultTracker_.reset();
}

std::map<std::string, std::shared_ptr<TLYTracker>> TLY::trackers() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return trackers_;
}

std::string TLY::clientId() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto d = dispatcher();
    return d ? d->clientId() : "";
}

double TLY::dispatchInterval() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto d = dispatcher();
    return d ? d->dispatchInterval() : 0;
}

void TLY::setDispatchInterval(double seconds) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("setDispatchInterval:");
    if (auto d = dispatcher()) d->setDispatchInterval(seconds);
}

void TLY::dispatch() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("dispatch");
    if (auto d = dispatcher()) d->dispatch();
}

void TLY::dispatchWithCompletionHandler(TLYDispatchCompletion completion) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (auto d = dispatcher()) d->dispatchWithCompletionHandler(std::move(completion));
}

bool TLY::trackUncaughtExceptions() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("trackUncaughtExceptions");
    return trackUncaughtExceptions_;
}

void TLY::setTrackUncaughtExceptions(bool track) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("setTrackUncaughtExceptions:");
    if (track)
        TLYInstallUncaughtExceptionHandler();
    else
        TLYRemoveUncaughtExceptionHandler();
    trackUncaughtExceptions_ = track;
}

bool TLY::dryRun() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("dryRun");
    return dryRun_;
}

void TLY::setDryRun(bool dryRun) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("setDryRun:");
    dryRun_ = dryRun;
    if (urlConnectionClass_.setDryRun) urlConnectionClass_.setDryRun(dryRun);
}

bool TLY::optOut() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("optOut");
    return optOut_;
}

void TLY::setOptOut(bool optOut) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TLYUsageTracker::trackAction("setOptOut:");
    optOut_ = optOut;
    if (dispatcher_) dispatcher_->optOutChanged(optOut);
}

std::shared_ptr<TLYLogger> TLY::logger() { return sharedLogger(); }

void TLY::setLogger(std::shared_ptr<TLYLogger> logger) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::shared_ptr<TLYLogger> old;
    {
        std::lock_guard<std::mutex> slot(loggerLock());
        if (loggerSlot() == logger) return;
        old = std::move(loggerSlot());
        loggerSlot() = std::move(logger);
    }
    TLYUsageTracker::trackAction("setLogger:");
}

void TLY::setUrlConnectionClass(TLYConnectionClass connectionClass) {
    urlConnectionClass_ = std::move(connectionClass);
    if (urlConnectionClass_.setDryRun) urlConnectionClass_.setDryRun(dryRun_);
}

void TLY::setTrackerImplClass(TrackerFactory factory) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    trackerImplClass_ = std::move(factory);
}

void TLY::reset() {
    std::shared_ptr<TLYDataStore> store;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        setDispatchInterval(-1.0);
        trackers_.clear();
        defaultTracker_.reset();
        if (dispatcher_) store = dispatcher_->dataStore();
        dispatcher_.reset();
    }
    // Let the work queued before the reset finish.
    if (!thread().isCurrent()) {
        std::promise<void> done;
        thread().perform([&done] { done.set_value(); });
        done.get_future().wait();
    }
    // Files are deleted only once nothing has them open.
    if (store) store->close();
    for (const char* name : {kTLYOldStoreFileName, kTLYStoreFileName}) {
        auto path = TLYDataStore::databaseFullPath(name);
        if (!path) continue;
        platform::foundation::FileManager::remove(*path);
        for (const std::string& suffix : platform::store::companionSuffixes())
            platform::foundation::FileManager::remove(*path + suffix);
        platform::store::removeSetAsideCopies(*path);
    }
}
