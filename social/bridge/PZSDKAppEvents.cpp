#include "social/bridge/PZSDKAppEvents.h"

#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Thread.h"
#include "platform/ui/NotificationNames.h"
#include "social/bridge/PZSDKTimeSpentData.h"

namespace pf = platform::foundation;

namespace {

std::mutex gLock;
std::vector<pf::Observer> gObservers;

}  // namespace

void PZSDKAppEvents::activateApp() {
    if (!pf::Thread::isMainThread()) {
        pf::log("PZSDKAppEvents activateApp: must be called on the main thread");
        return;
    }
    startObservingLifeCycle();
    PZSDKTimeSpentData::shared().restore(true);
}

void PZSDKAppEvents::startObservingLifeCycle() {
    std::lock_guard<std::mutex> lock(gLock);
    if (!gObservers.empty()) return;
    auto& center = pf::NotificationCenter::defaultCenter();
    // Leaving the foreground and ending both suspend; suspending twice is harmless.
    for (const char* name : {platform::ui::kApplicationDidEnterBackgroundNotification,
                             platform::ui::kApplicationWillTerminateNotification})
        gObservers.push_back(
            center.addObserver(name, nullptr, [](const pf::Notification&) { PZSDKTimeSpentData::shared().suspend(); }));
}

void PZSDKAppEvents::stopObservingLifeCycle() {
    std::lock_guard<std::mutex> lock(gLock);
    gObservers.clear();
}
