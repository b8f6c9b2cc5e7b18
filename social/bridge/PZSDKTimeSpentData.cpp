#include "social/bridge/PZSDKTimeSpentData.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Value.h"

using platform::foundation::Clock;
using platform::foundation::FileManager;
using platform::foundation::Value;

namespace {

std::unique_ptr<PZSDKTimeSpentData> gShared;

double number(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isNumber() && std::isfinite(v.doubleValue()) ? v.doubleValue() : 0.0;
}

std::string text(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isString() ? v.string() : std::string();
}

}  // namespace

PZSDKTimeSpentData& PZSDKTimeSpentData::shared() {
    if (!gShared) gShared = std::make_unique<PZSDKTimeSpentData>();
    return *gShared;
}

void PZSDKTimeSpentData::resetShared() { gShared.reset(); }

std::string PZSDKTimeSpentData::persistencePath() {
    return FileManager::joinPath(platform::foundation::Sandbox::library(), kFileName);
}

void PZSDKTimeSpentData::restore(bool calledFromActivateApp) {
    if (loaded_) return;
    FileManager::removeLeftoverTemporaries(platform::foundation::Sandbox::library(), kFileName);
    const double now = Clock::current().now();
    std::optional<Value> saved;
    if (auto bytes = FileManager::readFile(persistencePath())) {
        saved = Value::fromJSON(*bytes);
        if (!saved || !saved->isDictionary()) {
            // Kept for inspection rather than overwritten by the next suspend.
            std::string aside = FileManager::moveAside(persistencePath());
            platform::foundation::log(
                "Cannot read the time spent in " + persistencePath() +
                (aside.empty() ? std::string("; it will be replaced") : "; moved it to " + aside));
        }
    }
    if (!saved || !saved->isDictionary()) {
        // First launch, or a file nobody can read: a fresh first session.
        secondsSpent_ = 0;
        interruptions_ = 0;
        sessions_ = 1;
        lastSuspendTime_ = 0;
    } else {
        secondsSpent_ = std::max(0.0, number(*saved, "secondsSpentInCurrentSession"));
        interruptions_ = int(std::max(0.0, number(*saved, "numInterruptions")));
        sessions_ = int(std::max(1.0, number(*saved, "numSessions")));
        lastSuspendTime_ = number(*saved, "lastSuspendTime");
        if (sourceApplication_.empty() && url_.empty()) {
            sourceApplication_ = text(*saved, "sourceApplication");
            url_ = text(*saved, "url");
        }
        const double away = now - lastSuspendTime_;
        if (away > kSessionTimeout || away < 0) {  // a clock set back also ends the session
            secondsSpent_ = 0;
            interruptions_ = 0;
            ++sessions_;
        } else if (away > kInterruptionThreshold && calledFromActivateApp) {
            ++interruptions_;
        }
    }
    lastRestoreTime_ = now;
    loaded_ = true;
}

void PZSDKTimeSpentData::suspend() {
    if (!loaded_) return;
    const double now = Clock::current().now();
    secondsSpent_ += std::max(0.0, now - lastRestoreTime_);
    lastSuspendTime_ = now;
    Value::Dictionary d;
    d["secondsSpentInCurrentSession"] = Value(secondsSpent_);
    d["numInterruptions"] = Value(int64_t(interruptions_));
    d["numSessions"] = Value(int64_t(sessions_));
    d["lastSuspendTime"] = Value(lastSuspendTime_);
    d["sourceApplication"] = Value(sourceApplication_);
    d["url"] = Value(url_);
    platform::foundation::Error error;
    if (!FileManager::writeFileAtomically(persistencePath(), Value(d).toJSON(), &error,
                                          platform::foundation::Sandbox::kPrivateFileMode))
        platform::foundation::log("Cannot save the time spent: " + error.localizedDescription());
    loaded_ = false;
}

void PZSDKTimeSpentData::setSourceApplication(const std::string& sourceApplication, const std::string& url) {
    sourceApplication_ = sourceApplication;
    url_ = url;
}
