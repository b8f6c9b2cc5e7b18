#include "app/QuenmiraAppDelegate.h"

#include "app/MainViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/Window.h"
#include "social/bridge/PZSDKAppEvents.h"
#include "social/bridge/PZSDKApplicationDelegate.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;

void QuenmiraAppDelegate::registerClasses() {
    ui::ClassRegistry::add<QuenmiraAppDelegate>("QuenmiraAppDelegate");
    MainViewController::registerInterfaceClasses();
}

std::string QuenmiraAppDelegate::getTarnowickAppName() {
    return pf::Bundle::main().localizedString("app_name_free", "", "BatteryLocalizable");
}

bool QuenmiraAppDelegate::didFinishLaunchingWithOptions(ui::Application& application, const pf::Value& options) {
    standardTarnowickInitialization();

    auto& defaults = pf::UserDefaults::standard();
    if (defaults.objectForKey(kHealthPercentKey).isNull()) defaults.setFloat(kHealthPercentKey, 100.0f);

    mainViewController_ =
        std::make_shared<MainViewController>(TwkUtils::onIPad() ? "MainView-iPad" : "MainView", &pf::Bundle::main());
    if (window_) {
        ui::setRootViewController(*window_, mainViewController_);
        window_->makeKeyAndVisible();
    }
    return PZSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions(application, options);
}

bool QuenmiraAppDelegate::openURL(ui::Application& application, const std::string& url,
                                  const std::string& sourceApplication, const pf::Value& annotation) {
    return PZSDKApplicationDelegate::sharedInstance().openURL(
        application, url, sourceApplication.empty() ? pf::Value() : pf::Value(sourceApplication), annotation);
}

void QuenmiraAppDelegate::applicationDidBecomeActive(ui::Application&) {
    PZSDKAppEvents::activateApp();
    if (mainViewController_) mainViewController_->appBecameActive();
}

void QuenmiraAppDelegate::applicationWillEnterForeground(ui::Application&) {
    if (mainViewController_) mainViewController_->comingBackfromBackground();
}
