// Install attribution: once per tracking identifier, a "data" hit with the
// campaign source "iAd" when the platform's ad client credits the install to
// its network, during the first day after the client's first start.
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>

#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/UserDefaults.h"

#include "analytics/TLY.h"
#include "platform/foundation/Thread.h"

using platform::foundation::UserDefaults;
using Value = platform::foundation::Value;

namespace {

constexpr const char* kCampaignInfoKey = "TLYCampaignInfoIAd";
constexpr double kCampaignWindow = 86400.0;

std::mutex gClassesMutex;
std::map<std::string, TLYAdClient::SharedClient>& adClientClasses() {
    static auto* classes = new std::map<std::string, TLYAdClient::SharedClient>;  // outlives exit
    return *classes;
}

std::atomic<bool> gLoggedNotLinked{false};
std::atomic<bool> gLoggedPastWindow{false};

}  // namespace

void TLYAdClient::registerClass(const std::string& className, SharedClient sharedClient) {
    std::lock_guard<std::mutex> lock(gClassesMutex);
    if (sharedClient)
        adClientClasses()[className] = std::move(sharedClient);
    else
        adClientClasses().erase(className);
}

std::shared_ptr<TLYAdClient> TLYAdClient::sharedClientOfClass(const std::string& className) {
    SharedClient sharedClient;
    {
        std::lock_guard<std::mutex> lock(gClassesMutex);
        auto it = adClientClasses().find(className);
        if (it == adClientClasses().end()) return nullptr;
        sharedClient = it->second;
    }
    return sharedClient();
}

std::shared_ptr<TLYAdClient> TLYBatchingDispatcher::adClientInstance() {
    return TLYAdClient::sharedClientOfClass("ADClient");
}

void TLYBatchingDispatcher::checkIAdCampaignAttributionWithHitParameters(const Value& parameters) {
    static const char* method = "-[TLYBatchingDispatcher checkIAdCampaignAttributionWithHitParameters:]";
    if (parameters["&cs"].isString() && parameters["&cs"].string() == "iAd") return;

    std::shared_ptr<TLYAdClient> client = adClientInstance();
    if (!client) {
        if (!gLoggedNotLinked.exchange(true))
            TLY_VERBOSE(method,
                        "iAd campaign tracking disabled because the iAd framework is not linked. "
                        "See %s for more information.",
                        "the Quenmira README, section \"Analytics\"");
        return;
    }

    UserDefaults& defaults = UserDefaults::standard();
    Value firstInit = defaults.objectForKey(kTLYFirstInitTimeStampKey);
    if (!firstInit.isDate()) {
        TLY_ERROR(method, "iAd campaign tracking disabled because the TLY init time was not found.");
        return;
    }
    if (std::fabs(platform::foundation::Clock::current().now() - firstInit.dateValue()) > kCampaignWindow) {
        if (!gLoggedPastWindow.exchange(true))
            TLY_VERBOSE(method, "iAd campaign tracking disabled because the current date is past the campaign window.");
        return;
    }

    std::optional<Value> hit = buildIAdCampaignHitWithHitParameters(parameters);
    if (!hit) return;
    insertHitTime(firstInit.dateValue(), *hit);

    Value known = defaults.objectForKey(kCampaignInfoKey);
    if (!known.isNull()) {
        if (known.boolValue()) sendIAdCampaignHit(*hit);
        return;
    }
    // The blocks keep the dispatcher: the service's answer is recorded even
    // when the dispatcher was let go meanwhile.
    auto self = shared_from_this();
    Value campaignHit = *hit;
    if (client->respondsToLookupAdConversionDetails()) {
        client->lookupAdConversionDetails([self, campaignHit](std::optional<double>, std::optional<double> impression) {
            self->handleCampaignResult(impression.has_value(), campaignHit);
        });
    } else if (client->respondsToDetermineAppInstallationAttribution()) {
        client->determineAppInstallationAttributionWithCompletionHandler([self, campaignHit](bool attributed) {
            self->handleCampaignResult(attributed, campaignHit);
        });
    }
}

std::optional<Value> TLYBatchingDispatcher::buildIAdCampaignHitWithHitParameters(const Value& parameters) const {
    if (!parameters.contains("&cid") || !parameters.contains("&tid") || parameters["&cid"].isNull() ||
        parameters["&tid"].isNull())
        return std::nullopt;
    Value hit(Value::Dictionary{});
    for (const char* key : {"&cid", "&tid", "&ate", "&aid", "&aiid", "&an", "&av", "&idfa", "&uid"})
        if (parameters.contains(key) && !parameters[key].isNull()) hit[key] = parameters[key];
    hit["&t"] = "data";
    hit["&cs"] = "iAd";
    hit["&ni"] = "1";
    return hit;
}

void TLYBatchingDispatcher::insertHitTime(double time, Value& hit) { hit["timestamp"] = Value::date(time); }

void TLYBatchingDispatcher::handleCampaignResult(bool attributed, const Value& campaignHit) {
    UserDefaults& defaults = UserDefaults::standard();
    if (defaults.objectForKey(kCampaignInfoKey).isNull()) {
        defaults.setBool(kCampaignInfoKey, attributed);
        defaults.synchronize();
    }
    if (attributed) sendIAdCampaignHit(campaignHit);
}

void TLYBatchingDispatcher::sendIAdCampaignHit(const Value& hit) {
    if (!isAnalyticsThread()) {
        onAnalyticsThread([self = shared_from_this(), hit] { self->sendIAdCampaignHit(hit); });
        return;
    }
    std::string trackingId = hit["&tid"].stringValue();
    if (iAdCampaignTrackerIdCache_.count(trackingId)) return;
    iAdCampaignTrackerIdCache_[trackingId] = true;
    if (!propertiesStore_->setCheckedIAdCampaignForTrackingId(trackingId)) return;
    TLY_VERBOSE("-[TLYBatchingDispatcher sendIAdCampaignHit:]", "Sending iAd campaign attribution.");
    if (environment_.sendThroughTracker) {
        environment_.sendThroughTracker(hit);
        return;
    }
    if (auto tracker = TLY::sharedInstance().trackerWithTrackingId(trackingId)) tracker->send(hit);
}
