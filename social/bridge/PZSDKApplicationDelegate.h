#pragma once
// The social-network client's hook into the application delegate: told of the
// launch and of every URL the application is asked to open. It records the
// source application and URL for the time-spent data. Login, the app-switch
// bridge and app-link events are not part of this client, so no URL is ever
// handled here and both hooks answer false. Main thread only.
#include <string>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

namespace platform::ui {
class Application;
}

class PZSDKApplicationDelegate {
public:
    // The one instance, made on the first call (safe against concurrent first calls).
    static PZSDKApplicationDelegate& sharedInstance();

    // `options` is the launch-options dictionary (null or empty for a plain launch).
    bool didFinishLaunchingWithOptions(platform::ui::Application& application,
                                       const platform::foundation::Value& options);
    // `sourceApplication` null or a string; anything else raises
    // "NSInvalidArgumentException".
    bool openURL(platform::ui::Application& application, const std::string& url,
                 const platform::foundation::Value& sourceApplication, const platform::foundation::Value& annotation);

    // The URL of the last did-finish-launching notification that carried one.
    const std::string& launchURL() const { return launchURL_; }

    PZSDKApplicationDelegate(const PZSDKApplicationDelegate&) = delete;
    PZSDKApplicationDelegate& operator=(const PZSDKApplicationDelegate&) = delete;

private:
    PZSDKApplicationDelegate();
    void applicationDidFinishLaunching(const platform::foundation::Value& options);

    std::string launchURL_;
    platform::foundation::Observer launchObserver_;
};
