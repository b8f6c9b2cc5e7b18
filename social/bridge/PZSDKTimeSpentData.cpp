#include "social/bridge/PZSDKTimeSpentData.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Value.h"

using platform::foundation::Clock;
using platform::foundation::FileManager;
using platform::foundation::ReadFailure;
using platform::foundation::Value;

namespace {

std::unique_ptr<PZSDKTimeSpentData> gShared;

double number(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isNumber() && std::isfinite(v.doubleValue()) ? v.doubleValue() : 0.0;
}

// A count as the writer keeps it, from `least` to the largest int.
int count(const Value& dict, const char* key, int least) {
    return int(std::clamp(number(dict, key), double(least), double(std::numeric_limits<int>::max())));
}

// Counts stop at the largest int rather than wrap to negative ones.
int oneMore(int count) { return count < std::numeric_limits<int>::max() ? count + 1 : count; }

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
    platform::foundation::Error error;
    const std::string path = persistencePath();
    std::optional<std::string> bytes;
    if (FileManager::giveOwnCopy(path, &error, kMaxFileSize))
        bytes = FileManager::readFile(path, &error, kMaxFileSize, &folder_);
    const ReadFailure failure = bytes ? ReadFailure::kNone : FileManager::readFailure(error);
    if (bytes) saved = Value::fromJSON(*bytes);
    unread_ = failure == ReadFailure::kIOError;
    if (unread_) {
        if (!std::exchange(unreadSaid_, true))
            platform::foundation::log("Cannot read the time spent in " + path + " (" + error.localizedDescription() +
                                      "); it is left as it is, and this launch's time is not saved");
    } else if (failure != ReadFailure::kMissing && (!saved || !saved->isDictionary())) {
        // Kept for inspection rather than overwritten by the next suspend (or
        // written through, were it a link).
        std::string aside = FileManager::moveAside(path);
        platform::foundation::log("Cannot read the time spent in " + path +
                                  (failure == ReadFailure::kNone ? std::string() : " (" + error.localizedDescription() + ")") +
                                  (aside.empty() ? std::string("; it will be replaced") : "; moved it to " + aside));
    }
    if (!saved || !saved->isDictionary()) {
        // First launch, or a file nobody can read: a fresh first session.
        secondsSpent_ = 0;
        interruptions_ = 0;
        sessions_ = 1;
        lastSuspendTime_ = 0;
    } else {
        secondsSpent_ = std::max(0.0, number(*saved, "secondsSpentInCurrentSession"));
        interruptions_ = count(*saved, "numInterruptions", 0);
        sessions_ = count(*saved, "numSessions", 1);
        lastSuspendTime_ = number(*saved, "lastSuspendTime");
        if (sourceApplication_.empty() && url_.empty()) {
            sourceApplication_ = text(*saved, "sourceApplication");
            url_ = text(*saved, "url");
        }
        const double away = now - lastSuspendTime_;
        if (away > kSessionTimeout || away < 0) {  // a clock set back also ends the session
            secondsSpent_ = 0;
            interruptions_ = 0;
            sessions_ = oneMore(sessions_);
        } else if (away > kInterruptionThreshold && calledFromActivateApp) {
            interruptions_ = oneMore(interruptions_);
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
    if (unread_) {  // the file is left for a later launch
        loaded_ = false;
        return;
    }
    Value::Dictionary d;
    d["secondsSpentInCurrentSession"] = Value(secondsSpent_);
    d["numInterruptions"] = Value(int64_t(interruptions_));
    d["numSessions"] = Value(int64_t(sessions_));
    d["lastSuspendTime"] = Value(lastSuspendTime_);
    d["sourceApplication"] = Value(sourceApplication_);
    d["url"] = Value(url_);
    std::string json = Value(d).toJSON();
    if (json.size() > kMaxFileSize) {
        // Only an opening URL of a megabyte makes it this large: the counts are kept without it.
        platform::foundation::log("The URL that opened the application is too long to keep with the time spent");
        d["sourceApplication"] = Value(std::string());
        d["url"] = Value(std::string());
        json = Value(d).toJSON();
    }
    platform::foundation::Error error;
    // Only into the folder it was read from: one swapped in since holds a time this launch never read.
    if (!FileManager::writeFileAtomically(persistencePath(), json, &error,
                                          platform::foundation::Sandbox::kPrivateFileMode, &folder_) &&
        !std::exchange(unsavedSaid_, true))  // once a launch
        platform::foundation::log("Cannot save the time spent: " + error.localizedDescription());
    loaded_ = false;
}

void PZSDKTimeSpentData::setSourceApplication(const std::string& sourceApplication, const std::string& url) {
    sourceApplication_ = sourceApplication;
    url_ = url;
}
