#include "framework/TwkAnalytics.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>

#include "analytics/TLY.h"
#include "crash/manager/PKRPelkorManager.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Thread.h"

namespace pf = platform::foundation;

namespace {

// "Present" is a value the service can use: a string with something in it.
bool present(const pf::Value& v) { return v.isString() && !v.string().empty(); }

}  // namespace

std::shared_ptr<TwkAnalytics> TwkAnalytics::sharedInstance() {
    static std::mutex lock;
    static std::shared_ptr<TwkAnalytics> instance;
    std::lock_guard<std::mutex> guard(lock);
    if (!instance) instance = std::make_shared<TwkAnalytics>();
    return instance;
}

void TwkAnalytics::startWithPelkorDelegate(PKRPelkorManagerDelegate* delegate) {
    const pf::Value key = TwkUtils::getPlistKey(kPelkorKey);
    if (!present(key)) TwkUtils::showAlertWithTitle("LIVE PELKOR SDK KEY MISSING", kMissingKeyBody);
    PKRPelkorManager& manager = PKRPelkorManager::sharedPelkorManager();
    if (const char* url = getenv(kCrashURLEnvironmentVariable); url && *url) manager.setServerURL(std::string(url));
    manager.configureWithIdentifier(present(key) ? std::optional<std::string>(key.string()) : std::nullopt, delegate);
    if (auto crashManager = manager.crashManager()) crashManager->setCrashManagerStatus(PKRCrashManager::kAutoSend);
    manager.startManager();
}

bool TwkAnalytics::didCrashInLastSessionOnStartup() {
    auto crashManager = PKRPelkorManager::sharedPelkorManager().crashManager();
    return crashManager && isCrashOnStartup(crashManager->didCrashInLastSession(),
                                            crashManager->timeIntervalCrashInLastSessionOccurred());
}

bool TwkAnalytics::isCrashOnStartup(bool didCrash, double interval) {
    return didCrash && interval >= 0.0 && interval < kLaunchCrashInterval;
}

void TwkAnalytics::startAnalyticsStuff() {
    pf::dispatch::globalQueue(pf::dispatch::Priority::Background).async([] { startAnalyticsInBlock(); });
}

void TwkAnalytics::finishAnalyticsStuff() {
    pf::Thread& analytics = TLY::thread();
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    analytics.perform([done] { done->set_value(); });
    finished.wait_for(std::chrono::seconds(10));
    analytics.stop();
}

void TwkAnalytics::startAnalyticsInBlock() {
    const pf::Value trackingId = TwkUtils::getPlistKey(kTLYKey);
    if (present(trackingId))
        TLY::sharedInstance().trackerWithTrackingId(trackingId.string());
    else
        TwkUtils::showAlertWithTitle("TLYKey MISSING", kMissingKeyBody);
    if (!present(TwkUtils::getPlistKey(kZendralKey)))
        TwkUtils::showAlertWithTitle("ZENDRAL KEY MISSING", kMissingKeyBody);
}
