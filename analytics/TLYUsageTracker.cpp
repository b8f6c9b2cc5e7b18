#include "analytics/TLYUsageTracker.h"

#include <mutex>
#include <unordered_map>

namespace {

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::string& letters() {
    static auto* s = new std::string;  // outlives exit: "TLYThread" may still record
    return *s;
}

const std::unordered_map<std::string, char>& table() {
    static const auto* t = new std::unordered_map<std::string, char>{
        {"set:forKey:", 'A'},
        {"setAll:", 'B'},
        {"dictionaryGet:", 'C'},
        {"setCampaignParametersFromUrl:", 'D'},
        {"get:", 'J'},
        {"set:value:", 'K'},
        {"send:", 'L'},
        {"setTrackUncaughtExceptions:", 'e'},
        {"trackUncaughtExceptions", 'f'},
        {"createTransactionWithId:affiliation:revenue:tax:shipping:currencyCode:", 'g'},
        {"createExceptionWithDescription:withFatal:", 'h'},
        {"createTimingWithCategory:interval:name:label:", 'j'},
        {"createSocialWithNetwork:action:target:", 'k'},
        {"trackerWithName:trackingId:", 'n'},
        {"defaultTracker", 'o'},
        {"setDefaultTracker:", 'p'},
        {"setOptOut:", 'q'},
        {"optOut", 'r'},
        {"dispatch", 's'},
        {"setDispatchInterval:", 't'},
        {"createEventWithCategory:action:label:value:", 'y'},
        {"createItemWithTransactionId:name:sku:category:price:quantity:currencyCode:", 'z'},
        {"setDryRun:", '2'},
        {"dryRun", '3'},
        {"setLogger:", '4'},
        {"removeTrackerByName:", '7'},
        {"createScreenView", '9'},
        {"createAppView", '-'},
    };
    return *t;
}

}  // namespace

char TLYUsageTracker::letterForSelector(const std::string& selector) {
    auto it = table().find(selector);
    return it == table().end() ? 0 : it->second;
}

void TLYUsageTracker::trackTarget(const void*, const std::string& selector) {
    char letter = letterForSelector(selector);
    if (!letter) return;
    std::lock_guard<std::mutex> guard(lock());
    letters() += letter;
}

std::string TLYUsageTracker::getUsageSequence() {
    std::string taken;
    {
        std::lock_guard<std::mutex> guard(lock());
        taken.swap(letters());
    }
    return taken.empty() ? std::string() : "." + taken;
}
