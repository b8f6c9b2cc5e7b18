#include "social/bridge/PZSDKApplicationDelegate.h"

#include "platform/foundation/Exception.h"
#include "platform/ui/Application.h"
#include "platform/ui/NotificationNames.h"
#include "social/bridge/PZSDKAppEvents.h"
#include "social/bridge/PZSDKTimeSpentData.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

PZSDKApplicationDelegate& PZSDKApplicationDelegate::sharedInstance() {
    // A function-local static: made once, even when first asked from two threads.
    static PZSDKApplicationDelegate* instance = new PZSDKApplicationDelegate();
    return *instance;
}

PZSDKApplicationDelegate::PZSDKApplicationDelegate() {
    launchObserver_ = pf::NotificationCenter::defaultCenter().addObserver(
        ui::kApplicationDidFinishLaunchingNotification, nullptr,
        [this](const pf::Notification& n) { applicationDidFinishLaunching(n.userInfo); });
    PZSDKAppEvents::startObservingLifeCycle();
}

void PZSDKApplicationDelegate::applicationDidFinishLaunching(const pf::Value& options) {
    const pf::Value& url = options[ui::kApplicationLaunchOptionsURLKey];
    if (url.isString()) launchURL_ = url.string();
}

bool PZSDKApplicationDelegate::didFinishLaunchingWithOptions(ui::Application&, const pf::Value&) {
    // Only a login manager answers a launch URL from another application, and
    // this client has none: the launch is never handled here.
    return false;
}

bool PZSDKApplicationDelegate::openURL(ui::Application&, const std::string& url, const pf::Value& sourceApplication,
                                       const pf::Value&) {
    if (!sourceApplication.isNull() && !sourceApplication.isString())
        pf::Exception::raise(pf::kInvalidArgumentException,
                             "Expected 'sourceApplication' to be NSString. Got: " + sourceApplication.description());
    PZSDKTimeSpentData::shared().setSourceApplication(
        sourceApplication.isString() ? sourceApplication.string() : std::string(), url);
    // No pending URL-open handler and no bridge response can exist without
    // login and the app-switch bridge.
    return false;
}
