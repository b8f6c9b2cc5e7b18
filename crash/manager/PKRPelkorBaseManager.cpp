#include "crash/manager/PKRPelkorBaseManager.h"

#include "crash/manager/PKRKeychainUtils.h"
#include "crash/manager/PKRLoadedImages.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Format.h"
#include "platform/security/Keychain.h"
#include "platform/system/MachO.h"
#include "platform/ui/Device.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

using platform::graphics::Color;
namespace ui = platform::ui;
namespace sys = platform::system;

namespace {
constexpr const char* kRFC3339Pattern = "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'";
}

PKRPelkorBaseManager::PKRPelkorBaseManager()
    : barStyle_(is_ios7_or_later() ? ui::BarStyle::Default : ui::BarStyle::Black) {
    if (!is_ios7_or_later()) navigationBarTintColor_ = Color::rgba(25 / 255.0, 25 / 255.0, 25 / 255.0, 1.0);
}

PKRPelkorBaseManager::PKRPelkorBaseManager(OptionalString appIdentifier, int64_t appEnvironment)
    : PKRPelkorBaseManager() {
    appIdentifier_ = std::move(appIdentifier);
    appEnvironment_ = appEnvironment;
}

void PKRPelkorBaseManager::reportError(const platform::foundation::Error& error) const {
    PKR_LOG_ERROR("-[PKRPelkorBaseManager reportError:]", "%s", error.localizedDescription().c_str());
}

std::string PKRPelkorBaseManager::encodedAppIdentifier() const { return encoded_app_identifier(appIdentifier_); }

bool PKRPelkorBaseManager::isPreiOS7Environment() const { return !is_ios7_or_later(); }

std::string PKRPelkorBaseManager::getDevicePlatform() const { return ui::Device::current().hardwareIdentifier(); }

std::string PKRPelkorBaseManager::executableUUID() const {
    std::string uuid;
    pkr_visit_loaded_images([&](const ovcrash::macho_image& image) {
        if (image.byteorder->swap32(image.header.filetype) != sys::MH_EXECUTE) return false;
        uuid = pkr_image_uuid_string(image);
        return true;
    });
    return uuid;
}

bool PKRPelkorBaseManager::storeInKeychain(const OptionalString& value, const OptionalString& key,
                                           const char* accessibility) const {
    if (!value || !key) return false;
    return PKRKeychainUtils::storeUsername(key, value, keychain_service_name(), true, accessibility);
}

bool PKRPelkorBaseManager::addStringValueToKeychain(const OptionalString& value, const OptionalString& key) const {
    return storeInKeychain(value, key, platform::security::kAccessibleAlways);
}

bool PKRPelkorBaseManager::addStringValueToKeychainForThisDeviceOnly(const OptionalString& value,
                                                                     const OptionalString& key) const {
    return storeInKeychain(value, key, platform::security::kAccessibleAfterFirstUnlockThisDeviceOnly);
}

PKRPelkorBaseManager::OptionalString PKRPelkorBaseManager::stringValueFromKeychainForKey(
    const OptionalString& key, platform::foundation::Error* error) const {
    if (error) *error = platform::foundation::Error();
    if (!key) return std::nullopt;
    return PKRKeychainUtils::getPasswordForUsername(key, keychain_service_name(), error);
}

bool PKRPelkorBaseManager::removeKeyFromKeychain(const OptionalString& key) const {
    return PKRKeychainUtils::deleteItemForUsername(key, keychain_service_name());
}

std::optional<double> PKRPelkorBaseManager::parseRFC3339Date(const std::string& text) const {
    auto date = platform::foundation::parseDate(text, kRFC3339Pattern, true);
    if (!date) {
        PKR_LOG_INFO("-[PKRPelkorBaseManager parseRFC3339Date:]", "Invalid date '%s' string: %s", text.c_str(),
                     "not in the form yyyy-MM-ddTHH:mm:ssZ");
    }
    return date;
}

ui::Window* PKRPelkorBaseManager::findVisibleWindow() const {
    // The platform layer keeps one window: the key window, shown or hidden.
    return ui::Window::keyWindow();
}

std::shared_ptr<ui::ViewController> PKRPelkorBaseManager::visibleWindowRootViewController() {
    std::shared_ptr<ui::ViewController> controller = delegateViewController();
    if (!controller) {
        ui::Window* window = findVisibleWindow();
        if (window) controller = ui::rootViewController(*window);
    }
    while (controller && controller->presentedViewController()) controller = controller->presentedViewController();
    return controller;
}

std::shared_ptr<ui::NavigationController> PKRPelkorBaseManager::customNavigationControllerWithRootViewController(
    std::shared_ptr<ui::ViewController> root, int64_t /*presentationStyle*/) const {
    // The platform layer presents every controller full screen, so the
    // manager's presentation style has nothing to set here.
    auto navigation = std::make_shared<ui::NavigationController>(std::move(root));
    auto bar = navigation->navigationBar();
    bar->setBarStyle(barStyle_);
    if (navigationBarTintColor_)
        bar->setBarTintColor(navigationBarTintColor_);
    else if (is_ios7_or_later())
        bar->setBarTintColor(Color::rgba(0, 122 / 255.0, 1.0, 1.0));
    return navigation;
}
